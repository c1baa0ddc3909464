#include "test_process.h"

#include <cstdio>
#include <cstdlib>

namespace vel_test {

int RunCommandLine(const std::string &commandLine, DWORD *elapsedMs)
{
    std::string line = commandLine;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    DWORD start = GetTickCount();
    // Wine now and then refuses a start with ERROR_INTERNAL_ERROR when many
    // processes start at once; a second attempt succeeds.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5; ++attempt) {
        started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        if (started || GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    if (!started) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", line.c_str(), GetLastError());
        return -1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (elapsedMs)
        *elapsedMs = GetTickCount() - start;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
}

int RunRegsvr32(const std::string &windowsPath, const std::string &switches)
{
    return RunCommandLine("regsvr32.exe " + switches + " \"" + windowsPath + "\"");
}

} // namespace vel_test
