// The level a "Traces" value gives: only a four-byte DWORD (REG_DWORD, or
// REG_BINARY as some tools write it) sets one; every other value counts as
// absent, however its bytes would read as a number.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "trace_level.h"

using namespace vel::trace;

namespace {

// Value types of the registry other than the two that may hold a level.
constexpr uint32_t kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegDwordBigEndian = 5, kRegLink = 6,
                   kRegMultiSz = 7, kRegQword = 11;

TEST(TraceLevel, OnlyAFourByteDwordSetsTheLevel)
{
    struct Case {
        const char *what;
        uint32_t type;
        std::vector<uint8_t> bytes;
        std::optional<int> level;
    } cases[] = {
        {"DWORD 40", kRegDword, {40, 0, 0, 0}, 40},
        {"DWORD 0: tracing off, yet set", kRegDword, {0, 0, 0, 0}, 0},
        {"DWORD keeps its low 16 bits", kRegDword, {0x34, 0x12, 0xCD, 0xAB}, 0x1234},
        {"DWORD 0x10028: level 40", kRegDword, {0x28, 0x00, 0x01, 0x00}, 40},
        {"binary of four bytes", kRegBinary, {50, 0, 0, 0}, 50},
        {"binary of three bytes", kRegBinary, {50, 0, 0}, std::nullopt},
        {"binary of five bytes", kRegBinary, {50, 0, 0, 0, 0}, std::nullopt},
        {"binary of no bytes", kRegBinary, {}, std::nullopt},
        {"DWORD of two bytes", kRegDword, {50, 0}, std::nullopt},
        {"DWORD of no bytes", kRegDword, {}, std::nullopt},
        {"DWORD of eight bytes", kRegDword, {50, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
        {"text \"0\" (would read 48)", kRegSz, {'0', 0}, std::nullopt},
        {"text \"50\" (would read 12,341)", kRegSz, {'5', '0', 0}, std::nullopt},
        {"text \"40\" of three characters and NUL", kRegSz, {'4', '0', ' ', 0}, std::nullopt},
        {"expandable text \"40\" (would read 80)", kRegExpandSz, {'4', '0', 0}, std::nullopt},
        {"multi-text \"40\"", kRegMultiSz, {'4', '0', 0, 0}, std::nullopt},
        {"big-endian DWORD 80", kRegDwordBigEndian, {0, 0, 0, 80}, std::nullopt},
        {"QWORD 80", kRegQword, {80, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
        {"four bytes of no type", kRegNone, {50, 0, 0, 0}, std::nullopt},
        {"a link of four bytes", kRegLink, {50, 0, 0, 0}, std::nullopt},
        {"an unknown type of four bytes", 0x1234, {50, 0, 0, 0}, std::nullopt},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.level, LevelOfValue(c.type, c.bytes.data(), c.bytes.size())) << c.what;
    }
    // A DWORD's size with no bytes behind it reads nothing.
    EXPECT_EQ(std::nullopt, LevelOfValue(kRegDword, nullptr, 4));
}

} // namespace
