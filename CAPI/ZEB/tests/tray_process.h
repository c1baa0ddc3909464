// Test support: ZEB.exe started as a process of its own, found by its
// window, closed as the session would close it.
#ifndef ZEB_TESTS_TRAY_PROCESS_H
#define ZEB_TESTS_TRAY_PROCESS_H

#include <windows.h>

#include <string>

namespace zebtest {

class TrayProcess {
public:
    ~TrayProcess();
    // Starts ZEB.exe (ZEB_EXE in the environment). False when it cannot start.
    bool Start();
    // Starts the program `exe` (a copy of ZEB.exe), named in UTF-16.
    bool Start(const std::wstring &exe);
    // The frame window of this process, waiting up to `ms`; null when none.
    HWND WaitWindow(DWORD ms);
    // Posts WM_CLOSE to its frame.
    void Close();
    // Ends it at once, as a crash would: nothing of its own clean-up runs.
    void Kill();
    // Waits for the end; the exit code, or -1 when still running after `ms`.
    int Wait(DWORD ms);
    bool Running() const;
    DWORD pid() const { return m_pi.dwProcessId; }

private:
    PROCESS_INFORMATION m_pi{};
};

// The frame window of process `pid` (title "ZEB_QUVVEL"), or null.
HWND FrameOf(DWORD pid);

// The tray icon's window of process `pid`: a hidden popup of the class
// layer's own class, without a title. Null when there is none.
HWND TrayIconWindow(DWORD pid);

// The item at `position` of the tray icon's popup menu chosen as a person
// chooses it: a right click on the icon (the shell's callback message to
// the tray's window), then the arrow key down to it and Enter. Another
// process cannot read the menu's items under Wine, so the caller checks
// what the command did. False when the icon's window or the menu is not found.
bool ChooseTrayMenuItem(DWORD pid, int position);

// The process, other than `old`, that owns a frame; waits up to `ms`. 0 when none.
DWORD WaitOtherInstance(DWORD old, DWORD ms);
// The program file of process `pid` ("" when it cannot be read).
std::wstring ImagePath(DWORD pid);

} // namespace zebtest

#endif
