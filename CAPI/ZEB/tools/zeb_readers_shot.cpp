// The reader-state dialog of a running tray, shown for a screenshot.
//   zeb_readers_shot show <ZEB.exe> [seconds]   starts the tray, waits for the
//       card's certificates, opens the dialog and prints its rectangle on
//       the screen as "x y width height"
//   zeb_readers_shot close                      quits the tray ("Quitter")
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bound_certs.h"
#include "resource.h"

namespace {
const char kDialogTitle[] = "Etat des lecteurs de carte VEL";

HWND WaitWindow(const char *title, DWORD ms, bool visible)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(100)) {
        HWND w = FindWindowA(nullptr, title);
        if (w && (!visible || IsWindowVisible(w)))
            return w;
    }
    return nullptr;
}

int Show(const char *exe, DWORD seconds)
{
    std::string command = std::string("\"") + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "ZEB.exe could not start (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    HWND frame = WaitWindow("ZEB_QUVVEL", seconds * 1000, false);
    DWORD start = GetTickCount();
    while (frame && zebtools::ReadBoundCerts().empty() && GetTickCount() - start < seconds * 1000)
        Sleep(200);
    if (!frame || zebtools::ReadBoundCerts().empty()) {
        fprintf(stderr, "the tray propagated nothing within %lu s\n", seconds);
        return 1;
    }
    PostMessageA(frame, WM_COMMAND, ID_LIST_READERS, 0); // the menu's "Lister l'état des lecteurs..."
    HWND dialog = WaitWindow(kDialogTitle, 10000, true);
    if (!dialog) {
        fprintf(stderr, "the reader-state dialog did not show\n");
        return 1;
    }
    SetWindowPos(dialog, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
    Sleep(1500); // three refreshes of the list (every 500 ms)
    RECT r;
    GetWindowRect(dialog, &r);
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

int Close()
{
    HWND frame = FindWindowA(nullptr, "ZEB_QUVVEL");
    if (!frame)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(frame, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageA(frame, WM_COMMAND, ID_APP_EXIT, 0); // "Quitter"
    DWORD r = process ? WaitForSingleObject(process, 30000) : WAIT_FAILED;
    if (process)
        CloseHandle(process);
    return r == WAIT_OBJECT_0 ? 0 : 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "show") == 0)
        return Show(argv[2], argc > 3 ? (DWORD)atoi(argv[3]) : 60);
    if (argc >= 2 && strcmp(argv[1], "close") == 0)
        return Close();
    fprintf(stderr, "usage: zeb_readers_shot show <ZEB.exe> [seconds] | close\n");
    return 2;
}
