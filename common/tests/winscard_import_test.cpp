// A program linked against winscard.dll through our import library: Windows
// loads the library from the system directory at start (under Wine, the PC/SC
// stand-in copied there), and the imported entry points and data are reached
// with the library's own convention and names.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scard_api.h"

namespace {

TEST(WinscardImport, ImportedEntryPointsAndDataReachTheSystemLibrary)
{
    // A card state of our own (absent: the default card): read at the first call.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char state[MAX_PATH + 64];
    std::snprintf(state, sizeof state, "%swinscard-import-%lu.state", temp, GetCurrentProcessId());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", state);

    HMODULE module = GetModuleHandleA("winscard.dll");
    ASSERT_NE(module, nullptr) << "not loaded at start";
    char path[MAX_PATH], system[MAX_PATH];
    GetModuleFileNameA(module, path, sizeof path);
    UINT n = GetSystemDirectoryA(system, sizeof system);
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path, static_cast<int>(n), system,
                             static_cast<int>(n)),
              CSTR_EQUAL)
        << path;

    // Exported data: the address imported is the library's own.
    EXPECT_EQ(static_cast<const void *>(&g_rgSCardT0Pci),
              reinterpret_cast<const void *>(GetProcAddress(module, "g_rgSCardT0Pci")));
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0), g_rgSCardT0Pci.dwProtocol);

    // Several arguments each way: a convention mismatch would unbalance the stack.
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context));
    EXPECT_EQ(SCARD_S_SUCCESS, SCardIsValidContext(context));
    DWORD size = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardListReadersA(context, nullptr, nullptr, &size));
    std::vector<char> readers(size + 1);
    ASSERT_EQ(SCARD_S_SUCCESS, SCardListReadersA(context, nullptr, readers.data(), &size));
    EXPECT_STREQ("Lecteur Ovrane VEL 0", readers.data());
    EXPECT_EQ(SCARD_S_SUCCESS, SCardReleaseContext(context));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, SCardIsValidContext(context));

    DeleteFileA(state);
    DeleteFileA((std::string(state) + ".pcsc").c_str());
}

} // namespace
