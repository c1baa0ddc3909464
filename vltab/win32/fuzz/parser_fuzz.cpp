// Fuzzes the dictionary parser, as a file and as a trusted copy, and the
// lookups over whatever it accepts. Any broken invariant traps.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dictionary.h"
#include "load.h"
#include "lookups.h"

using namespace vltab;

namespace {

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

size_t Length(const char *field)
{
    const size_t n = std::strlen(field);
    Require(n <= kMaxFieldChars);
    return n;
}

void CheckParsed(const Dictionary &d)
{
    Require(d.TableCount() <= kMaxTables);
    for (size_t i = 0; i < d.TableCount(); ++i) {
        const DictionaryTable &t = d.Table(i);
        Require(Length(t.name) <= kMaxTableNameChars);
        Require(t.largestRecordSize <= kMaxLineChars);
        size_t count = 0;
        for (const DictionaryRecord *r = t.first; r; r = r->next) {
            Length(r->key1);
            Length(r->key2);
            Length(r->key3);
            Length(r->label);
            Require(Dictionary::FindRecord(t, r->key1, r->key2, r->key3) != nullptr);
            ++count;
        }
        Require(count == t.recordCount && count >= 1);
        Require(Dictionary::RecordAt(t, t.recordCount) == t.last);
        Require(Dictionary::RecordAt(t, static_cast<uint16_t>(t.recordCount + 1)) == nullptr ||
                t.recordCount == 65535);
    }
}

// The exports' paths over the same bytes taken as the file.
void Lookups(const uint8_t *data, size_t size)
{
    const uint8_t builtin[] = "NOM_TABLE\tNOM_TABLE\t*\t*\t1\tx\n";
    DictionaryLoad load(
        [data, size](FileBytes &out) -> uint16_t {
            out.data = static_cast<uint8_t *>(std::malloc(size ? size : 1));
            if (size)
                std::memcpy(out.data, data, size);
            out.size = size;
            return kOk;
        },
        builtin, sizeof builtin - 1);
    uint16_t status = 0, count = 0, length = 0, largest = 0;
    char version[kFieldBufferSize], checksum[kFieldBufferSize], title[kFieldBufferSize],
        field[kFieldBufferSize], key1[kFieldBufferSize], key2[kFieldBufferSize], key3[kFieldBufferSize],
        label[kFieldBufferSize];
    Require(VersionTables(load, &status, version, checksum, &count) == kOk);
    char table[kFieldBufferSize] = "NOM_TABLE";
    for (uint16_t n = 1; n < 4; ++n) {
        if (LectureEnregistrement(load, &status, table, n, key1, key2, key3, &length, label) != kOk)
            break;
        Require(length == Length(label));
        char wanted[kFieldBufferSize];
        std::memcpy(wanted, key1, sizeof wanted);
        InfosSurTable(load, &status, wanted, title, field, &count, &largest);
        char k1[kFieldBufferSize], k2[kFieldBufferSize] = "", k3[kFieldBufferSize] = "";
        std::memcpy(k1, key1, sizeof k1);
        LectureLibelle(load, &status, table, k1, k2, k3, &length, label);
        Require(length == Length(label));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (Source source : {Source::File, Source::Builtin}) {
        Dictionary d;
        const uint16_t rc = d.Parse(data, size, source);
        if (rc == kOk)
            CheckParsed(d);
        else
            Require((rc == kBadLine || rc == kDigestMismatch) && d.TableCount() == 0 && d.BytesHeld() == 0);
    }
    Lookups(data, size);
    return 0;
}
