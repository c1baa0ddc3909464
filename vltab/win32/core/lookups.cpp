#include "lookups.h"

#include <cstring>

namespace vltab {

namespace {

constexpr size_t kMaxTrimmedChars = 32768;
constexpr uint16_t kEditableLengthLimit = 32768; // this length and above are refused

const char kVersionTable[] = "G999";
const char kVersionKey[] = "Version";
const char kChecksumKey[] = "Checksum";
const char kTableOfTables[] = "NOM_TABLE";
const char kTableOfFields[] = "NOM_CHAMP";

// Characters of text before its NUL, looking no further than limit + 1.
size_t BoundedLength(const char *text, size_t limit)
{
    size_t n = 0;
    while (n <= limit && text[n])
        ++n;
    return n;
}

// Copies a stored field into a caller's buffer, never more than the buffer
// size that the callers are told to provide.
size_t CopyField(char *out, const char *field)
{
    size_t n = BoundedLength(field, kMaxFieldChars);
    if (n > kMaxFieldChars)
        n = kMaxFieldChars;
    std::memcpy(out, field, n);
    out[n] = '\0';
    return n;
}

// The label of the first matching record, or an empty label and kNotFound.
uint16_t FindLabel(const DictionaryTable &table, const char *key1, const char *key2, const char *key3,
                   uint16_t *labelLength, char *label)
{
    const DictionaryRecord *record = Dictionary::FindRecord(table, key1, key2, key3);
    const size_t n = record ? CopyField(label, record->label) : (label[0] = '\0', 0);
    if (labelLength)
        *labelLength = static_cast<uint16_t>(n);
    return record ? kOk : kNotFound;
}

// Loads on first use and reports the load status; nothing is written when
// the load fails.
uint16_t Enter(DictionaryLoad &load, uint16_t *loadStatus, const Dictionary *&dictionary)
{
    uint16_t status = kOk;
    const uint16_t rc = load.Acquire(status, dictionary);
    if (rc == kOk)
        *loadStatus = status;
    return rc;
}

uint8_t Editable(uint8_t c)
{
    // The edit table is the identity but for three letters moved up by one.
    return (c >= 0xD9 && c <= 0xDB) ? static_cast<uint8_t>(c + 1) : c;
}

} // namespace

void TrimTrailingBlanks(char *text)
{
    size_t n = BoundedLength(text, kMaxTrimmedChars);
    if (n > kMaxTrimmedChars)
        return;
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = '\0';
}

uint16_t VersionTables(DictionaryLoad &load, uint16_t *loadStatus, char *version, char *checksum,
                       uint16_t *tableCount)
{
    if (!loadStatus || !version || !checksum || !tableCount)
        return kBadArgument;
    const Dictionary *dictionary = nullptr;
    if (const uint16_t rc = Enter(load, loadStatus, dictionary))
        return rc;
    if (const DictionaryTable *info = dictionary->FindTable(kVersionTable)) {
        FindLabel(*info, kVersionKey, "", "", nullptr, version);
        FindLabel(*info, kChecksumKey, "", "", nullptr, checksum);
    }
    *tableCount = static_cast<uint16_t>(dictionary->TableCount());
    return kOk;
}

uint16_t InfosSurTable(DictionaryLoad &load, uint16_t *loadStatus, char *table, char *tableTitle,
                       char *fieldTitle, uint16_t *recordCount, uint16_t *largestRecordSize)
{
    if (!loadStatus || !table || !tableTitle || !fieldTitle || !recordCount || !largestRecordSize)
        return kBadArgument;
    TrimTrailingBlanks(table);
    const Dictionary *dictionary = nullptr;
    if (const uint16_t rc = Enter(load, loadStatus, dictionary))
        return rc;
    *recordCount = 0;
    *largestRecordSize = 0;
    tableTitle[0] = '\0';
    fieldTitle[0] = '\0';

    const DictionaryTable *found = dictionary->FindTable(table);
    const DictionaryTable *titles = dictionary->FindTable(kTableOfTables);
    if (!found || !titles)
        return kUnknownTable;
    if (const uint16_t rc = FindLabel(*titles, table, "", "", nullptr, tableTitle))
        return rc;
    const DictionaryTable *fields = dictionary->FindTable(kTableOfFields);
    if (!fields)
        return kUnknownTable;
    const uint16_t rc = FindLabel(*fields, table, "", "", nullptr, fieldTitle);
    if (rc == kOk) {
        *recordCount = found->recordCount;
        *largestRecordSize = found->largestRecordSize;
    }
    return rc;
}

uint16_t LectureLibelle(DictionaryLoad &load, uint16_t *loadStatus, char *table, char *key1, char *key2,
                        char *key3, uint16_t *labelLength, char *label)
{
    if (!loadStatus || !table || !key1 || !key2 || !key3 || !labelLength || !label)
        return kBadArgument;
    TrimTrailingBlanks(table);
    TrimTrailingBlanks(key1);
    TrimTrailingBlanks(key2);
    TrimTrailingBlanks(key3);
    const Dictionary *dictionary = nullptr;
    if (const uint16_t rc = Enter(load, loadStatus, dictionary))
        return rc;
    *labelLength = 0;
    label[0] = '\0';
    const DictionaryTable *found = dictionary->FindTable(table);
    if (!found)
        return kUnknownTable;
    return FindLabel(*found, key1, key2, key3, labelLength, label);
}

uint16_t LectureEnregistrement(DictionaryLoad &load, uint16_t *loadStatus, char *table, uint16_t number,
                               char *key1, char *key2, char *key3, uint16_t *labelLength, char *label)
{
    if (!loadStatus || !table || !key1 || !key2 || !key3 || !labelLength || !label)
        return kBadArgument;
    TrimTrailingBlanks(table);
    const Dictionary *dictionary = nullptr;
    if (const uint16_t rc = Enter(load, loadStatus, dictionary))
        return rc;
    key1[0] = key2[0] = key3[0] = label[0] = '\0';
    *labelLength = 0;
    const DictionaryTable *found = dictionary->FindTable(table);
    if (!found)
        return kUnknownTable;
    const DictionaryRecord *record = Dictionary::RecordAt(*found, number);
    if (!record)
        return kNotFound;
    CopyField(key1, record->key1);
    CopyField(key2, record->key2);
    CopyField(key3, record->key3);
    *labelLength = static_cast<uint16_t>(CopyField(label, record->label));
    return kOk;
}

uint16_t ISO8859EnEditable(const uint8_t *source, uint16_t length, uint8_t *target)
{
    if (length == 0)
        return kNotFound;
    if (!source || !target || length >= kEditableLengthLimit)
        return kBadArgument;
    for (uint16_t i = 0; i < length; ++i)
        target[i] = Editable(source[i]);
    target[length] = 0;
    return kOk;
}

} // namespace vltab
