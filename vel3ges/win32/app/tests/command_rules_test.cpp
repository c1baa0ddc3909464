#include <gtest/gtest.h>

#include <cstring>

#include "CommandRules.h"

using namespace vel;

namespace {
struct Label {
    unsigned char bytes[32];
    explicit Label(const char *text)
    {
        std::memset(bytes, ' ', sizeof bytes);
        std::memcpy(bytes, text, std::strlen(text));
    }
};
} // namespace

TEST(CommandRules, EnablingRuleFollowsTheLabel)
{
    Label vel("VEL3v2-0001"), single("VEL3v2-CL-0001");
    for (uint32_t bit : {CmdUnused20, CmdTestReader, Cmd8000, Cmd10000}) {
        EXPECT_FALSE(CommandOnByRule(bit, vel.bytes, 32)) << bit;
        EXPECT_FALSE(CommandOnByRule(bit, single.bytes, 32)) << bit;
    }
    for (uint32_t bit : {CmdReadSituations, CmdReadData, CmdPresentPin, CmdChangePin}) {
        EXPECT_TRUE(CommandOnByRule(bit, vel.bytes, 32)) << bit;
        EXPECT_FALSE(CommandOnByRule(bit, single.bytes, 32)) << bit;
    }
    for (uint32_t bit : {CmdUnblockPin, CmdSelfTest, CmdCardIntro, CmdQuit, CmdCertificates})
        EXPECT_TRUE(CommandOnByRule(bit, single.bytes, 32)) << bit;
    // "CL" split by the end of the label does not count.
    Label edge("                               C");
    EXPECT_TRUE(CommandOnByRule(CmdReadData, edge.bytes, 32));
}

TEST(CommandRules, CardStateOfEachResult)
{
    struct {
        uint32_t rv;
        bool counted;
        uint16_t state;
    } cases[] = {
        {0, false, 257},          {0x32, true, 259},       {0xA4, false, 263}, {0x80000001, true, 264},
        {0x80000008, false, 259}, {0x80000008, true, 261}, {6, false, 261},    {0x50, false, 261},
        {0xB1, false, 261},       {0xB3, false, 261},      {0xE0, false, 261}, {0xE1, false, 261},
        {0x80000011, true, 263},  {0x30, true, 258},       {0xA0, true, 258},  {0xFFFFFFFF, true, 258},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.state, CardStateFromRv(c.rv, c.counted)) << std::hex << c.rv;
    EXPECT_EQ(3, ScanResultCode(6));
    EXPECT_EQ(3, ScanResultCode(0x50));
    EXPECT_EQ(0, ScanResultCode(0x32));
    EXPECT_EQ(1, ScanResultCode(0xB1));
    EXPECT_EQ(2, ScanResultCode(0));
}

TEST(CommandRules, NewCardLabel)
{
    struct {
        const char *label;
        bool isNew;
    } cases[] = {
        {"VEL3v2-1234", true},  {"VEL3v2_1234", true},  {"VEL4v3-x", true},
        {"VEL3v1-1234", false}, {"VEL2v5-1234", false}, {"VEL3v2 1234", false}, // no '-' or '_'
        {"XYZ3v2-1234", false}, {"-VEL3v2", false},     {"", false},
    };
    for (const auto &c : cases) {
        Label l(c.label);
        EXPECT_EQ(c.isNew, LabelNamesNewCard(l.bytes, 32)) << c.label;
    }
    // A '-' beyond the first 30 characters is not seen.
    Label far("VEL3v2                        -X");
    EXPECT_FALSE(LabelNamesNewCard(far.bytes, 32));
}

TEST(CommandRules, RemainingTries)
{
    EXPECT_EQ(3u, UserPinTries(0));
    EXPECT_EQ(2u, UserPinTries(0x10000));
    EXPECT_EQ(1u, UserPinTries(0x20000 | 0x10000));
    EXPECT_EQ(0u, UserPinTries(0x40000 | 0x20000));
    EXPECT_EQ(10u, SoPinTries(0));
    EXPECT_EQ(9u, SoPinTries(0x100000));
    EXPECT_EQ(1u, SoPinTries(0x200000));
    EXPECT_EQ(0u, SoPinTries(0x400000));
}

TEST(CommandRules, SectionMoves)
{
    const unsigned s[16] = {2, 10, 20};
    EXPECT_EQ(-1, PreviousSectionLine(2, s, 3)); // on the first section
    EXPECT_EQ(-1, PreviousSectionLine(0, s, 3));
    EXPECT_EQ(2, PreviousSectionLine(10, s, 3));
    EXPECT_EQ(10, PreviousSectionLine(15, s, 3));
    EXPECT_EQ(2, NextSectionLine(0, s, 3));
    EXPECT_EQ(10, NextSectionLine(2, s, 3));
    EXPECT_EQ(20, NextSectionLine(12, s, 3));
    EXPECT_EQ(-1, NextSectionLine(20, s, 3)); // after the last section
    EXPECT_EQ(-1, NextSectionLine(25, s, 3));
    EXPECT_EQ(-1, NextSectionLine(0, s, 0));
}
