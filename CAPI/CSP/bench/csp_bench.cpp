// Benchmark (a program, not a test): acquire + release of a verification
// context on our provider against the same on Wine's Microsoft provider, and
// a card acquire + release with the PKCS#11 calls it costs, at latency 0 and
// at 30 ms per card call.
//   build/<tree>/wine-run.sh build/<tree>/standins/softcard/csp_bench.exe [count]
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

double Seconds(const LARGE_INTEGER &a, const LARGE_INTEGER &b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

double PerCall(const char *provider, DWORD type, const char *container, DWORD flags, int count)
{
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (int i = 0; i < count; ++i) {
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextA(&p, container, provider, type, flags)) {
            std::printf("acquire failed on %s: 0x%08lx\n", provider,
                        static_cast<unsigned long>(GetLastError()));
            std::exit(1);
        }
        CryptReleaseContext(p, 0);
    }
    QueryPerformanceCounter(&b);
    return Seconds(a, b) / count;
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    SetUpCard("csp-bench");
    if (::testing::Test::HasFatalFailure())
        return 1;
    Ctl("reset");
    Ctl("log off");
    const char *ms = "Microsoft Enhanced RSA and AES Cryptographic Provider";
    PerCall(ms, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, 20);
    PerCall(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, 20);
    // Cold: each last release lets CryptoAPI free the provider library.
    double theirs = PerCall(ms, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, count);
    double ours = PerCall(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, count);
    std::printf("verification acquire+release, library loaded each time: ours %.1f us, Microsoft %.1f us, "
                "ratio %.2f\n",
                ours * 1e6, theirs * 1e6, ours / theirs);
    // Warm: one context of each provider kept open, as an application holds one.
    HCRYPTPROV keepMs = 0, keepOurs = 0;
    CryptAcquireContextA(&keepMs, nullptr, ms, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    CryptAcquireContextA(&keepOurs, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    theirs = PerCall(ms, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, count);
    ours = PerCall(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, count);
    std::printf("verification acquire+release, library kept loaded: ours %.1f us, Microsoft %.1f us, ratio "
                "%.2f (goal <= 1.5)\n",
                ours * 1e6, theirs * 1e6, ours / theirs);
    CryptReleaseContext(keepMs, 0);
    CryptReleaseContext(keepOurs, 0);

    for (int latency : {0, 30}) {
        Ctl("latency " + std::to_string(latency));
        Ctl("log on");
        ClearLog();
        const int cardCount = latency ? 5 : 50;
        const double card = PerCall(kProvider, PROV_RSA_FULL, kAuthContainer, 0, cardCount);
        const int calls = CountCalls("");
        std::printf("card acquire+release at %d ms per call: %.1f ms, %.1f PKCS#11 calls each\n", latency,
                    card * 1e3, static_cast<double>(calls) / cardCount);
        Ctl("log off");
    }
    Ctl("latency 0");
    return 0;
}
