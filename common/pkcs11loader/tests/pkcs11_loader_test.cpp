// Binding the PKCS#11 library: the system directory only, each failing step
// with its result and Windows error, a retry after a failure, and threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "pkcs11_loader.h"

using vel::Pkcs11Loader;
using vel::Pkcs11LoadStep;

namespace {

std::string SystemDirectory()
{
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    return std::string(dir, n) + "\\";
}

std::string ProgramDirectory()
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1);
}

// A file name of this process's own, so parallel runs do not meet.
std::string PrivateName(const char *tag)
{
    return "vel3_" + std::string(tag) + "_" + std::to_string(GetCurrentProcessId()) + ".dll";
}

TEST(Pkcs11Loader, BindsTheCardLibraryFromTheSystemDirectory)
{
    Pkcs11Loader &loader = vel::ThePkcs11Loader();
    CK_C_GetFunctionList entry = nullptr;
    Pkcs11LoadStep step = Pkcs11LoadStep::GetProcAddress;
    unsigned long error = 1;
    ASSERT_EQ(loader.Load(&entry, &step, &error), vel::PKCS11_LOADED);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(step, Pkcs11LoadStep::None);
    EXPECT_EQ(error, 0u);
    EXPECT_NE(GetModuleHandleA(vel::kPkcs11LibraryName), nullptr);

    CK_FUNCTION_LIST *functions = nullptr;
    ASSERT_EQ(loader.Bind(&functions), CKR_OK);
    ASSERT_NE(functions, nullptr);
    EXPECT_EQ(functions->version.major, 2);
    EXPECT_NE(functions->C_Initialize, nullptr);

    // Kept: the same entry point without loading again.
    CK_C_GetFunctionList again = nullptr;
    EXPECT_EQ(loader.Load(&again, nullptr, nullptr), vel::PKCS11_LOADED);
    EXPECT_EQ(again, entry);
    EXPECT_EQ(loader.Bind(nullptr), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
}

TEST(Pkcs11Loader, EachFailingStepGivesItsResultAndError)
{
    struct Case {
        const char *what;
        const char *file;
        Pkcs11LoadStep step;
        unsigned long error;
    };
    const Case cases[] = {
        {"no such library", "vel3_nowhere_to_be_found.dll", Pkcs11LoadStep::LoadLibrary, ERROR_MOD_NOT_FOUND},
        {"a library without the entry point", "kernel32.dll", Pkcs11LoadStep::GetProcAddress,
         ERROR_PROC_NOT_FOUND},
        {"no file name", nullptr, Pkcs11LoadStep::LoadLibrary, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Pkcs11Loader loader(c.file);
        CK_C_GetFunctionList entry = reinterpret_cast<CK_C_GetFunctionList>(1);
        Pkcs11LoadStep step = Pkcs11LoadStep::None;
        unsigned long error = 0;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(loader.Load(&entry, &step, &error), vel::PKCS11_LOAD_FAILED);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(entry, nullptr);
        EXPECT_EQ(step, c.step);
        EXPECT_EQ(error, c.error);

        CK_FUNCTION_LIST *functions = reinterpret_cast<CK_FUNCTION_LIST *>(1);
        EXPECT_EQ(loader.Bind(&functions), static_cast<CK_RV>(CKR_FUNCTION_FAILED));
        EXPECT_EQ(functions, nullptr);
    }
}

// A copy beside the program is never taken; once the library is in the
// system directory the next call finds it.
TEST(Pkcs11Loader, OnlyTheSystemDirectoryAndARetryAfterFailure)
{
    HMODULE card = GetModuleHandleA(vel::kPkcs11LibraryName);
    if (!card)
        card = LoadLibraryExA(vel::kPkcs11LibraryName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(card, nullptr);
    char cardPath[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(card, cardPath, sizeof cardPath), 0u);

    // The card's library stays loaded until its process ends: the system
    // directory's copies of earlier runs could only go once they had ended.
    WIN32_FIND_DATAA found;
    HANDLE earlier = FindFirstFileA((SystemDirectory() + "vel3_loader_*.dll").c_str(), &found);
    if (earlier != INVALID_HANDLE_VALUE) {
        do
            DeleteFileA((SystemDirectory() + found.cFileName).c_str());
        while (FindNextFileA(earlier, &found));
        FindClose(earlier);
    }
    const std::string name = PrivateName("loader");
    const std::string beside = ProgramDirectory() + name;
    const std::string inSystem = SystemDirectory() + name;
    ASSERT_TRUE(CopyFileA(cardPath, beside.c_str(), FALSE));

    Pkcs11Loader loader(name.c_str());
    Pkcs11LoadStep step = Pkcs11LoadStep::None;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(loader.Load(nullptr, &step, nullptr), vel::PKCS11_LOAD_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(step, Pkcs11LoadStep::LoadLibrary);

    ASSERT_TRUE(CopyFileA(cardPath, inSystem.c_str(), FALSE));
    CK_FUNCTION_LIST *functions = nullptr;
    EXPECT_EQ(loader.Bind(&functions), CKR_OK);
    EXPECT_NE(functions, nullptr);
    HMODULE loaded = GetModuleHandleA(name.c_str());
    ASSERT_NE(loaded, nullptr);
    char loadedPath[MAX_PATH];
    GetModuleFileNameA(loaded, loadedPath, sizeof loadedPath);
    EXPECT_EQ(lstrcmpiA(loadedPath, inSystem.c_str()), 0) << loadedPath;

    FreeLibrary(loaded); // the loader's reference
    DeleteFileA(beside.c_str());
    DeleteFileA(inSystem.c_str()); // in vain while this process lives: the next run removes it
}

TEST(Pkcs11LoaderThreads, OneEntryPointForEveryThread)
{
    Pkcs11Loader loader;
    std::vector<CK_C_GetFunctionList> seen(8, nullptr);
    std::vector<unsigned long> results(8, 99);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { results[i] = loader.Load(&seen[i], nullptr, nullptr); });
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(results[i], vel::PKCS11_LOADED);
        EXPECT_EQ(seen[i], seen[0]);
    }
    EXPECT_NE(seen[0], nullptr);
}

} // namespace
