// The parser's line and field rules, the format's limits, the digest check
// and running out of memory at every allocation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "builtin.h"
#include "dictionary.h"
#include "dictionary_text.h"

using namespace vltab;
using vltab_test::Line;
using vltab_test::Listing;
using vltab_test::Record;
using vltab_test::WithChecksum;

namespace {

uint16_t ParseText(Dictionary &d, const std::string &text, Source source = Source::Builtin)
{
    return d.Parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), source);
}

// A record line of exactly n characters, CR LF included.
std::string LineOfLength(size_t n, const char *end = "\r\n")
{
    const std::string head = "T\tk\t*\t*\t0\t";
    return head + std::string(n - head.size() - std::strlen(end), 'x') + end;
}

const char *Label(const Dictionary &d, const char *table, const char *key1)
{
    const DictionaryTable *t = d.FindTable(table);
    const DictionaryRecord *r = t ? Dictionary::FindRecord(*t, key1, "", "") : nullptr;
    return r ? r->label : nullptr;
}

TEST(ParserLines, RulesOfLinesAndFields)
{
    struct Case {
        const char *what;
        std::string text;
        uint16_t result;
    };
    const std::string names = Record("NOM_TABLE", "T", "titre");
    const Case cases[] = {
        {"521 characters with CR LF", LineOfLength(521), kOk},
        {"522 characters with CR LF", LineOfLength(522), kBadLine},
        {"521 characters with LF alone", LineOfLength(521, "\n"), kOk},
        {"522 characters with LF alone", LineOfLength(522, "\n"), kBadLine},
        {"an over-long last line without LF", std::string(600, 'x'), kBadLine},
        {"five fields", names + "T\tk\t*\t*\t5\r\n", kBadLine},
        {"one field", names + "T\r\n", kBadLine},
        {"an empty line", names + "\r\n", kBadLine},
        {"an empty line at the end", names + Record("T", "k", "v") + "\r\n", kBadLine},
        {"a first line with an empty table name", Record("", "k", "v") + names, kBadLine},
        {"a later line with an empty table name", names + Record("", "k", "v"), kOk},
        {"a table name of 79 characters", Record(std::string(79, 'T'), "k", "v"), kOk},
        {"a table name of 80 characters", Record(std::string(80, 'T'), "k", "v"), kBadLine},
        {"no line at all", "", kOk},
    };
    for (const Case &c : cases) {
        Dictionary d;
        EXPECT_EQ(c.result, ParseText(d, c.text)) << c.what;
        if (c.result != kOk) {
            EXPECT_EQ(0u, d.TableCount()) << c.what;
        }
    }
}

TEST(ParserLines, StoresKeptFieldsOnly)
{
    Dictionary d;
    const std::string text = Record("NOM_TABLE", "T", "titre") +
                             "T\tk\r1\t2\t3\tnot a number\tthe label\textra\tmore\r\n" +
                             "T\tk2\t*\t*\t9\tend\n" +  // LF alone
                             "T\tlast\t*\t*\t1\tno LF"; // dropped
    ASSERT_EQ(kOk, ParseText(d, text));
    const DictionaryTable *t = d.FindTable("T");
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(2, t->recordCount);
    const DictionaryRecord *r = t->first;
    EXPECT_STREQ("k1", r->key1); // CR dropped inside a field
    EXPECT_STREQ("2", r->key2);
    EXPECT_STREQ("3", r->key3);
    EXPECT_STREQ("the label", r->label);
    EXPECT_STREQ("end", r->next->label);
    // Kept: table, keys, label and extras, each with its NUL; the length is not.
    EXPECT_EQ(std::strlen("T k1 2 3 the label extra more "), t->largestRecordSize);
}

TEST(ParserLines, ATableComingBackIsASecondTableNeverFound)
{
    Dictionary d;
    const std::string text = Listing({"A", "B"}) + Record("A", "1", "first run") + Record("B", "1", "b") +
                             Record("A", "2", "second run");
    ASSERT_EQ(kOk, ParseText(d, text));
    EXPECT_EQ(5u, d.TableCount());
    EXPECT_STREQ("first run", Label(d, "A", "1"));
    EXPECT_EQ(nullptr, Label(d, "A", "2"));
    // Present but not listed in NOM_TABLE: unknown.
    EXPECT_EQ(nullptr, d.FindTable("G999"));
}

TEST(ParserLimits, TablesRecordsAndSize)
{
    std::string tables;
    for (int i = 0; i < 1000; ++i)
        tables += Record("T" + std::to_string(i), "k", "v");
    Dictionary d;
    EXPECT_EQ(kBadLine, ParseText(d, tables)); // 1000 tables
    tables.resize(tables.rfind("T999\t"));
    EXPECT_EQ(kOk, ParseText(d, tables)); // 999 tables
    EXPECT_EQ(999u, d.TableCount());

    std::string records;
    for (int i = 0; i < 65535; ++i)
        records += "R\tk\t*\t*\t1\tv\r\n";
    ASSERT_EQ(kOk, ParseText(d, records));
    EXPECT_EQ(65535, d.Table(0).recordCount);
    // Lines spread over several blocks keep their fields whole.
    EXPECT_GT(d.BytesHeld(), 65535u * std::strlen("R k * * v "));
    records += "R\tk\t*\t*\t1\tv\r\n";
    EXPECT_EQ(kBadLine, ParseText(d, records)); // 65,536 records in one table

    // Larger than the line store could ever hold: refused before it is read.
    const uint8_t byte = '\n';
    EXPECT_EQ(kBadLine, d.Parse(&byte, kMaxTextSize + 1, Source::File));
}

TEST(ParserDigest, FileMustMatchItsChecksumRecord)
{
    const std::string body = Listing({"T"}) + Record("T", "k", "v");
    std::string changed = WithChecksum(body);
    changed[changed.find("\tv\r\n") + 1] = 'w';
    std::string shortLabel = WithChecksum(body);
    shortLabel.erase(shortLabel.size() - 3, 1);
    std::string longLabel = WithChecksum(body);
    longLabel.insert(longLabel.size() - 2, "0");
    struct Case {
        const char *what;
        std::string text;
        uint16_t result;
    };
    const Case cases[] = {
        {"the digest of every other line", WithChecksum(body), kOk},
        {"a piece after the last LF is not counted", WithChecksum(body) + "T\tk\t*\t*\t1\tx", kOk},
        {"one character changed", changed, kDigestMismatch},
        {"lower-case digits", WithChecksum(body, true), kDigestMismatch},
        {"47 characters", shortLabel, kDigestMismatch},
        {"49 characters", longLabel, kDigestMismatch},
        {"no Checksum record", body, kDigestMismatch},
        {"an empty file", "", kDigestMismatch},
    };
    for (const Case &c : cases) {
        Dictionary d;
        EXPECT_EQ(c.result, ParseText(d, c.text, Source::File)) << c.what;
        EXPECT_EQ(c.result == kOk ? 4u : 0u, d.TableCount()) << c.what;
    }
    // The built-in copy is trusted as it is.
    Dictionary d;
    EXPECT_EQ(kOk, ParseText(d, changed, Source::Builtin));
}

// An allocator that fails from a given allocation on, to reach every
// out-of-memory path.
struct FailingAllocator {
    static inline int left = 0;
    static void *Allocate(size_t size) { return left-- > 0 ? std::malloc(size) : nullptr; }
};

TEST(ParserMemory, OutOfMemoryAtAnyAllocationFreesEverything)
{
    Dictionary complete;
    ASSERT_EQ(kOk, complete.Parse(kBuiltinDictionaryText, kBuiltinDictionarySize, Source::File));
    int allowed = 0;
    for (;; ++allowed) {
        FailingAllocator::left = allowed;
        Dictionary d(Allocator{FailingAllocator::Allocate, std::free});
        const uint16_t rc = d.Parse(kBuiltinDictionaryText, kBuiltinDictionarySize, Source::File);
        if (rc == kOk) {
            EXPECT_EQ(complete.BytesHeld(), d.BytesHeld());
            break;
        }
        ASSERT_EQ(kOutOfMemory, rc) << allowed;
        EXPECT_EQ(0u, d.BytesHeld());
        EXPECT_EQ(0u, d.TableCount());
    }
    EXPECT_GT(allowed, 3); // blocks, record chunks and the table array all failed once
}

} // namespace
