// The software card loaded, used and freed a thousand times, as advapi32
// loads and frees a provider that links it: TLS slots and handles stay where
// they were, and memory grows by no more than a do-nothing C++ DLL built the
// same way leaves behind at each load. Both stay loaded from their first load
// (unloaded, the static runtime would leave memory at each load, and on x86 a
// TLS slot and two handles too), so after the first cycle each is the card's
// own initialise and finalise. Every fourth cycle two threads also wait their
// turn inside the library.
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

struct Counters {
    DWORD freeTls, handles;
    SIZE_T bytes;
};

Counters Now()
{
    return {vel_test::FreeTlsSlots(), vel_test::OpenHandles(), vel_test::PrivateBytes()};
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

// What loads and frees of the do-nothing C++ DLL leave behind, a load.
struct Baseline {
    bool loaded;
    DWORD tlsTaken, handlesKept;
    SIZE_T bytesPerLoad;
};

bool LoadAndFree(const std::string &path)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module)
        return false;
    auto length = reinterpret_cast<int (*)(const char *)>(
        reinterpret_cast<void *>(GetProcAddress(module, "BaselineLength")));
    if (length)
        length("x");
    FreeLibrary(module);
    return true;
}

Baseline BaselinePerLoad(const std::string &path, int loads)
{
    if (!LoadAndFree(path)) // its start-up costs, once
        return {false, 0, 0, 0};
    const Counters before = Now();
    for (int i = 0; i < loads; ++i)
        if (!LoadAndFree(path))
            return {false, 0, 0, 0};
    const Counters after = Now();
    return {true, before.freeTls > after.freeTls ? before.freeTls - after.freeTls : 0,
            after.handles > before.handles ? after.handles - before.handles : 0,
            after.bytes > before.bytes ? (after.bytes - before.bytes) / loads : 0};
}

TEST(SoftcardChurn, LoadInitialiseFinaliseFreeLeavesNothingOfItsOwn)
{
    softcard_test::usePrivateState("churn");
    // Every card call takes a moment: the second thread of a cycle waits its turn.
    ASSERT_EQ(softcard_test::control("latency 1"), 0);
    const std::string library = softcard_test::beside(SOFTCARD_LIBRARY_NAME);
    // The model itself, on either width: a DLL built as the card is leaves no
    // TLS slot and no handle at each load, whatever its runtime takes once.
    const Baseline baseline = BaselinePerLoad(softcard_test::beside(BASELINE_DLL_NAME), 200);
    ASSERT_TRUE(baseline.loaded);
    EXPECT_EQ(baseline.tlsTaken, 0u) << "a do-nothing DLL left TLS slots at its loads";
    EXPECT_LE(baseline.handlesKept, 2u) << "a do-nothing DLL left handles at its loads";
    ASSERT_TRUE(Cycle(library, true)); // the process's own first-use costs
    const Counters before = Now();
    int cycles = 0;
    while (cycles < kCycles) {
        ASSERT_TRUE(Cycle(library, cycles % 4 == 0)) << "cycle " << cycles;
        // Stopped at the first sign, long before the process runs out of slots.
        if (++cycles % 100 == 0 && vel_test::FreeTlsSlots() + 2 < before.freeTls)
            break;
    }
    EXPECT_EQ(cycles, kCycles) << "stopped: TLS slots left at each cycle";
    const Counters after = Now();
    const SIZE_T perCycle = after.bytes > before.bytes ? (after.bytes - before.bytes) / cycles : 0;
    std::printf(
        "per cycle: %lu bytes (a do-nothing C++ DLL: %lu per load, %lu TLS slots and %lu handles over "
        "its loads); free TLS slots %lu -> %lu, handles %lu -> %lu\n",
        static_cast<unsigned long>(perCycle), static_cast<unsigned long>(baseline.bytesPerLoad),
        static_cast<unsigned long>(baseline.tlsTaken), static_cast<unsigned long>(baseline.handlesKept),
        static_cast<unsigned long>(before.freeTls), static_cast<unsigned long>(after.freeTls),
        static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles));
    EXPECT_EQ(before.freeTls, after.freeTls) << "TLS slots left behind";
    EXPECT_LE(after.handles, before.handles + 4) << "handles left behind";
    EXPECT_LE(perCycle, baseline.bytesPerLoad + kMarginPerCycle) << "memory of its own left behind";
}

} // namespace
