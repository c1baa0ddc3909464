// The code-table dictionary in memory: the tab-separated text parsed into
// tables of records whose fields point into line blocks. Platform-free.
#ifndef VLTAB_DICTIONARY_H
#define VLTAB_DICTIONARY_H

#include <cstddef>
#include <cstdint>

#include "status.h"

namespace vltab {

// Limits of the format. A text beyond any of them is refused as a bad file.
constexpr size_t kMaxLineChars = 521;                   // counting CR and LF
constexpr size_t kMaxFieldChars = 515;                  // the longest field a line can hold
constexpr size_t kFieldBufferSize = kMaxFieldChars + 1; // what callers' buffers hold
constexpr size_t kMaxTableNameChars = 79;
constexpr size_t kMaxTables = 999;
constexpr size_t kMaxRecordsPerTable = 65535;
constexpr size_t kBlockSize = 30720;
constexpr size_t kMaxBlocks = 14688;
// Every stored line is shorter than the characters read for it, so a text
// larger than the whole line store cannot be a dictionary the format allows;
// it is refused before anything is read into memory.
constexpr size_t kMaxTextSize = kBlockSize * kMaxBlocks;

// The texts a digest check needs: the Checksum record's label is 8 free
// characters ("SHA-1 : ") followed by 40 upper-case hexadecimal digits.
constexpr size_t kChecksumLabelChars = 48;
constexpr size_t kChecksumPrefixChars = 8;

struct DictionaryRecord {
    const char *key1;
    const char *key2; // "*..." matches any requested key2
    const char *key3; // "*..." matches any requested key3
    const char *label;
    DictionaryRecord *next; // next record of the same table, in file order
};

struct DictionaryTable {
    const char *name;
    DictionaryRecord *first;
    DictionaryRecord *last;
    uint16_t largestRecordSize; // stored bytes of its longest line, terminators included
    uint16_t recordCount;
};

// Where the memory comes from; the tests substitute one that fails on demand.
struct Allocator {
    void *(*allocate)(size_t size);
    void (*release)(void *block);
};
Allocator DefaultAllocator();

enum class Source : uint16_t { File = 0, Builtin = 1 };

class Dictionary {
public:
    explicit Dictionary(Allocator allocator = DefaultAllocator());
    ~Dictionary();
    Dictionary(const Dictionary &) = delete;
    Dictionary &operator=(const Dictionary &) = delete;

    // Parses a whole text. A file must carry a Checksum record that matches
    // the SHA-1 of its counted bytes; the built-in copy is trusted.
    // Returns kOk, kOutOfMemory, kDigestMismatch or kBadLine; on any failure
    // the dictionary is left empty.
    uint16_t Parse(const uint8_t *text, size_t size, Source source);
    void Free();

    size_t TableCount() const { return tableCount_; }
    const DictionaryTable &Table(size_t index) const { return tables_[index]; }

    // A table is found only through a NOM_TABLE record naming it; the first
    // table of that name in load order answers. nullptr: unknown.
    const DictionaryTable *FindTable(const char *name) const;
    // First record of the table, in file order, matching the keys; nullptr: none.
    static const DictionaryRecord *FindRecord(const DictionaryTable &table, const char *key1,
                                              const char *key2, const char *key3);
    // The record at a position from 1; nullptr for 0 or past the end.
    static const DictionaryRecord *RecordAt(const DictionaryTable &table, uint16_t number);
    // Label of the first record, all tables in order, whose key1 is Checksum.
    const char *StoredChecksum() const;

    // Bytes held from the allocator, for the benchmark's memory figure.
    size_t BytesHeld() const { return bytesHeld_; }

private:
    struct Block;
    struct RecordChunk;

    void *Allocate(size_t size);
    void Release(void *block, size_t size);
    // Stores one parsed line: its bytes with a NUL after each kept field, and
    // the offsets of its table name, key1, key2, key3 and label.
    uint16_t AddLine(const char *stored, size_t size, const size_t (&fields)[5]);
    uint16_t CheckDigest(const uint8_t *text, uint32_t counted) const;

    Allocator allocator_;
    Block *firstBlock_ = nullptr;
    Block *currentBlock_ = nullptr;
    size_t blockCount_ = 0;
    RecordChunk *firstChunk_ = nullptr;
    RecordChunk *currentChunk_ = nullptr;
    DictionaryTable *tables_ = nullptr;
    size_t tableCount_ = 0;
    size_t tableCapacity_ = 0;
    size_t bytesHeld_ = 0;
};

} // namespace vltab

#endif
