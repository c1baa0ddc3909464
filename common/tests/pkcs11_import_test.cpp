// A program linked against the card's library through its import library:
// Windows loads the library from the system directory at start, and the
// imported entry points are called with the library's own convention.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "pkcs11.h"
#include "pkcs11_loader.h"

namespace {

using vel::kPkcs11LibraryName;

TEST(Pkcs11Import, ImportedEntryPointsReachTheSystemLibrary)
{
    // A state file of our own: the library reads the variable at C_Initialize.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char state[MAX_PATH + 64];
    std::snprintf(state, sizeof state, "%simport-%lu.state", temp, GetCurrentProcessId());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", state);

    HMODULE module = GetModuleHandleA(kPkcs11LibraryName);
    ASSERT_NE(module, nullptr) << "not loaded at start";
    char path[MAX_PATH], system[MAX_PATH];
    GetModuleFileNameA(module, path, sizeof path);
    UINT n = GetSystemDirectoryA(system, sizeof system);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path, static_cast<int>(n), system,
                             static_cast<int>(n)),
              CSTR_EQUAL)
        << path;

    CK_FUNCTION_LIST *imported = nullptr;
    ASSERT_EQ(C_GetFunctionList(&imported), CKR_OK);
    auto byName = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "C_GetFunctionList")));
    ASSERT_NE(byName, nullptr);
    CK_FUNCTION_LIST *looked = nullptr;
    ASSERT_EQ(byName(&looked), CKR_OK);
    EXPECT_EQ(imported, looked);

    // Several arguments each way: a convention mismatch would unbalance the stack.
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_INFO info{};
    EXPECT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_GE(count, 1u);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, nullptr), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    DeleteFileA(state);
    DeleteFileA((std::string(state) + ".log").c_str());
}

} // namespace
