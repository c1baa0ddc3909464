#include "dictionary.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sha.h"

namespace vltab {

namespace {

constexpr uint16_t kEndOfData = 254; // internal only: no further complete line
constexpr size_t kRecordsPerChunk = 256;
constexpr size_t kFirstTableCapacity = 32;
constexpr size_t kLengthField = 4; // field 5, the label length: read and ignored
constexpr size_t kLeastFields = 6;

const char kChecksumKey[] = "Checksum";
const char kTableOfTables[] = "NOM_TABLE";

// One line as read: the kept fields, each followed by a NUL.
struct ParsedLine {
    char stored[kMaxLineChars + 1];
    size_t size;      // stored bytes, terminators included
    size_t fields;    // TAB-separated fields on the line
    size_t offset[5]; // table, key1, key2, key3, label
    uint32_t chars;   // characters read, CR and LF included
};

// Reads the line starting at pos. Every character read counts towards the
// line limit; CR is dropped anywhere; field 5 is neither stored nor ended.
// Returns kOk, kBadLine (too long, or fewer than six fields) or kEndOfData
// (the text ends before an LF: that last piece is no line).
uint16_t ReadLine(const uint8_t *text, size_t size, size_t &pos, ParsedLine &line)
{
    size_t chars = 0, stored = 0, field = 0;
    line.offset[0] = 0;
    for (;;) {
        if (pos == size)
            return kEndOfData;
        const uint8_t c = text[pos++];
        if (++chars > kMaxLineChars)
            return kBadLine;
        if (c == '\r')
            continue;
        if (c == '\n')
            break;
        if (c == '\t') {
            if (field != kLengthField)
                line.stored[stored++] = '\0';
            ++field;
            if (field < kLengthField)
                line.offset[field] = stored;
            else if (field == kLengthField + 1)
                line.offset[4] = stored;
            continue;
        }
        if (field != kLengthField)
            line.stored[stored++] = static_cast<char>(c);
    }
    if (field != kLengthField)
        line.stored[stored++] = '\0';
    line.size = stored;
    line.fields = field + 1;
    line.chars = static_cast<uint32_t>(chars);
    return line.fields < kLeastFields ? kBadLine : kOk;
}

bool Matches(const char *stored, const char *requested)
{
    return stored[0] == '*' || std::strcmp(stored, requested) == 0;
}

} // namespace

struct Dictionary::Block {
    Block *next;
    size_t used;
    char data[kBlockSize];
};

struct Dictionary::RecordChunk {
    RecordChunk *next;
    size_t used;
    DictionaryRecord records[kRecordsPerChunk];
};

Allocator DefaultAllocator()
{
    return Allocator{std::malloc, std::free};
}

Dictionary::Dictionary(Allocator allocator) : allocator_(allocator)
{
}

Dictionary::~Dictionary()
{
    Free();
}

void *Dictionary::Allocate(size_t size)
{
    void *p = allocator_.allocate(size);
    if (p)
        bytesHeld_ += size;
    return p;
}

void Dictionary::Release(void *block, size_t size)
{
    if (!block)
        return;
    allocator_.release(block);
    bytesHeld_ -= size;
}

void Dictionary::Free()
{
    while (firstBlock_) {
        Block *next = firstBlock_->next;
        Release(firstBlock_, sizeof(Block));
        firstBlock_ = next;
    }
    while (firstChunk_) {
        RecordChunk *next = firstChunk_->next;
        Release(firstChunk_, sizeof(RecordChunk));
        firstChunk_ = next;
    }
    Release(tables_, tableCapacity_ * sizeof(DictionaryTable));
    currentBlock_ = nullptr;
    currentChunk_ = nullptr;
    tables_ = nullptr;
    blockCount_ = tableCount_ = tableCapacity_ = 0;
}

uint16_t Dictionary::Parse(const uint8_t *text, size_t size, Source source)
{
    Free();
    if (size > kMaxTextSize)
        return kBadLine;

    // The digest covers the lines that are not Checksum records; the format
    // bounds the text far below 4 GiB, so 32 bits always hold the count.
    uint32_t counted = 0;
    size_t pos = 0;
    ParsedLine line;
    for (;;) {
        uint16_t rc = ReadLine(text, size, pos, line);
        if (rc == kEndOfData)
            break;
        if (rc == kOk && std::strcmp(line.stored + line.offset[1], kChecksumKey) != 0)
            counted += line.chars;
        if (rc == kOk)
            rc = AddLine(line.stored, line.size, line.offset);
        if (rc != kOk) {
            Free();
            return rc;
        }
    }
    if (source == Source::Builtin)
        return kOk;
    const uint16_t rc = CheckDigest(text, counted);
    if (rc != kOk)
        Free();
    return rc;
}

uint16_t Dictionary::AddLine(const char *stored, size_t size, const size_t (&fields)[5])
{
    // Limits first, so that a refused line allocates nothing.
    const char *name = stored + fields[0];
    const size_t nameChars = std::strlen(name);
    if (nameChars > kMaxTableNameChars)
        return kBadLine;
    // The first line opens the first table: it needs a name.
    if (tableCount_ == 0 && nameChars == 0)
        return kBadLine;
    DictionaryTable *current = tableCount_ ? &tables_[tableCount_ - 1] : nullptr;
    const bool newTable = !current || std::strcmp(name, current->name) != 0;
    if (newTable && tableCount_ == kMaxTables)
        return kBadLine;
    if (!newTable && current->recordCount == kMaxRecordsPerTable)
        return kBadLine;

    // A line never spans two blocks.
    if (!currentBlock_ || kBlockSize - currentBlock_->used < size) {
        if (blockCount_ == kMaxBlocks)
            return kBadLine;
        Block *block = static_cast<Block *>(Allocate(sizeof(Block)));
        if (!block)
            return kOutOfMemory;
        block->next = nullptr;
        block->used = 0;
        if (currentBlock_)
            currentBlock_->next = block;
        else
            firstBlock_ = block;
        currentBlock_ = block;
        ++blockCount_;
    }
    char *line = currentBlock_->data + currentBlock_->used;
    std::memcpy(line, stored, size);
    currentBlock_->used += size;

    if (!currentChunk_ || currentChunk_->used == kRecordsPerChunk) {
        RecordChunk *chunk = static_cast<RecordChunk *>(Allocate(sizeof(RecordChunk)));
        if (!chunk)
            return kOutOfMemory;
        chunk->next = nullptr;
        chunk->used = 0;
        if (currentChunk_)
            currentChunk_->next = chunk;
        else
            firstChunk_ = chunk;
        currentChunk_ = chunk;
    }
    DictionaryRecord *record = &currentChunk_->records[currentChunk_->used++];
    record->key1 = line + fields[1];
    record->key2 = line + fields[2];
    record->key3 = line + fields[3];
    record->label = line + fields[4];
    record->next = nullptr;

    const uint16_t storedSize = static_cast<uint16_t>(size); // at most 521
    if (!newTable) {
        current->last->next = record;
        current->last = record;
        ++current->recordCount;
        current->largestRecordSize = std::max(current->largestRecordSize, storedSize);
        return kOk;
    }
    if (tableCount_ == tableCapacity_) {
        const size_t capacity = std::min(std::max(kFirstTableCapacity, tableCapacity_ * 2), kMaxTables);
        auto *tables = static_cast<DictionaryTable *>(Allocate(capacity * sizeof(DictionaryTable)));
        if (!tables)
            return kOutOfMemory;
        if (tableCount_)
            std::memcpy(tables, tables_, tableCount_ * sizeof(DictionaryTable));
        Release(tables_, tableCapacity_ * sizeof(DictionaryTable));
        tables_ = tables;
        tableCapacity_ = capacity;
    }
    tables_[tableCount_++] = DictionaryTable{line + fields[0], record, record, storedSize, 1};
    return kOk;
}

uint16_t Dictionary::CheckDigest(const uint8_t *text, uint32_t counted) const
{
    uint8_t digest[vel::Sha1::kDigestSize];
    vel::Sha1::digest(text, counted, digest);
    char hex[2 * vel::Sha1::kDigestSize + 1];
    for (size_t i = 0; i < sizeof digest; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);

    // Upper-case digits only, and nothing after them.
    const char *stored = StoredChecksum();
    if (!stored || std::strlen(stored) < kChecksumLabelChars)
        return kDigestMismatch;
    return std::strcmp(stored + kChecksumPrefixChars, hex) == 0 ? kOk : kDigestMismatch;
}

const DictionaryTable *Dictionary::FindTable(const char *name) const
{
    const DictionaryTable *list = nullptr;
    for (size_t i = 0; i < tableCount_ && !list; ++i)
        if (std::strcmp(tables_[i].name, kTableOfTables) == 0)
            list = &tables_[i];
    if (!list)
        return nullptr;
    const DictionaryRecord *listed = list->first;
    while (listed && std::strcmp(listed->key1, name) != 0)
        listed = listed->next;
    if (!listed)
        return nullptr;
    for (size_t i = 0; i < tableCount_; ++i)
        if (std::strcmp(tables_[i].name, name) == 0)
            return &tables_[i];
    return nullptr;
}

const DictionaryRecord *Dictionary::FindRecord(const DictionaryTable &table, const char *key1,
                                               const char *key2, const char *key3)
{
    for (const DictionaryRecord *r = table.first; r; r = r->next)
        if (std::strcmp(r->key1, key1) == 0 && Matches(r->key2, key2) && Matches(r->key3, key3))
            return r;
    return nullptr;
}

const DictionaryRecord *Dictionary::RecordAt(const DictionaryTable &table, uint16_t number)
{
    if (number == 0 || number > table.recordCount)
        return nullptr;
    const DictionaryRecord *r = table.first;
    while (--number)
        r = r->next;
    return r;
}

const char *Dictionary::StoredChecksum() const
{
    for (size_t i = 0; i < tableCount_; ++i)
        for (const DictionaryRecord *r = tables_[i].first; r; r = r->next)
            if (std::strcmp(r->key1, kChecksumKey) == 0)
                return r->label;
    return nullptr;
}

} // namespace vltab
