// pcsc_bench [count]: what the PC/SC stand-in costs its callers. Start the
// prefix first. Uses a private state file.
//   - wake: from a state change written (as softcard_ctl writes it) to the
//     end of a waiting SCardGetStatusChangeA;
//   - transmit: one SELECT of the master file on a VEL3 card;
//   - connect: one SCardConnectA plus SCardDisconnect.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "scard_api.h"
#include "state.h"

namespace {

double NowMs()
{
    static LARGE_INTEGER f = [] {
        LARGE_INTEGER x;
        QueryPerformanceFrequency(&x);
        return x;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / double(f.QuadPart);
}

void Report(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-10s n=%zu  min %.2f ms  median %.2f ms  max %.2f ms\n", what, v.size(), v.front(),
                v[v.size() / 2], v.back());
}

// Moves the default card out of or into its reader, as softcard_ctl does.
bool ToggleCard(const std::string &path, bool in)
{
    softcard::FileLock lock(path);
    std::string text, error;
    softcard::State s;
    if (softcard::readWholeFile(path, text) != softcard::ReadResult::ok ||
        !softcard::parseState(text, s, error))
        s = softcard::defaultState();
    softcard::PlacedCard *c = s.cardByName("vel3-default");
    if (!c)
        return false;
    c->reader = in ? softcard::kDefaultReaderName : "";
    if (in)
        c->insertion = s.nextInsertion++;
    return softcard::replaceFileAtomically(path, softcard::stateToText(s), error);
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 50;
    char dir[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    std::string folder = std::string(dir) + "pcsc-bench-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string path = folder + "\\softcard.state";
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", path.c_str());
    ToggleCard(path, true);

    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS)
        return 1;
    std::vector<double> wake, transmit, connect;
    SCARD_READERSTATEA rs = {};
    rs.szReader = softcard::kDefaultReaderName;
    SCardGetStatusChangeA(ctx, 0, &rs, 1);
    for (int i = 0; i < count; ++i) {
        rs.dwCurrentState = rs.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
        double woke = 0;
        std::thread waiter([&] {
            SCardGetStatusChangeA(ctx, INFINITE, &rs, 1);
            woke = NowMs();
        });
        Sleep(20); // let the waiter block: this program measures, it is no test
        double written = NowMs();
        ToggleCard(path, i % 2 == 1);
        waiter.join();
        wake.push_back(woke - written);
    }
    ToggleCard(path, true);
    const BYTE selectMf[] = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    for (int i = 0; i < count; ++i) {
        SCARDHANDLE h = 0;
        DWORD protocol = 0;
        double t0 = NowMs();
        if (SCardConnectA(ctx, softcard::kDefaultReaderName, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h,
                          &protocol))
            return 2;
        double t1 = NowMs();
        BYTE answer[258];
        DWORD n = sizeof(answer);
        SCardTransmit(h, &g_rgSCardT0Pci, selectMf, sizeof(selectMf), nullptr, answer, &n);
        double t2 = NowMs();
        SCardDisconnect(h, SCARD_LEAVE_CARD);
        double t3 = NowMs();
        transmit.push_back(t2 - t1);
        connect.push_back((t1 - t0) + (t3 - t2));
    }
    SCardReleaseContext(ctx);
    Report("wake", wake);
    Report("transmit", transmit);
    Report("connect", connect);
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".pcsc").c_str());
    return 0;
}
