// The main job's view of the tray program: starts ZEB.exe, waits until the
// card in the reader has its certificates in the user's "MY" store, and
// prints them as any CryptoAPI application reads them back.
//   zeb_demo <ZEB.exe path> [seconds]   exit 0 when certificates were seen
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bound_certs.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: zeb_demo <ZEB.exe> [seconds]\n");
        return 2;
    }
    DWORD seconds = argc > 2 ? (DWORD)atoi(argv[2]) : 60;
    std::string command = std::string("\"") + argv[1] + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "ZEB.exe could not start (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);
    printf("ZEB.exe started (process %lu), waiting for the card's certificates...\n", pi.dwProcessId);
    fflush(stdout);
    // Certificates come after the tray's start-up pause and first scan.
    std::vector<zebtools::BoundCert> bound;
    DWORD start = GetTickCount();
    size_t last = 0;
    while (GetTickCount() - start < seconds * 1000) {
        if (WaitForSingleObject(pi.hProcess, 500) == WAIT_OBJECT_0) {
            fprintf(stderr, "ZEB.exe ended before propagating\n");
            return 1;
        }
        bound = zebtools::ReadBoundCerts();
        if (!bound.empty() && bound.size() == last)
            break; // the same count twice: the card is done
        last = bound.size();
    }
    CloseHandle(pi.hProcess);
    if (bound.empty()) {
        fprintf(stderr, "no certificate propagated within %lu s\n", seconds);
        return 1;
    }
    printf("Certificates propagated into the user's \"MY\" store:\n");
    for (const auto &b : bound) {
        printf("  subject   %s\n", b.subject.c_str());
        printf("  provider  %ls (type %lu)\n", b.provider.c_str(), b.provType);
        printf("  container %ls\n", b.container.c_str());
        printf("  key spec  %lu (%s)\n\n", b.keySpec,
               b.keySpec == AT_SIGNATURE     ? "AT_SIGNATURE"
               : b.keySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE"
                                             : "none");
    }
    return 0;
}
