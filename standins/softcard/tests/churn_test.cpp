// The software card loaded, used and freed a thousand times, as advapi32
// loads and frees a provider that links it: TLS slots and handles stay where
// they were, and memory grows by no more than a do-nothing C++ DLL built the
// same way leaves behind at each load (the static runtime's emergency
// exception pool, never freed). Every fourth cycle two threads also wait
// their turn inside the library.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "loaded_library.h"
#include "pkcs11.h"
#include "process_counters.h"

namespace {

const int kCycles = 1000;
// Slack over the baseline's cost per load: heap growth rounded to whole regions.
const SIZE_T kMarginPerCycle = 2048;

DWORD FirstFreeTlsSlot()
{
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

struct Counters {
    DWORD tls, handles;
    SIZE_T bytes;
};

Counters Now()
{
    return {FirstFreeTlsSlot(), vel_test::OpenHandles(), vel_test::PrivateBytes()};
}

DWORD WINAPI CallsInTurn(void *arg)
{
    CK_FUNCTION_LIST *f = static_cast<CK_FUNCTION_LIST *>(arg);
    CK_ULONG count = 0;
    CK_INFO info;
    for (int i = 0; i < 3; ++i) {
        f->C_GetSlotList(CK_TRUE, nullptr, &count);
        f->C_GetInfo(&info);
    }
    return 0;
}

// One caller's whole use: load, initialise, (two threads at once,) finalise, free.
bool Cycle(const std::string &path, bool together)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module)
        return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void *>(GetProcAddress(module, "C_GetFunctionList")));
    CK_FUNCTION_LIST *f = nullptr;
    bool ok = getList && getList(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK;
    if (ok && together) {
        HANDLE threads[2];
        for (HANDLE &t : threads)
            t = CreateThread(nullptr, 0, CallsInTurn, f, 0, nullptr);
        ok = threads[0] && threads[1];
        for (HANDLE t : threads) {
            if (t) {
                WaitForSingleObject(t, INFINITE);
                CloseHandle(t);
            }
        }
    }
    if (f && ok)
        ok = f->C_Finalize(nullptr) == CKR_OK;
    FreeLibrary(module);
    return ok;
}

// Bytes a load and free of the do-nothing C++ DLL leaves behind.
SIZE_T BaselinePerLoad(const std::string &path, int loads)
{
    const SIZE_T before = vel_test::PrivateBytes();
    for (int i = 0; i < loads; ++i) {
        HMODULE module = LoadLibraryA(path.c_str());
        if (!module)
            return 0;
        auto length = reinterpret_cast<int (*)(const char *)>(
            reinterpret_cast<void *>(GetProcAddress(module, "BaselineLength")));
        if (length)
            length("x");
        FreeLibrary(module);
    }
    return (vel_test::PrivateBytes() - before) / loads;
}

TEST(SoftcardChurn, LoadInitialiseFinaliseFreeLeavesNothingOfItsOwn)
{
    softcard_test::usePrivateState("churn");
    // Every card call takes a moment: the second thread of a cycle waits its turn.
    ASSERT_EQ(softcard_test::control("latency 1"), 0);
    const std::string library = softcard_test::beside(SOFTCARD_LIBRARY_NAME);
    const SIZE_T baseline = BaselinePerLoad(softcard_test::beside(BASELINE_DLL_NAME), 200);
    ASSERT_TRUE(Cycle(library, true)); // the process's own first-use costs
    const Counters before = Now();
    for (int i = 0; i < kCycles; ++i)
        ASSERT_TRUE(Cycle(library, i % 4 == 0)) << "cycle " << i;
    const Counters after = Now();
    const SIZE_T perCycle = after.bytes > before.bytes ? (after.bytes - before.bytes) / kCycles : 0;
    std::printf("per cycle: %lu bytes (a do-nothing C++ DLL: %lu per load); TLS slot %lu -> %lu, handles %lu "
                "-> %lu\n",
                static_cast<unsigned long>(perCycle), static_cast<unsigned long>(baseline),
                static_cast<unsigned long>(before.tls), static_cast<unsigned long>(after.tls),
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles));
    EXPECT_EQ(before.tls, after.tls) << "TLS slots left behind";
    EXPECT_LE(after.handles, before.handles + 4) << "handles left behind";
    EXPECT_LE(perCycle, baseline + kMarginPerCycle) << "memory of its own left behind";
}

} // namespace
