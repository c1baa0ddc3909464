// timeout.exe as the tray's restart line runs it, and with bad arguments.
#include <gtest/gtest.h>

#include <windows.h>

#include "test_process.h"

#include <string>

namespace {

using vel_test::RunCommandLine;

TEST(Timeout, TheRestartLineWaitsThenRunsTheNextCommand)
{
    char marker[MAX_PATH];
    GetTempPathA(sizeof(marker), marker);
    std::string file = std::string(marker) + "timeout-test-" + std::to_string(GetCurrentProcessId()) + ".txt";
    DeleteFileA(file.c_str());
    DWORD elapsed = 0;
    // Found by cmd.exe in the system folder, as the tray's restart line needs.
    ASSERT_EQ(0,
              RunCommandLine("cmd.exe /c timeout /t 1 /nobreak >nul && echo ok>\"" + file + "\"", &elapsed));
    EXPECT_GE(elapsed, 950u);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
    DeleteFileA(file.c_str());
}

TEST(Timeout, ArgumentsAreChecked)
{
    struct Case {
        const char *args;
        int code;
    } cases[] = {
        {"/t 0 /nobreak", 0}, {"0", 0},         {"/T 0 /NOBREAK", 0}, {"", 1},    {"/t", 1},
        {"/t abc", 1},        {"/t 100000", 1}, {"/t -2", 1},         {"1 2", 1}, {"/t 0 /bogus", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.code, RunCommandLine(std::string("timeout.exe ") + c.args)) << c.args;
}

} // namespace
