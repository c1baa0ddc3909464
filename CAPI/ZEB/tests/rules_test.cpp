// Registry values checked before use, and the slot table's matching rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "poll_period.h"
#include "reg_value.h"
#include "slot_table.h"

using namespace zeb;

namespace {

std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(RegValue, DwordNeedsExactlyFourBytesOfTypeDword)
{
    struct Case {
        uint32_t type;
        std::vector<uint8_t> data;
        bool ok;
        uint32_t value;
    } cases[] = {
        {kRegDword, {0x02, 0x00, 0x00, 0x00}, true, 2},
        {kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}, true, 0xFFFFFFFFu},
        {kRegDword, {0x02, 0x00}, false, 7},             // short
        {kRegDword, {1, 0, 0, 0, 0, 0, 0, 0}, false, 7}, // a QWORD
        {kRegSz, Bytes(std::string("12\0\0", 4)), false, 7},
        {3 /* binary */, {0x02, 0x00, 0x00, 0x00}, false, 7},
    };
    for (const auto &c : cases) {
        uint32_t v = 7;
        EXPECT_EQ(c.ok, DwordFromValue(c.type, c.data.data(), c.data.size(), &v));
        EXPECT_EQ(c.value, v);
    }
}

TEST(RegValue, StringsAreBoundedAndAlwaysTerminated)
{
    struct Case {
        uint32_t type;
        std::string data;
        size_t outSize;
        bool ok;
        std::string text;
    } cases[] = {
        {kRegSz, std::string("C:\\zeb.log\0", 11), 260, true, "C:\\zeb.log"},
        {kRegSz, "C:\\no-terminator.log", 260, true, "C:\\no-terminator.log"},
        {kRegExpandSz, std::string("%TEMP%\\a\0junk", 13), 260, true, "%TEMP%\\a"},
        {kRegSz, std::string(400, 'x'), 260, true, std::string(259, 'x')},
        {kRegSz, "", 260, true, ""},
        {kRegDword, std::string("abcd", 4), 260, false, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(c.outSize, '?');
        auto data = Bytes(c.data);
        EXPECT_EQ(c.ok, StringFromValue(c.type, data.data(), data.size(), out.data(), out.size()));
        EXPECT_EQ(c.text, std::string(out.data()));
    }
}

TEST(RegValue, MultiStringsStopAtTheDataEndWithoutTheirDoubleNul)
{
    struct Case {
        std::string data;
        std::vector<std::string> list;
    } cases[] = {
        {std::string("3BAC\0CV*\0\0", 10), {"3BAC", "CV*"}},
        {std::string("*\0"
                     "3B8580018073C821100E\0\0",
                     24),
         {"3B8580018073C821100E"}},                 // one-character entries skipped
        {std::string("AB\0CD", 5), {"AB", "CD"}},   // no final NUL
        {std::string("AB\0CD\0", 6), {"AB", "CD"}}, // no double NUL
        {std::string("AB\0\0CD\0\0", 8), {"AB"}},   // the first empty string ends it
        {std::string("\0\0", 2), {}},
        {"", {}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> out{"stale"};
        auto data = Bytes(c.data);
        EXPECT_TRUE(MultiStringFromValue(kRegMultiSz, data.data(), data.size(), &out));
        EXPECT_EQ(c.list, out) << c.data.size();
    }
    std::vector<std::string> out;
    auto data = Bytes(std::string("AB\0\0", 4));
    EXPECT_FALSE(MultiStringFromValue(kRegSz, data.data(), data.size(), &out));
    EXPECT_TRUE(out.empty());
}

TEST(PollPeriod, OutOfRangePeriodsTakeTheDefault)
{
    struct Case {
        uint32_t seconds, expectedMs;
    } cases[] = {
        {0, 2000},                                                        // a busy loop
        {1, 1000},           {5, 5000}, {86400, 86400000}, {86401, 2000}, // over a day
        {4294968, 2000},                                                  // wraps once in milliseconds
        {0xFFFFFFFFu, 2000},                                              // about 49.7 days
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expectedMs, PollPeriodMs(c.seconds, 2)) << c.seconds;
}

TEST(SlotTable, EntriesKeepTheirCertificatesOnlyForTheirOwnCardStillThere)
{
    CK_TOKEN_INFO a{}, b{};
    memcpy(a.label, "VEL3v2-MARTIN JEANNE", 20);
    memcpy(a.serialNumber, "2500012345", 10);
    b = a;
    memcpy(b.label, "VEL3v2-DURAND PAUL  ", 20);
    SlotInfoEntry e;
    memset(e.slotInfo.slotDescription, ' ', sizeof e.slotInfo.slotDescription);
    memcpy(e.slotInfo.slotDescription, "Lecteur Ovrane VEL 0", 20);
    e.heldToken = a;
    e.bSynchro = 1;
    e.certs[0] = std::make_unique<CertRecord>(CertRecord{{1}, {2}});
    e.nbCerts = 1;
    EXPECT_TRUE(KeepsSameCard(e, true, a));
    EXPECT_FALSE(KeepsSameCard(e, true, b)) << "another card in the reader";
    EXPECT_FALSE(KeepsSameCard(e, false, a)) << "a card that cannot be read";
    EXPECT_FALSE(HeldWithoutCard(e, {"Lecteur Ovrane VEL 1", "Lecteur Ovrane VEL 0"}));
    EXPECT_TRUE(HeldWithoutCard(e, {"Lecteur Ovrane VEL 1"}));
    EXPECT_TRUE(HeldWithoutCard(e, {}));
    e.nbCerts = 0;
    EXPECT_FALSE(KeepsSameCard(e, true, a)) << "marked without records: propagated again";
    EXPECT_TRUE(HeldWithoutCard(e, {})) << "marked (inhibited) entries too";
    e.bSynchro = 0;
    EXPECT_FALSE(HeldWithoutCard(e, {})) << "nothing held";
}

TEST(SlotTable, ACertificateHeldByAnotherEntryIsSeen)
{
    SlotInfoEntry table[3];
    CertRecord a{{1, 2}, {9}}, b{{1, 2}, {8}};
    table[0].certs[0] = std::make_unique<CertRecord>(a);
    table[0].nbCerts = 1;
    table[2].certs[1] = std::make_unique<CertRecord>(a);
    table[2].nbCerts = 2;
    EXPECT_TRUE(HeldElsewhere(table, 3, &table[0], a));
    EXPECT_FALSE(HeldElsewhere(table, 3, &table[0], b));
    table[2].nbCerts = 1; // only places below nbCerts count
    EXPECT_FALSE(HeldElsewhere(table, 3, &table[0], a));
    table[0].Clear();
    EXPECT_EQ(0u, table[0].nbCerts);
    EXPECT_FALSE(table[0].certs[0]);
}

TEST(SlotTable, TokensAreTheSameCardByLabelSerialMakerAndModel)
{
    CK_TOKEN_INFO a{}, b{};
    memcpy(a.label, "VEL3v2-MARTIN JEANNE", 20);
    memcpy(a.serialNumber, "2500012345", 10);
    b = a;
    b.flags = 0x400; // PIN counters and the like change on the same card
    EXPECT_TRUE(SameToken(a, b));
    b.serialNumber[9] = '6';
    EXPECT_FALSE(SameToken(a, b));
}

} // namespace
