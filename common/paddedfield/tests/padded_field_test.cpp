// The one reading of PKCS#11's blank-padded fields, as the tray, the provider
// and the card manager rely on it. Every field lives in a buffer of exactly
// its width, so that a read past it stops the sanitizers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "padded_field.h"

namespace {

using Field = std::vector<unsigned char>;

// `text` padded with `pad` to `width` bytes (cut when longer).
Field Padded(const std::string &text, size_t width, char pad = ' ')
{
    Field f(width, static_cast<unsigned char>(pad));
    for (size_t i = 0; i < text.size() && i < width; ++i)
        f[i] = static_cast<unsigned char>(text[i]);
    return f;
}

TEST(PaddedField, TextEndsAtTheFirstNulOrTheFieldWithoutTrailingBlanks)
{
    const std::string reader = "Lecteur Ovrane VEL 0";
    struct Case {
        const char *what;
        Field field;
        std::string text;
    } cases[] = {
        {"blank padding", Padded(reader, 64), reader},
        {"NUL padding", Padded(reader, 64, '\0'), reader},
        {"one character, NUL padding", Padded("X", 64, '\0'), "X"},
        {"blanks then NULs", Padded(reader + "   ", 64, '\0'), reader},
        {"full field, no padding", Padded(std::string(64, 'R'), 64), std::string(64, 'R')},
        {"all blanks", Padded("", 64), ""},
        {"NUL first", Padded(std::string(1, '\0') + "garbage", 64), ""},
        {"garbage after a NUL", Padded("VEL3v2-TEST" + std::string(1, '\0') + "XYZ", 32), "VEL3v2-TEST"},
        {"blanks before a NUL", Padded("AB  " + std::string(1, '\0') + "CD", 16), "AB"},
        {"inner and leading blanks kept", Padded("  A  B", 16), "  A  B"},
        {"label of 32", Padded("VEL3v2-MARTIN JEANNE", 32), "VEL3v2-MARTIN JEANNE"},
        {"serial of 16", Padded("2500012345", 16), "2500012345"},
        {"empty field", Field(), ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.text, vel::PaddedFieldText(c.field.data(), c.field.size())) << c.what;
        EXPECT_EQ(c.text.size(), vel::PaddedFieldLength(c.field.data(), c.field.size())) << c.what;
    }
    EXPECT_EQ("", vel::PaddedFieldText(nullptr, 64));
    // A narrower width reads no further than it.
    const Field f = Padded(reader, 64);
    EXPECT_EQ("Lecteur", vel::PaddedFieldText(f.data(), 8));
}

TEST(PaddedField, NamesCompareWithoutPaddingAndLongNamesOnTheFieldWidth)
{
    const std::string reader = "Lecteur Ovrane VEL 0";
    const std::string longName = std::string(60, 'R') + " USB Smart Card Reader 0";
    const std::string blankAt64 = std::string(63, 'R') + " tail";
    struct Case {
        const char *what;
        Field field;
        std::string name;
        bool equal;
    } cases[] = {
        {"same name", Padded(reader, 64), reader, true},
        {"name shorter", Padded(reader, 64), "Lecteur Ovrane VEL", false},
        {"name longer", Padded(reader, 64), reader + "0", false},
        {"empty name", Padded(reader, 64), "", false},
        {"empty name, blank field", Padded("", 64), "", true},
        {"NUL padding", Padded(reader, 64, '\0'), reader, true},
        {"a short name's blanks count", Padded(reader, 64), reader + " ", false},
        {"full field", Padded(std::string(64, 'L'), 64), std::string(64, 'L'), true},
        {"65 characters: the field holds 64", Padded(std::string(64, 'L'), 64), std::string(65, 'L'), true},
        {"differs within the width", Padded(std::string(64, 'L'), 64), std::string(63, 'L') + "MM", false},
        {"long reader on its slot", Padded(longName, 64), longName, true},
        {"long reader, one character lost", Padded(longName.substr(0, 63), 64), longName, false},
        {"cut on a blank", Padded(std::string(63, 'R'), 64), blankAt64, true},
        {"garbage after a NUL", Padded(reader + std::string(1, '\0') + "XYZ", 64), reader, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.equal, vel::PaddedFieldEquals(c.field.data(), c.field.size(), c.name.c_str())) << c.what;
    EXPECT_FALSE(vel::PaddedFieldEquals(Padded(reader, 64).data(), 64, nullptr));
}

} // namespace
