// Benchmark (prints numbers, checks nothing): the cost of one line appended
// to the trace log's edit control, with the log nearly empty and at its
// 100000-byte limit (where every line removes the oldest call record), for
// the edit kept in step by its changes and, for comparison, by sending the
// whole text again.
//   pane_append_bench [lines]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "PaneEditSync.h"
#include "PaneLog.h"

using namespace vel;

namespace {

HWND MakePane()
{
    HWND parent =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 800, 400, nullptr, nullptr, nullptr, nullptr);
    HWND edit = CreateWindowExA(0, "EDIT", "",
                                WS_CHILD | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL |
                                    WS_VSCROLL | WS_HSCROLL | WS_BORDER,
                                0, 0, 780, 380, parent, nullptr, nullptr, nullptr);
    SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);
    return edit;
}

// Trace-like text: a blank line opening each call record, then its lines.
std::string LineOf(unsigned n)
{
    return "   CK_RV = CKR_OK  hSession = 0x" + std::to_string(1000 + n) + " (appel)";
}

void AppendRecordLine(PaneLog &log, unsigned n)
{
    if (n % 6 == 0) {
        log.Append("");
        log.PushRecordStart();
    }
    log.Append(LineOf(n));
}

// Microseconds per line for `lines` lines, starting from `log` as it is.
double Measure(PaneLog &log, HWND edit, unsigned lines, bool wholeText, unsigned &n)
{
    auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < lines; ++i, ++n) {
        AppendRecordLine(log, n);
        if (wholeText)
            SetWindowTextA(edit, log.Text().c_str());
        else
            FollowPaneLog(edit, log);
    }
    auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(end - start).count() / lines;
}

void Run(bool wholeText, unsigned lines)
{
    HWND edit = MakePane();
    PaneLog log(PaneLog::TrimRule::OldestRecord);
    for (const char *h : {"*** Session", "*** Fichier", "*** Trace", ""})
        log.Append(h);
    SetWindowTextA(edit, log.Text().c_str());
    unsigned n = 0;
    double empty = Measure(log, edit, lines, wholeText, n);
    while (log.Text().size() + 200 < PaneLog::kCapacity)
        AppendRecordLine(log, n++);
    SetWindowTextA(edit, log.Text().c_str());
    double full = Measure(log, edit, lines, wholeText, n);
    std::printf("%-22s %8.1f us/line near empty, %8.1f us/line at the limit (%zu bytes)\n",
                wholeText ? "whole text each line:" : "changes only:", empty, full, log.Text().size());
    DestroyWindow(GetParent(edit));
}

} // namespace

int main(int argc, char **argv)
{
    unsigned lines = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 300;
    if (lines == 0)
        lines = 1;
    Run(false, lines);
    Run(true, lines);
    return 0;
}
