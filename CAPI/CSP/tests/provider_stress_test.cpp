// 16 threads acquiring, querying and releasing at once, on a verification
// context and on the card: no failure, no crash, process memory and handle
// count flat. The count per thread comes from VEL_CSP_STRESS_COUNT (10,000 by
// default; smaller where the machine emulates the processor).
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

constexpr int kThreads = 16;

int Count()
{
    const char *s = std::getenv("VEL_CSP_STRESS_COUNT");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 10000;
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&pmc), sizeof pmc);
    return pmc.PrivateUsage;
}

DWORD Handles()
{
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

// Each thread: acquire, ask for the container (or the name), release.
void Hammer(const char *container, DWORD flags, DWORD param, int count, std::atomic<int> &failures)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < count; ++i) {
                HCRYPTPROV prov = 0;
                if (!CryptAcquireContextA(&prov, container, kProvider, PROV_RSA_FULL, flags)) {
                    ++failures;
                    continue;
                }
                BYTE buffer[600];
                DWORD size = sizeof buffer;
                if (!CryptGetProvParam(prov, param, buffer, &size, 0))
                    ++failures;
                if (!CryptReleaseContext(prov, 0))
                    ++failures;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
}

class ProviderStress : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SetUpCard("csp-stress"); }
    void SetUp() override
    {
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl("log off"), 0);
    }
};

TEST_F(ProviderStress, ManyThreadsOnVerificationAndCardContexts)
{
    const int count = Count();
    // Warm up: the first acquire loads libraries and makes the Microsoft key container.
    std::atomic<int> failures{0};
    Hammer(nullptr, CRYPT_VERIFYCONTEXT, PP_NAME, 20, failures);
    Hammer(kAuthContainer, 0, PP_CONTAINER, 20, failures);
    ASSERT_EQ(failures.load(), 0);
    const SIZE_T memoryBefore = PrivateBytes();
    const DWORD handlesBefore = Handles();

    Hammer(nullptr, CRYPT_VERIFYCONTEXT, PP_NAME, count, failures);
    EXPECT_EQ(failures.load(), 0) << "verification contexts";

    // On the card, with one context kept by this thread so the others find
    // the card set up (the card is reached for the set-up and session checks).
    Acquired keep = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(keep.ok);
    Hammer(kAuthContainer, 0, PP_CONTAINER, count / 10 ? count / 10 : 1, failures);
    EXPECT_EQ(failures.load(), 0) << "card contexts";
    EXPECT_TRUE(Release(keep.prov));

    const SIZE_T memoryAfter = PrivateBytes();
    const DWORD handlesAfter = Handles();
    EXPECT_LT(memoryAfter, memoryBefore + 4 * 1024 * 1024) << memoryBefore << " -> " << memoryAfter;
    EXPECT_LE(handlesAfter, handlesBefore + 16) << handlesBefore << " -> " << handlesAfter;
}

} // namespace
