#include "tray_process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// The tray's own hidden window: a popup of the class layer's, untitled.
struct TraySearch {
    DWORD pid;
    HWND found;
};
BOOL CALLBACK FindTrayWindow(HWND hwnd, LPARAM param)
{
    auto *s = reinterpret_cast<TraySearch *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[128] = "", title[8] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, title, sizeof title);
    if (pid == s->pid && strncmp(cls, "cl:", 3) == 0 && !title[0] &&
        (GetWindowLongA(hwnd, GWL_STYLE) & WS_POPUP)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND TrayIconWindow(DWORD pid)
{
    TraySearch s{pid, nullptr};
    EnumWindows(FindTrayWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool ChooseTrayMenuItem(DWORD pid, int position)
{
    HWND icon = TrayIconWindow(pid);
    if (!icon)
        return false;
    const UINT kCallback = WM_USER + 1, kIconId = 130;
    PostMessageA(icon, kCallback, kIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    if (!WaitUntil(
            [&] {
                menu = FindWindowA("#32768", nullptr);
                DWORD owner = 0;
                if (menu)
                    GetWindowThreadProcessId(menu, &owner);
                return menu && owner == pid && IsWindowVisible(menu);
            },
            10000))
        return false;
    for (int i = 0; i <= position; ++i) // the first press lights the first item
        PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    return true;
}

DWORD WaitOtherInstance(DWORD old, DWORD ms)
{
    DWORD pid = 0;
    WaitUntil(
        [&] {
            HWND w = FindWindowA(nullptr, "ZEB_QUVVEL");
            pid = 0;
            if (w)
                GetWindowThreadProcessId(w, &pid);
            return pid != 0 && pid != old;
        },
        ms);
    return pid != old ? pid : 0;
}

std::wstring ImagePath(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return L"";
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    bool ok = QueryFullProcessImageNameW(process, 0, path, &size) != FALSE;
    CloseHandle(process);
    return ok ? std::wstring(path, size) : L"";
}

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

bool TrayProcess::Start(const std::wstring &exe)
{
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi) !=
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
