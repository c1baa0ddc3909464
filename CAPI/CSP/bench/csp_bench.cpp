// Benchmark (a program, not a test): verification acquire + release on our
// provider against the same on Wine's Microsoft provider, three ways:
//   - the first of a process, which loads the provider library (each sample
//     a child process of its own: this program started again);
//   - with no context kept open: our library stays loaded once it has served
//     (it pins itself), Wine's provider library is loaded and freed each time,
//     inside our acquire as inside Microsoft's;
//   - with one context of each kept open, as an application holds one (ours
//     a card context, so that each acquire makes a new context), and with a
//     verification context of ours on the same thread, which each reuses;
// and a card acquire + release with the PKCS#11 calls it costs, at latency 0
// and at 30 ms per card call. Every acquire and release is checked; a line
// with failures says how many instead of a time, and the program then ends
// with exit code 1.
//   build/<tree>/wine-run.sh build/<tree>/CAPI/CSP/bench/csp_bench.exe [count [first-load samples]]
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "csp_test_support.h"
#include "loaded_library.h"

using namespace csp_test;

namespace {

const char kMicrosoft[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";

double Seconds(const LARGE_INTEGER &a, const LARGE_INTEGER &b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

// Pairs made, pairs failed (the first failure's error), and the time per
// pair of those that succeeded.
struct Pairs {
    int made = 0, failed = 0;
    unsigned long firstError = 0;
    double seconds = 0;

    bool Clean() const { return made > 0 && failed == 0; }
    double PerPair() const { return made > failed ? seconds / (made - failed) : 0; }
    // "123.4 us" (or ms), or the failures: a failed pair is no timing.
    std::string Text(double scale, const char *unit) const
    {
        char text[96];
        if (Clean())
            std::snprintf(text, sizeof text, "%.1f %s", PerPair() * scale, unit);
        else
            std::snprintf(text, sizeof text, "FAILED %d of %d (first error 0x%08lx)", failed, made,
                          firstError);
        return text;
    }
};

int g_failures = 0;

// One acquire + release, timed; false (error set) when either fails.
bool Pair(const char *provider, DWORD type, const char *container, DWORD flags, double *seconds,
          unsigned long *error)
{
    LARGE_INTEGER a, b;
    HCRYPTPROV p = 0;
    QueryPerformanceCounter(&a);
    bool ok = CryptAcquireContextA(&p, container, provider, type, flags) != FALSE;
    if (ok && !CryptReleaseContext(p, 0))
        ok = false;
    QueryPerformanceCounter(&b);
    *error = ok ? 0 : GetLastError();
    *seconds = Seconds(a, b);
    return ok;
}

Pairs Measure(const char *provider, DWORD type, const char *container, DWORD flags, int count)
{
    Pairs pairs;
    for (int i = 0; i < count; ++i) {
        double s = 0;
        unsigned long error = 0;
        ++pairs.made;
        if (Pair(provider, type, container, flags, &s, &error)) {
            pairs.seconds += s;
        } else if (!pairs.failed++) {
            pairs.firstError = error;
        }
    }
    g_failures += pairs.failed;
    return pairs;
}

std::string Ratio(const Pairs &ours, const Pairs &theirs)
{
    char text[32] = "";
    if (ours.Clean() && theirs.Clean())
        std::snprintf(text, sizeof text, ", ratio %.2f", ours.PerPair() / theirs.PerPair());
    return text;
}

// The child of one first-load sample: the process's first verification
// acquire + release on one provider, in microseconds, or "failed 0x...".
int FirstLoadChild(const char *which)
{
    const bool ours = std::strcmp(which, "ours") == 0;
    double s = 0;
    unsigned long error = 0;
    if (!Pair(ours ? kProvider : kMicrosoft, ours ? PROV_RSA_FULL : PROV_RSA_AES, nullptr,
              CRYPT_VERIFYCONTEXT, &s, &error)) {
        std::printf("failed 0x%08lx\n", error);
        return 1;
    }
    std::printf("%.1f\n", s * 1e6);
    return 0;
}

// Median and spread of one provider's first-load samples.
struct Samples {
    std::vector<double> us;
    int failed = 0;
    std::string firstFailure;

    std::string Text() const
    {
        if (failed || us.empty())
            return "FAILED " + std::to_string(failed) + " of " + std::to_string(failed + us.size()) + " (" +
                   firstFailure + ")";
        std::vector<double> sorted = us;
        std::sort(sorted.begin(), sorted.end());
        char text[96];
        std::snprintf(text, sizeof text, "median %.0f us (%.0f to %.0f)", Median(), sorted.front(),
                      sorted.back());
        return text;
    }
    double Median() const
    {
        std::vector<double> sorted = us;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

void FirstLoadSample(const char *argv0, const char *which, Samples *samples)
{
    std::string out;
    const int rc = softcard_test::runSelf(argv0, std::string("--first-load ") + which, &out);
    char *end = nullptr;
    const double us = std::strtod(out.c_str(), &end);
    if (rc == 0 && end != out.c_str()) {
        samples->us.push_back(us);
        return;
    }
    if (!samples->failed++)
        samples->firstFailure = out.empty() ? "exit " + std::to_string(rc) : out.substr(0, out.find('\n'));
    ++g_failures;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--first-load") == 0)
        return FirstLoadChild(argv[2]);
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 15;
    SetUpCard("csp-bench");
    if (::testing::Test::HasFatalFailure())
        return 1;
    if (Ctl("reset") != 0 || Ctl("log off") != 0) {
        std::printf("the software card cannot be set up\n");
        return 1;
    }

    // The first acquire of a process: the provider library loaded, its
    // process attach, the context set up and released. Our child and
    // Microsoft's take turns; no samples, no line.
    Samples oursFirst, theirsFirst;
    for (int i = 0; i < samples; ++i) {
        FirstLoadSample(argv[0], "ours", &oursFirst);
        FirstLoadSample(argv[0], "ms", &theirsFirst);
    }
    if (samples > 0) {
        std::printf(
            "first verification acquire+release of a process (%d processes each): ours %s, Microsoft %s",
            samples, oursFirst.Text().c_str(), theirsFirst.Text().c_str());
        if (!oursFirst.failed && !theirsFirst.failed)
            std::printf(", ratio of the medians %.2f", oursFirst.Median() / theirsFirst.Median());
        std::printf("\n");
    }

    // Warm-up: our library loads (and stays), Microsoft's key store is read.
    Measure(kMicrosoft, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, 20);
    Measure(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, 20);
    Pairs theirs = Measure(kMicrosoft, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, count);
    Pairs ours = Measure(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, count);
    std::printf(
        "verification acquire+release, no context kept open (ours stays loaded; Wine's provider library "
        "loaded and freed in each): ours %s, Microsoft %s%s\n",
        ours.Text(1e6, "us").c_str(), theirs.Text(1e6, "us").c_str(), Ratio(ours, theirs).c_str());

    // One context of each provider kept open, as an application holds one.
    // Ours is a card context: a verification context of this thread would
    // be handed out again to every acquire here (a reuse, not a new context).
    HCRYPTPROV keepMs = 0, keepOurs = 0, keepHere = 0;
    if (!CryptAcquireContextA(&keepOurs, kAuthContainer, kProvider, PROV_RSA_FULL, 0) ||
        !CryptAcquireContextA(&keepMs, nullptr, kMicrosoft, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        std::printf("no context to keep open: 0x%08lx\n", GetLastError());
        return 1;
    }
    theirs = Measure(kMicrosoft, PROV_RSA_AES, nullptr, CRYPT_VERIFYCONTEXT, count);
    ours = Measure(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, count);
    std::printf(
        "verification acquire+release, libraries kept loaded: ours %s, Microsoft %s%s (goal <= 1.5)\n",
        ours.Text(1e6, "us").c_str(), theirs.Text(1e6, "us").c_str(), Ratio(ours, theirs).c_str());
    // The same with a context of this thread open: each acquire reuses it.
    if (!CryptAcquireContextA(&keepHere, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        std::printf("no context to keep open: 0x%08lx\n", GetLastError());
        return 1;
    }
    ours = Measure(kProvider, PROV_RSA_FULL, nullptr, CRYPT_VERIFYCONTEXT, count);
    std::printf(
        "verification acquire+release reusing a context this thread holds: ours %s, against Microsoft's "
        "new context above%s\n",
        ours.Text(1e6, "us").c_str(), Ratio(ours, theirs).c_str());
    if (!CryptReleaseContext(keepHere, 0) || !CryptReleaseContext(keepMs, 0) ||
        !CryptReleaseContext(keepOurs, 0))
        ++g_failures;

    for (int latency : {0, 30}) {
        if (Ctl("latency " + std::to_string(latency)) != 0 || Ctl("log on") != 0) {
            std::printf("the software card cannot be set up\n");
            return 1;
        }
        ClearLog();
        const int cardCount = latency ? 5 : 50;
        const Pairs card = Measure(kProvider, PROV_RSA_FULL, kAuthContainer, 0, cardCount);
        const int calls = CountCalls("");
        std::printf("card acquire+release at %d ms per call: %s, %.1f PKCS#11 calls each\n", latency,
                    card.Text(1e3, "ms").c_str(), static_cast<double>(calls) / cardCount);
        Ctl("log off");
    }
    Ctl("latency 0");
    if (g_failures) {
        std::printf("%d acquires or releases failed\n", g_failures);
        return 1;
    }
    return 0;
}
