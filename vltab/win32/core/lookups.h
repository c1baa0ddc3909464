// What the five exports do, apart from the calling convention. Platform-free.
// Text outputs are written into callers' buffers of kFieldBufferSize bytes.
#ifndef VLTAB_LOOKUPS_H
#define VLTAB_LOOKUPS_H

#include <cstdint>

#include "load.h"

namespace vltab {

// Removes trailing blanks (0x20 only) in place; a text longer than 32,768
// characters is left as it is.
void TrimTrailingBlanks(char *text);

// In: nothing. Out: load status, version and checksum texts of table G999
// (not written when G999 is unknown), number of tables loaded.
// Returns kOk, kBadArgument, or a load failure.
uint16_t VersionTables(DictionaryLoad &load, uint16_t *loadStatus, char *version, char *checksum,
                       uint16_t *tableCount);

// In: table (trimmed in place). Out: load status, table title, field title,
// record count and largest record size. Returns kOk, kUnknownTable,
// kNotFound (no title), kBadArgument, or a load failure.
uint16_t InfosSurTable(DictionaryLoad &load, uint16_t *loadStatus, char *table, char *tableTitle,
                       char *fieldTitle, uint16_t *recordCount, uint16_t *largestRecordSize);

// In: table and three keys (all trimmed in place). Out: load status, label
// and its length. Returns kOk, kUnknownTable, kNotFound, kBadArgument, or a
// load failure.
uint16_t LectureLibelle(DictionaryLoad &load, uint16_t *loadStatus, char *table, char *key1, char *key2,
                        char *key3, uint16_t *labelLength, char *label);

// In: table (trimmed in place) and a record number from 1. Out: load status,
// the record's three keys, label and label length. Returns kOk,
// kUnknownTable, kNotFound (0 or past the end), kBadArgument, or a load failure.
uint16_t LectureEnregistrement(DictionaryLoad &load, uint16_t *loadStatus, char *table, uint16_t number,
                               char *key1, char *key2, char *key3, uint16_t *labelLength, char *label);

// Maps length bytes through the edit table into target and ends it with a
// NUL; source and target may be the same buffer. Never loads the dictionary.
// Returns kOk, kNotFound (length 0, checked first) or kBadArgument.
uint16_t ISO8859EnEditable(const uint8_t *source, uint16_t length, uint8_t *target);

} // namespace vltab

#endif
