// The edit control of a session log follows the log line by line, through the
// trimming of a full log, and keeps the line the holder looks at.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "PaneEditSync.h"
#include "PaneLog.h"

using vel::FollowPaneLog;
using vel::PaneLog;

namespace {

class PaneEdit : public ::testing::Test {
protected:
    HWND parent = nullptr, edit = nullptr;

    void SetUp() override
    {
        parent =
            CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 400, 200, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, parent);
        // The panes' style: no wrapping, both scroll bars; about six lines high.
        edit = CreateWindowExA(0, "EDIT", "",
                               WS_CHILD | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL |
                                   WS_VSCROLL | WS_HSCROLL | WS_BORDER,
                               0, 0, 380, 100, parent, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, edit);
        SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);
    }
    void TearDown() override
    {
        if (parent)
            DestroyWindow(parent);
    }
    std::string EditText() const
    {
        std::string text(static_cast<size_t>(GetWindowTextLengthA(edit)) + 1, '\0');
        text.resize(static_cast<size_t>(GetWindowTextA(edit, &text[0], static_cast<int>(text.size()))));
        return text;
    }
    int FirstVisible() const { return static_cast<int>(SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0)); }
    std::string LineAt(int line) const
    {
        char buffer[256] = {};
        *reinterpret_cast<WORD *>(buffer) = sizeof buffer - 1;
        LRESULT n =
            SendMessageA(edit, EM_GETLINE, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(buffer));
        return std::string(buffer, static_cast<size_t>(n));
    }
    void Append(PaneLog &log, const std::string &line)
    {
        if (log.Append(line) != PaneLog::Change::Dropped)
            FollowPaneLog(edit, log);
    }
    void Header(PaneLog &log)
    {
        for (const char *h : {"*** H0", "*** H1", "*** H2", ""})
            Append(log, h);
    }
};

} // namespace

// Line after line past the cap, for both trimming rules: the edit holds
// exactly the log's text, and a pane filled while nobody looks stays at its top.
TEST_F(PaneEdit, FollowsTheLogThroughTrimming)
{
    for (PaneLog::TrimRule rule : {PaneLog::TrimRule::OldestLine, PaneLog::TrimRule::OldestRecord}) {
        SetWindowTextA(edit, "");
        PaneLog log(rule, 400);
        Header(log);
        for (int n = 0; n < 300; ++n) {
            if (n % 4 == 0) {
                Append(log, "");
                log.PushRecordStart();
            }
            Append(log, "   line " + std::to_string(n) + std::string(n % 7, '.'));
            ASSERT_EQ(log.Text(), EditText()) << "rule " << int(rule) << ", line " << n;
            ASSERT_EQ(0, FirstVisible()) << "rule " << int(rule) << ", line " << n;
        }
        log.Trim(4, 9);
        FollowPaneLog(edit, log);
        EXPECT_EQ(log.Text(), EditText());
    }
}

// A holder reading the middle of a log keeps reading the same line while
// lines are added at the end and the oldest ones go.
TEST_F(PaneEdit, KeepsTheLineOnView)
{
    PaneLog log(PaneLog::TrimRule::OldestLine, 4000);
    Header(log);
    int n = 0;
    while (log.Text().size() + 20 < 4000)
        Append(log, "line " + std::to_string(n++));
    SendMessageA(edit, EM_LINESCROLL, 0, 40 - FirstVisible());
    ASSERT_EQ(40, FirstVisible());
    const std::string shown = LineAt(40);
    for (int k = 0; k < 30; ++k) {
        Append(log, "line " + std::to_string(n++));
        ASSERT_EQ(log.Text(), EditText()) << k;
        ASSERT_EQ(shown, LineAt(FirstVisible())) << k;
    }
    EXPECT_LT(FirstVisible(), 40); // lines above it went
}
