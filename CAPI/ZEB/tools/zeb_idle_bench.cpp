// Idle cost of the tray program: with a card present and nothing changing,
// the PKCS#11 calls it makes per poll and the CPU time it uses per minute.
//   zeb_idle_bench <ZEB.exe> <softcard_ctl.exe> [seconds]   (default 60)
// The CPU time is read on the host side by zeb_idle_bench.sh (Wine gives
// no times for another process). Uses a private software-card state with the call log on; run it in a
// prefix with no other tray running.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bound_certs.h"

namespace {

// Lines of the call log written by process `pid`, and among them the slot
// list reads (one per poll).
void CountCalls(const std::string &log, DWORD pid, long *calls, long *polls)
{
    *calls = *polls = 0;
    FILE *f = fopen(log.c_str(), "rb");
    if (!f)
        return;
    char prefix[32];
    snprintf(prefix, sizeof prefix, "[%lu:", (unsigned long)pid);
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, prefix, strlen(prefix)) != 0)
            continue;
        ++*calls;
        if (strstr(line, "C_GetSlotList("))
            ++*polls;
    }
    fclose(f);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: zeb_idle_bench <ZEB.exe> <softcard_ctl.exe> [seconds]\n");
        return 2;
    }
    DWORD seconds = argc > 3 ? (DWORD)atoi(argv[3]) : 60;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string state = std::string(temp) + "zeb-idle-bench.state";
    DeleteFileA(state.c_str());
    DeleteFileA((state + ".log").c_str());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", state.c_str()); // inherited by the tray
    std::string ctl = std::string("\"\"") + argv[2] + "\" log on\"";
    if (system(ctl.c_str()) != 0)
        return 1;

    std::string command = std::string("\"") + argv[1] + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    DWORD start = GetTickCount();
    while (zebtools::ReadBoundCerts().size() < 2) {
        if (GetTickCount() - start > 60000 || WaitForSingleObject(pi.hProcess, 200) == WAIT_OBJECT_0) {
            fprintf(stderr, "the tray did not propagate the card\n");
            TerminateProcess(pi.hProcess, 1);
            return 1;
        }
    }
    Sleep(3000); // the propagation's own calls are over
    long calls0, polls0;
    CountCalls(state + ".log", pi.dwProcessId, &calls0, &polls0);
    printf("idle window begins\n");
    fflush(stdout);
    Sleep(seconds * 1000);
    printf("idle window ends\n");
    fflush(stdout);
    long calls1, polls1;
    CountCalls(state + ".log", pi.dwProcessId, &calls1, &polls1);

    long calls = calls1 - calls0, polls = polls1 - polls0;
    printf("idle for %lu s with a card present: %ld polls, %ld PKCS#11 calls (%.1f per poll)\n", seconds,
           polls, calls, polls ? (double)calls / polls : 0.0);
    if (HWND frame = FindWindowA(nullptr, "ZEB_QUVVEL"))
        PostMessageA(frame, WM_CLOSE, 0, 0);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (!getenv("ZEB_BENCH_KEEP_LOG")) {
        DeleteFileA(state.c_str());
        DeleteFileA((state + ".log").c_str());
    }
    return 0;
}
