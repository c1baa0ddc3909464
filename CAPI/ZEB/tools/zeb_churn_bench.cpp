// Memory of the tray program over card insertions and removals (benchmark,
// not a test): ZEB.exe runs on a private software-card state in polling or
// event-driven mode, the card goes out and in `cycles` times (the store read
// back after each step), and the tray's committed private memory and thread
// count are read from outside after a warm-up and at the end.
//   zeb_churn_bench <ZEB.exe> <softcard_ctl.exe> polling|events [cycles] [warm-up] [option...]
// Options: "dialog" shows the reader-state dialog for the whole run; "ctl"
// takes the card out and puts it in with softcard_ctl (a new insertion each
// time) instead of switching between two saved states; name=value is one
// more setting, a number as REG_DWORD, else REG_SZ
// ("logfile=C:\\users\\Public\\zeb.log", "Traces=40").
// Run it in a prefix with no other tray running; it sets and then removes
// the per-user settings key. zeb_churn_control.exe does beside it only the
// store and provider calls the tray makes for the same cycles.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bound_certs.h"

namespace {

const char kSettingsKey[] = "Software\\Ovrane\\ZEB";
const char kReader[] = "\"Lecteur Ovrane VEL 0\"";

// Committed private memory of another process, summed over its address space.
SIZE_T PrivateBytesOf(HANDLE process)
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION m;
    for (char *p = nullptr; VirtualQueryEx(process, p, &m, sizeof m) == sizeof m;
         p = static_cast<char *>(m.BaseAddress) + m.RegionSize)
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE)
            total += m.RegionSize;
    return total;
}

// Handles open in another process, probed value by value (the handle count
// reads 0 under Wine).
DWORD HandlesOf(HANDLE process)
{
    DWORD n = 0;
    for (uintptr_t h = 4; h < 0x10000; h += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(h), GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            ++n;
        }
    }
    return n;
}

DWORD ThreadsOf(DWORD pid)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t;
    t.dwSize = sizeof t;
    DWORD n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == pid;
    CloseHandle(snap);
    return n;
}

int Run(const std::string &command)
{
    std::string line = "\"" + command + "\""; // cmd /c strips the outer quotes
    return system(line.c_str());
}

bool Copy(const std::string &from, const std::string &to)
{
    // Written afresh, then moved in one step: readers see the old or the new state.
    std::string next = to + ".next";
    if (!CopyFileA(from.c_str(), next.c_str(), FALSE))
        return false;
    HANDLE h = CreateFileA(next.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(h, nullptr, nullptr, &now);
        CloseHandle(h);
    }
    for (int i = 0; i < 500; ++i) {
        if (MoveFileExA(next.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        Sleep(10);
    }
    return false;
}

// Waits up to `ms` for `count` certificates bound to the card provider.
bool WaitBound(size_t count, DWORD ms, HANDLE tray)
{
    DWORD start = GetTickCount();
    while (zebtools::ReadBoundCerts().size() != count) {
        if (GetTickCount() - start > ms || WaitForSingleObject(tray, 50) == WAIT_OBJECT_0)
            return false;
    }
    return true;
}

void SetDword(const char *name, DWORD value)
{
    RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || (strcmp(argv[3], "polling") != 0 && strcmp(argv[3], "events") != 0)) {
        fprintf(stderr, "usage: zeb_churn_bench <ZEB.exe> <softcard_ctl.exe> polling|events [cycles] "
                        "[warm-up]\n");
        return 2;
    }
    const bool events = strcmp(argv[3], "events") == 0;
    const int cycles = argc > 4 ? atoi(argv[4]) : 100;
    const int warmUp = argc > 5 ? atoi(argv[5]) : 10;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string state = std::string(temp) + "zeb-churn-bench.state";
    std::string in = state + ".in", out = state + ".out";
    DeleteFileA(state.c_str());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", state.c_str()); // inherited by the tray
    std::string ctl = std::string("\"") + argv[2] + "\" ";
    if (Run(ctl + "remove " + kReader) != 0 || !CopyFileA(state.c_str(), out.c_str(), FALSE) ||
        Run(ctl + "insert " + kReader + " vel3-default") != 0 || !CopyFileA(state.c_str(), in.c_str(), FALSE))
        return 1;

    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
    SetDword("patch_fido_v4", events ? 1 : 0);
    SetDword("watchOnTimer", 1);
    bool dialog = false, useCtl = false;
    for (int i = 6; i < argc; ++i) {
        std::string setting = argv[i];
        dialog = dialog || setting == "dialog";
        useCtl = useCtl || setting == "ctl";
        size_t eq = setting.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = setting.substr(0, eq), value = setting.substr(eq + 1);
        char *end = nullptr;
        unsigned long number = strtoul(value.c_str(), &end, 0);
        if (!value.empty() && *end == '\0')
            SetDword(name.c_str(), (DWORD)number);
        else
            RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, name.c_str(), REG_SZ, value.c_str(),
                            (DWORD)value.size() + 1);
    }
    std::string command = std::string("\"") + argv[1] + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    int rc = 0;
    SIZE_T bytesAt = 0;
    DWORD threadsAt = 0, handlesAt = 0, started = 0;
    if (!WaitBound(2, 60000, pi.hProcess)) {
        fprintf(stderr, "the tray did not propagate the card\n");
        rc = 1;
    }
    if (dialog)
        PostMessageA(FindWindowA(nullptr, "ZEB_QUVVEL"), WM_COMMAND, 0x8009,
                     0); // "Lister l'état des lecteurs..."
    auto out_ = [&] { return useCtl ? Run(ctl + "remove " + kReader) == 0 : Copy(out, state); };
    auto in_ = [&] {
        return useCtl ? Run(ctl + "insert " + kReader + " vel3-default") == 0 : Copy(in, state);
    };
    for (int i = 0; rc == 0 && i < warmUp + cycles; ++i) {
        if (i == warmUp) {
            Sleep(1500); // the last step's messages and log lines are done
            bytesAt = PrivateBytesOf(pi.hProcess);
            threadsAt = ThreadsOf(pi.dwProcessId);
            handlesAt = HandlesOf(pi.hProcess);
            started = GetTickCount();
        }
        if (!out_() || !WaitBound(0, 30000, pi.hProcess) || !in_() || !WaitBound(2, 30000, pi.hProcess)) {
            fprintf(stderr, "cycle %d: the store did not follow the card\n", i);
            rc = 1;
        }
    }
    if (rc == 0) {
        Sleep(1500);
        SIZE_T bytes = PrivateBytesOf(pi.hProcess);
        DWORD threads = ThreadsOf(pi.dwProcessId), handles = HandlesOf(pi.hProcess);
        printf(
            "%s mode%s%s, %d cycles after %d of warm-up, %.1f s: tray private bytes %zu -> %zu (%+.2f KB per "
            "cycle), threads %lu -> %lu, handles %lu -> %lu (%+.2f per cycle)\n",
            events ? "event-driven" : "polling", dialog ? ", dialog shown" : "",
            useCtl ? ", softcard_ctl" : "", cycles, warmUp, (GetTickCount() - started) / 1000.0, bytesAt,
            bytes, ((double)bytes - (double)bytesAt) / 1024.0 / cycles, (unsigned long)threadsAt,
            (unsigned long)threads, (unsigned long)handlesAt, (unsigned long)handles,
            ((double)handles - (double)handlesAt) / cycles);
    }
    if (HWND frame = FindWindowA(nullptr, "ZEB_QUVVEL"))
        PostMessageA(frame, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
    for (const std::string *f : {&state, &in, &out})
        DeleteFileA(f->c_str());
    return rc;
}
