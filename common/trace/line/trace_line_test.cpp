// A trace line's nesting and its text within the bound: over-long lines are
// cut in their middle and keep their ending, so that a return line is never
// lost and the nesting after it stays right.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_line.h"

using namespace vel::trace;

namespace {

constexpr int kBegin = 1, kInfo = 2, kReturn = 3;
const char kStamp[] = "Thu Dec 10 08:43:46.123 : ";
const char kReturnEnding[] = ") return rv=0x00000000 \n";

std::string Compose(size_t indent, const std::string &name, char opener, const std::string &message,
                    const std::string &ending, size_t size = kMaxLineLength + 1)
{
    std::vector<char> out(size + 1, '#');
    size_t n =
        ComposeLine(out.data(), size, kStamp, indent, name.c_str(), opener, message.c_str(), ending.c_str());
    EXPECT_EQ('\0', out[n]);
    EXPECT_EQ('#', out[size]) << "written past the buffer";
    return std::string(out.data(), n);
}

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(TraceLine, ALineThatFitsIsWrittenWhole)
{
    EXPECT_EQ(std::string(kStamp) + "\t\touter(7, abc) begin\n",
              Compose(2, "outer", '(', "7, abc", ") begin\n"));
    EXPECT_EQ(std::string(kStamp) + "odd:kind 7\n", Compose(0, "odd", ':', "kind 7", "\n"));
    // Exactly at the bound: still whole.
    const size_t fixed = sizeof kStamp - 1 + 1 + 1 + 1; // stamp, name "n", opener, "\n"
    std::string message(kMaxLineLength - fixed, 'm');
    std::string line = Compose(0, "n", ':', message, "\n");
    EXPECT_EQ(kMaxLineLength, line.size());
    EXPECT_EQ(std::string::npos, line.find(kCutMark));
}

TEST(TraceLine, AnOverLongLineIsCutInItsMiddleAndKeepsItsEnding)
{
    struct Case {
        const char *what;
        size_t indent;
        std::string name, message, ending;
        size_t size;
        std::string start; // what the line still begins with
    } cases[] = {
        {"one byte over", 0, "n", std::string(kMaxLineLength - 29, 'm') + "x", "\n", kMaxLineLength + 1,
         std::string(kStamp) + "n:mmm"},
        {"long message, return line", 3, "long", std::string(5000, 'x'), kReturnEnding, kMaxLineLength + 1,
         std::string(kStamp) + "\t\t\tlong(xxx"},
        {"long message, begin line", 1, "long", std::string(5000, 'x'), ") begin\n", kMaxLineLength + 1,
         std::string(kStamp) + "\tlong(xxx"},
        {"long name, no message", 0, std::string(6000, 'N'), "", kReturnEnding, kMaxLineLength + 1,
         std::string(kStamp) + "NNN"},
        {"deeper than the line", 5000, "deep", "m", ") begin\n", kMaxLineLength + 1,
         std::string(kStamp) + "\t\t\t"},
        {"small buffer", 2, "name", "message", kReturnEnding, 60, std::string(kStamp) + "\t\tn"},
    };
    for (const Case &c : cases) {
        std::string line = Compose(c.indent, c.name, c.name == "n" ? ':' : '(', c.message, c.ending, c.size);
        EXPECT_EQ(std::min(c.size - 1, kMaxLineLength), line.size()) << c.what;
        EXPECT_TRUE(EndsWith(line, std::string(kCutMark) + c.ending)) << c.what << ": " << line.substr(0, 80);
        EXPECT_EQ(0u, line.find(c.start)) << c.what;
    }
}

TEST(TraceLine, AnEndingLongerThanTheRoomKeepsItsEnd)
{
    std::string line = Compose(1, "name", '(', "message", "0123456789\n", 8);
    EXPECT_EQ("456789\n", line);
}

// The thread's depth over a run of lines, each line's indentation checked.
TEST(TraceLine, NestingFollowsTheCallsWhateverTheirLength)
{
    struct Step {
        int kind;
        bool forFailure;
        size_t indent, after;
    } steps[] = {
        {kBegin, false, 0, 1},  {kInfo, false, 1, 1},   {kBegin, false, 1, 2},
        {kReturn, false, 1, 1}, {kReturn, true, 1, 1},  // written only for its failure: its begin was not
        {kReturn, false, 0, 0}, {kReturn, false, 0, 0}, // an orphan never goes below zero
        {7, false, 0, 0},                               // any other kind is a message line
    };
    size_t depth = 0;
    for (const Step &s : steps) {
        LineDepth d = DepthOfLine(s.kind, depth, s.forFailure);
        EXPECT_EQ(s.indent, d.indent) << s.kind;
        EXPECT_EQ(s.after, d.after) << s.kind;
        depth = d.after;
    }
}

} // namespace
