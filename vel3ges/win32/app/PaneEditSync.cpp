#include "PaneEditSync.h"

#include <string>

namespace vel {

namespace {

size_t EditLength(HWND edit)
{
    return static_cast<size_t>(::GetWindowTextLengthA(edit));
}

void Replace(HWND edit, size_t from, size_t to, const char *text)
{
    ::SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(from), static_cast<LPARAM>(to));
    ::SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

// Cuts the log's removals out of the edit; false when they do not fit its text.
bool ApplyErasures(HWND edit, const PaneLog &log, unsigned &linesRemovedAbove, unsigned firstVisible)
{
    linesRemovedAbove = 0;
    for (const PaneLog::Erasure &e : log.LastErasures()) {
        if (e.offset + e.length > EditLength(edit))
            return false;
        const LRESULT firstLine = ::SendMessageA(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(e.offset), 0);
        Replace(edit, e.offset, e.offset + e.length, "");
        if (firstLine >= 0 && static_cast<unsigned>(firstLine) < firstVisible)
            linesRemovedAbove += e.lines;
    }
    return true;
}

} // namespace

void FollowPaneLog(HWND edit, const PaneLog &log)
{
    if (!edit)
        return;
    const unsigned firstVisible = static_cast<unsigned>(::SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    unsigned removedAbove = 0;
    const std::string &text = log.Text();
    if (!ApplyErasures(edit, log, removedAbove, firstVisible) || EditLength(edit) > text.size()) {
        ::SetWindowTextA(edit, text.c_str());
        return;
    }
    const size_t end = EditLength(edit);
    if (end < text.size())
        Replace(edit, end, end, text.c_str() + end);
    // Adding text scrolls to it: back to the line the holder was looking at,
    // the caret at the start as after a new text.
    ::SendMessageA(edit, EM_SETSEL, 0, 0);
    const int target = firstVisible > removedAbove ? static_cast<int>(firstVisible - removedAbove) : 0;
    const int now = static_cast<int>(::SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    if (now != target)
        ::SendMessageA(edit, EM_LINESCROLL, 0, target - now);
}

} // namespace vel
