#include <gtest/gtest.h>

#include <string>

#include "PaneLog.h"

using vel::PaneLog;

namespace {

PaneLog WithHeader(PaneLog::TrimRule rule, size_t capacity)
{
    PaneLog log(rule, capacity);
    for (const char *h : {"H0", "H1", "H2", ""})
        log.Append(h);
    return log;
}

std::string Line(unsigned n)
{
    return "line " + std::to_string(n);
}

} // namespace

TEST(PaneLog, FullJournalLosesItsOldestLineAfterTheHeader)
{
    // Header "H0\r\nH1\r\nH2\r\n\r\n" = 14 bytes; each "line N\r\n" 8 bytes.
    PaneLog log = WithHeader(PaneLog::TrimRule::OldestLine, 14 + 3 * 8 + 1);
    for (unsigned n = 0; n < 3; ++n)
        EXPECT_EQ(PaneLog::Change::Appended, log.Append(Line(n)));
    EXPECT_EQ(PaneLog::Change::Rewritten, log.Append(Line(3)));
    EXPECT_EQ("H0\r\nH1\r\nH2\r\n\r\nline 1\r\nline 2\r\nline 3\r\n", log.Text());
    EXPECT_EQ(7u, log.LineCount());
    EXPECT_LE(log.Text().size() + 1, 14u + 3 * 8 + 1);
}

TEST(PaneLog, FullTraceLosesExactlyItsOldestRecordAndMovesTheOthers)
{
    // Header 14 bytes, three records of " \r\n" and three 8-byte lines: 95 bytes.
    PaneLog log = WithHeader(PaneLog::TrimRule::OldestRecord, 100);
    unsigned n = 0;
    for (unsigned record = 0; record < 3; ++record) {
        log.Append(" ");
        log.PushRecordStart();
        for (unsigned k = 0; k < 3; ++k)
            log.Append(Line(n++));
    }
    // Records start at lines 5, 9, 13 (each after its blank line).
    ASSERT_EQ((std::vector<unsigned>{5, 9, 13}), log.RecordStarts());
    ASSERT_EQ(95u, log.Text().size());
    const unsigned linesBefore = log.LineCount();
    EXPECT_EQ(PaneLog::Change::Rewritten, log.Append("line 9"));
    // Lines 5..8 (the first record's lines and the blank line before the next) went.
    EXPECT_EQ((std::vector<unsigned>{5, 9}), log.RecordStarts());
    EXPECT_EQ(linesBefore - 4 + 1, log.LineCount());
    EXPECT_EQ(std::string::npos, log.Text().find("line 0\r\n"));
    EXPECT_NE(std::string::npos, log.Text().find("line 3\r\n"));
    EXPECT_EQ(0u, log.Text().find("H0\r\nH1\r\nH2\r\n\r\n"));
}

// The cases where a literal reading never ends: each append must return.
TEST(PaneLog, TrimmingAlwaysEnds)
{
    struct Case {
        PaneLog::TrimRule rule;
        unsigned records;
        PaneLog::Change last;
    } cases[] = {
        {PaneLog::TrimRule::OldestRecord, 0, PaneLog::Change::Rewritten}, // no record: oldest lines
        {PaneLog::TrimRule::OldestRecord, 1, PaneLog::Change::Rewritten}, // one record
        {PaneLog::TrimRule::None, 0, PaneLog::Change::Dropped},           // data part
    };
    for (const Case &c : cases) {
        PaneLog log = WithHeader(c.rule, 60);
        for (unsigned r = 0; r < c.records; ++r)
            log.PushRecordStart();
        PaneLog::Change change = PaneLog::Change::Appended;
        for (unsigned n = 0; n < 50; ++n)
            change = log.Append(Line(n % 10));
        EXPECT_EQ(c.last, change);
        EXPECT_LT(log.Text().size(), 60u);
        EXPECT_EQ(0u, log.Text().find("H0\r\n"));
    }
    // Only the header left and still no room: the line is dropped, the header kept.
    PaneLog tight = WithHeader(PaneLog::TrimRule::OldestLine, 20);
    EXPECT_EQ(PaneLog::Change::Dropped, tight.Append("a line far too long for the room"));
    EXPECT_EQ(4u, tight.LineCount());
}

TEST(PaneLog, TrimCountsTheLinesItRemoves)
{
    PaneLog log(PaneLog::TrimRule::None);
    for (unsigned n = 0; n < 6; ++n)
        log.Append(Line(n));
    log.Trim(4, 1000); // to the end
    EXPECT_EQ(4u, log.LineCount());
    log.Trim(0, 0);
    EXPECT_EQ("line 1\r\nline 2\r\nline 3\r\n", log.Text());
    EXPECT_EQ(3u, log.LineCount());
    log.Trim(5, 7); // past the end: nothing
    EXPECT_EQ(3u, log.LineCount());
    log.Append("a\r\nb"); // a stray line end stays one line
    EXPECT_EQ(4u, log.LineCount());
    EXPECT_EQ("line 1\r\nline 2\r\nline 3\r\na  b\r\n", log.Text());
}
