// The libraries that outside processes load (the dictionary, the provider,
// and the software card standing for the card's library), each loaded, used
// and freed 1,200 times in one process, as a host that loads a library around
// each use does: the process lives, and holds the TLS slots and handles it
// held before. A TLS slot or a handle left at each load would end the
// process once the system's slots (about 1,088) ran out.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pkcs11.h"
#include "process_counters.h"
#include "vltab.h"

namespace {

const int kLoads = 1200;
// Counted again every so often: a slot a load is seen long before the last.
const int kCheckEvery = 100;
const DWORD kSlack = 2;
// A load that left no memory leaves at most heap rounding over all loads.
const SIZE_T kMemorySlack = 256 * 1024;

std::string WindowsPath(const char *path)
{
    std::string p = path;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// One caller's use of an export of the loaded library; false when it went wrong.
using Use = bool (*)(FARPROC entry);

bool LookUpALabel(FARPROC entry)
{
    auto lookup = reinterpret_cast<PFN_QUVTAB_LectureLibelle>(reinterpret_cast<void (*)()>(entry));
    char table[VLTAB_TEXT_SIZE] = "G03", key1[VLTAB_TEXT_SIZE] = "31", key2[VLTAB_TEXT_SIZE] = "",
         key3[VLTAB_TEXT_SIZE] = "", label[VLTAB_TEXT_SIZE] = "";
    unsigned short status = 0, length = 0;
    return lookup(&status, table, key1, key2, key3, &length, label) == 0 &&
           std::strcmp(label, "Monsieur") == 0;
}

// As regsvr32 or a tool listing providers does: the provider found, never acquired.
bool OnlyLookedUp(FARPROC entry)
{
    return entry != nullptr;
}

bool TakeTheFunctionList(FARPROC entry)
{
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(reinterpret_cast<void (*)()>(entry));
    CK_FUNCTION_LIST *list = nullptr;
    return getList(&list) == CKR_OK && list != nullptr;
}

struct Library {
    const char *what;
    const char *path;
    const char *entry;
    Use use;
};

const Library kLibraries[] = {
    {"the dictionary", VLTAB_DLL_PATH, "QUVTAB_LectureLibelle", LookUpALabel},
    {"the provider, without an acquire", CSP_DLL_PATH, "CPAcquireContext", OnlyLookedUp},
    {"the software card", SOFTCARD_DLL_PATH, "C_GetFunctionList", TakeTheFunctionList},
};

struct Counters {
    DWORD freeTls, handles;
    SIZE_T bytes;
};

Counters Now()
{
    return {vel_test::FreeTlsSlots(), vel_test::OpenHandles(), vel_test::PrivateBytes()};
}

bool LoadUseFree(const std::string &path, const Library &library)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module)
        return false;
    FARPROC entry = GetProcAddress(module, library.entry);
    const bool ok = entry && library.use(entry);
    FreeLibrary(module);
    return ok;
}

TEST(LibraryLoadFree, EachLoadAndFreeGivesBackItsSlotsAndHandles)
{
    for (const Library &library : kLibraries) {
        SCOPED_TRACE(library.what);
        const std::string path = WindowsPath(library.path);
        // The process's own first-use costs (the libraries it imports, once).
        ASSERT_TRUE(LoadUseFree(path, library)) << path << ": " << GetLastError();
        const Counters before = Now();
        int done = 0;
        while (done < kLoads) {
            ASSERT_TRUE(LoadUseFree(path, library)) << "load " << done + 1 << ": " << GetLastError();
            // Stopped at the first sign, long before the slots run out.
            if (++done % kCheckEvery == 0 && vel_test::FreeTlsSlots() + kSlack < before.freeTls)
                break;
        }
        const Counters now = Now();
        const long long grown = static_cast<long long>(now.bytes) - static_cast<long long>(before.bytes);
        std::printf("%s, %d loads: free TLS slots %lu -> %lu, handles %lu -> %lu, private memory %+lld bytes "
                    "(%+lld a load)\n",
                    library.what, done, static_cast<unsigned long>(before.freeTls),
                    static_cast<unsigned long>(now.freeTls), static_cast<unsigned long>(before.handles),
                    static_cast<unsigned long>(now.handles), grown, grown / done);
        EXPECT_EQ(done, kLoads) << "stopped: slots or handles left at each load";
        EXPECT_GE(now.freeTls + kSlack, before.freeTls) << "TLS slots left behind";
        EXPECT_LE(now.handles, before.handles + kSlack) << "handles left behind";
        EXPECT_LE(grown, static_cast<long long>(kMemorySlack)) << "memory left behind";
    }
}

} // namespace
