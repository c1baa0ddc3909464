// 16 threads acquiring, querying and releasing at once, on a verification
// context and on the card: no failure, no crash, process memory and handle
// count flat. VEL_CSP_STRESS_COUNT gives the number of pairs on each kind of
// context, shared out between the threads (10,000 by default).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cp_interface.h"
#include "csp_test_support.h"
#include "process_counters.h"

using namespace csp_test;

namespace {

constexpr int kThreads = 16;

// Acquire, query and release pairs in all, shared out between the threads.
int Count()
{
    const char *s = std::getenv("VEL_CSP_STRESS_COUNT");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 10000;
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

class ProviderStress : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        ASSERT_EQ(Ctl("log off"), 0); // the log would only slow the card down
    }
};

TEST_F(ProviderStress, ManyThreadsOnVerificationAndCardContexts)
{
    const int count = (Count() + kThreads - 1) / kThreads; // per thread
    // Warm up: the first acquire loads libraries and makes the Microsoft key container.
    std::atomic<int> failures{0};
    Hammer(nullptr, CRYPT_VERIFYCONTEXT, PP_NAME, 20, failures);
    Hammer(kAuthContainer, 0, PP_CONTAINER, 20, failures);
    ASSERT_EQ(failures.load(), 0);
    const SIZE_T memoryBefore = vel_test::PrivateBytes();
    // Wine's Microsoft provider keeps one key open for every acquire of a
    // named container (a card context's set-up opens "QUVCSPPROVIDER" each
    // time): counted apart.
    const DWORD handlesBefore = vel_test::OpenHandles() - vel_test::OpenKeysUnder(L"QUVCSPPROVIDER");

    Hammer(nullptr, CRYPT_VERIFYCONTEXT, PP_NAME, count, failures);
    EXPECT_EQ(failures.load(), 0) << "verification contexts";

    // On the card, with one context kept by this thread so the others find
    // the card set up (the card is reached for the set-up and session checks).
    Acquired keep = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(keep.ok);
    Hammer(kAuthContainer, 0, PP_CONTAINER, count, failures);
    EXPECT_EQ(failures.load(), 0) << "card contexts";
    EXPECT_TRUE(Release(keep.prov));

    const SIZE_T memoryAfter = vel_test::PrivateBytes();
    const DWORD handlesAfter = vel_test::OpenHandles() - vel_test::OpenKeysUnder(L"QUVCSPPROVIDER");
    EXPECT_LT(memoryAfter, memoryBefore + 4 * 1024 * 1024) << memoryBefore << " -> " << memoryAfter;
    EXPECT_LE(handlesAfter, handlesBefore + 16) << handlesBefore << " -> " << handlesAfter;
}

// The exports called directly: a context released on one thread while
// others query it, and one shared context released by two threads at once.
TEST_F(ProviderStress, ReleaseRacingWithUse)
{
    typedef BOOL(WINAPI * AcquireFn)(HCRYPTPROV *, LPCSTR, DWORD, PVTableProvStruc);
    typedef BOOL(WINAPI * ReleaseFn)(HCRYPTPROV, DWORD);
    typedef BOOL(WINAPI * GetProvParamFn)(HCRYPTPROV, DWORD, BYTE *, DWORD *, DWORD);
    HMODULE module = LoadLibraryA(ProviderPath().c_str());
    ASSERT_NE(module, nullptr);
    auto acquire =
        reinterpret_cast<AcquireFn>(reinterpret_cast<void *>(GetProcAddress(module, "CPAcquireContext")));
    auto release =
        reinterpret_cast<ReleaseFn>(reinterpret_cast<void *>(GetProcAddress(module, "CPReleaseContext")));
    auto get =
        reinterpret_cast<GetProvParamFn>(reinterpret_cast<void *>(GetProcAddress(module, "CPGetProvParam")));
    ProviderVTable vtable = {};
    vtable.dwProvType = PROV_RSA_FULL;
    ASSERT_EQ(Ctl("log on"), 0);
    const int rounds = Count() / 100 ? Count() / 100 : 1;
    for (int round = 0; round < rounds; ++round) {
        ClearLog();
        HCRYPTPROV a = 0, b = 0;
        ASSERT_TRUE(acquire(&a, nullptr, CRYPT_VERIFYCONTEXT, &vtable));
        ASSERT_TRUE(acquire(&b, nullptr, CRYPT_VERIFYCONTEXT, &vtable));
        ASSERT_EQ(a, b) << "reused on this thread";
        std::atomic<bool> go{false};
        std::atomic<int> done{0}, released{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                for (int i = 0; i < 50; ++i) {
                    BYTE buffer[64];
                    DWORD size = sizeof buffer;
                    if (!get(a, PP_NAME, buffer, &size, 0) &&
                        GetLastError() != static_cast<DWORD>(NTE_BAD_UID))
                        ++done; // counted as a wrong answer
                }
            });
        }
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                if (release(a, 0))
                    ++released;
            });
        }
        go = true;
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(done.load(), 0);
        EXPECT_EQ(released.load(), 2);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(release(a, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    }
    FreeLibrary(module);
}

} // namespace
