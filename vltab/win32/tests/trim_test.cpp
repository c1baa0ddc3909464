// Trailing blanks leave the callers' texts, up to the length limit.
#include <gtest/gtest.h>

#include <string>

#include "lookups.h"

namespace {

TEST(TrimTrailingBlanks, BlanksOnlyAndWithinTheLimit)
{
    struct Case {
        std::string text, trimmed;
    };
    const std::string longest = std::string(32760, 'a') + std::string(8, ' '); // 32,768 characters
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {"31  ", "31"},
        {" 31", " 31"},
        {"31\t ", "31\t"}, // only 0x20 is a blank
        {longest, std::string(32760, 'a')},
        {longest + " ", longest + " "}, // 32,769 characters: left as it is
    };
    for (const Case &c : cases) {
        std::string text = c.text;
        vltab::TrimTrailingBlanks(&text[0]);
        EXPECT_EQ(c.trimmed, std::string(text.c_str())) << c.text.size();
    }
}

} // namespace
