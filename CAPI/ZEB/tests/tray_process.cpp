#include "tray_process.h"

#include <cstdio>
#include <cstdlib>

#include "store_view.h"

namespace zebtest {

namespace {
struct Search {
    DWORD pid;
    HWND found;
};
BOOL CALLBACK FindFrame(HWND hwnd, LPARAM param)
{
    auto *s = reinterpret_cast<Search *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char title[64] = "";
    GetWindowTextA(hwnd, title, sizeof title);
    if (pid == s->pid && strcmp(title, "ZEB_QUVVEL") == 0) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND FrameOf(DWORD pid)
{
    Search s{pid, nullptr};
    EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

TrayProcess::~TrayProcess()
{
    if (Running()) {
        Close();
        if (Wait(30000) < 0)
            TerminateProcess(m_pi.hProcess, 1);
    }
    if (m_pi.hProcess)
        CloseHandle(m_pi.hProcess);
    if (m_pi.hThread)
        CloseHandle(m_pi.hThread);
}

bool TrayProcess::Start()
{
    const char *exe = getenv("ZEB_EXE");
    if (!exe)
        return false;
    std::string command = std::string("\"") + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi) !=
           FALSE;
}

HWND TrayProcess::WaitWindow(DWORD ms)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FrameOf(m_pi.dwProcessId)) != nullptr || !Running(); }, ms);
    return found;
}

void TrayProcess::Close()
{
    if (HWND hwnd = FrameOf(m_pi.dwProcessId))
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
}

void TrayProcess::Kill()
{
    if (Running()) {
        TerminateProcess(m_pi.hProcess, 9);
        WaitForSingleObject(m_pi.hProcess, INFINITE);
    }
}

int TrayProcess::Wait(DWORD ms)
{
    if (!m_pi.hProcess)
        return -1;
    if (!WaitUntil([&] { return !Running(); }, ms))
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return (int)code;
}

bool TrayProcess::Running() const
{
    return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT;
}

} // namespace zebtest
