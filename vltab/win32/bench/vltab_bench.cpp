// Benchmark of the dictionary library (a program that prints numbers, not a
// test): the first call of a fresh load of the library (a copy of its own:
// see FreshCopy), with the file in place and with the built-in copy; one
// LectureLibelle lookup in the largest table; the memory the loaded
// dictionary holds; and, as the floor for a checked load, SHA-1 over the
// same bytes.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builtin.h"
#include "dictionary.h"
#include "dictionary_path.h"
#include "sha.h"
#include "vltab.h"

namespace {

#ifdef _WIN64
const char kLibrary[] = "VLTABW64.dll";
#else
const char kLibrary[] = "VLTABW32.dll";
#endif

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Times {
    std::vector<double> seconds;
    double Median()
    {
        std::sort(seconds.begin(), seconds.end());
        return seconds[seconds.size() / 2];
    }
    double Least() { return *std::min_element(seconds.begin(), seconds.end()); }
};

std::string CoffreFile()
{
    char base[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base);
    std::string folder = std::string(base) + "\\hestalink";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\vel";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\coffre";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\DICO-FR.QUV";
}

// A copy of the library of its own, beside this program: the library stays
// loaded from its first load with the tables it read then, so a fresh load
// is that of another file, as in a new process. The first call removes the
// copies of earlier runs.
std::string FreshCopy(int n)
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string folder = exe;
    folder = folder.substr(0, folder.rfind('\\') + 1) + "vltab-bench-copies";
    if (n == 1) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (found.cFileName[0] == '.')
                    continue; // itself and its parent
                const std::string old = folder + "\\" + found.cFileName;
                DeleteFileA((old + "\\" + kLibrary).c_str());
                RemoveDirectoryA(old.c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
    }
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\" + std::to_string(n);
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string copy = folder + "\\" + kLibrary;
    CopyFileA(kLibrary, copy.c_str(), FALSE);
    return copy;
}

// Time of the first call after each fresh load of the library.
Times FirstCalls(int rounds, unsigned short &status)
{
    static int copies = 0;
    Times t;
    for (int i = 0; i < rounds; ++i) {
        HMODULE lib = LoadLibraryA(FreshCopy(++copies).c_str());
        auto version = reinterpret_cast<PFN_QUVTAB_VersionTables>(
            reinterpret_cast<void (*)()>(GetProcAddress(lib, "QUVTAB_VersionTables")));
        char v[VLTAB_TEXT_SIZE], c[VLTAB_TEXT_SIZE];
        unsigned short count = 0;
        const double start = Now();
        version(&status, v, c, &count);
        t.seconds.push_back(Now() - start);
        FreeLibrary(lib);
    }
    return t;
}

} // namespace

int main()
{
    const int rounds = 200;
    const int freshLoads = 50; // each a copy that stays loaded: address space
    const std::string file = CoffreFile();
    std::printf("dictionary library benchmark, %s, %zu-byte dictionary\n", kLibrary,
                vltab::kBuiltinDictionarySize);

    // First call with the file (open, read, parse, SHA-1 check).
    HANDLE f = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, vltab::kBuiltinDictionaryText, static_cast<DWORD>(vltab::kBuiltinDictionarySize), &written,
              nullptr);
    CloseHandle(f);
    unsigned short status = 0xFFFF;
    Times withFile = FirstCalls(freshLoads, status);
    std::printf("first call, file loaded and checked (status %u): median %.1f us, least %.1f us\n", status,
                withFile.Median() * 1e6, withFile.Least() * 1e6);

    // First call with no file: the built-in copy, no check.
    DeleteFileA(file.c_str());
    Times builtin = FirstCalls(freshLoads, status);
    std::printf("first call, no file, built-in copy (status %u): median %.1f us, least %.1f us\n", status,
                builtin.Median() * 1e6, builtin.Least() * 1e6);

    // The parse alone, in this process, for comparison.
    Times parse;
    for (int i = 0; i < rounds; ++i) {
        vltab::Dictionary d;
        const double start = Now();
        d.Parse(vltab::kBuiltinDictionaryText, vltab::kBuiltinDictionarySize, vltab::Source::File);
        parse.seconds.push_back(Now() - start);
    }
    std::printf("parse and check of the same bytes in memory: median %.1f us\n", parse.Median() * 1e6);
    Times parseBuiltin;
    for (int i = 0; i < rounds; ++i) {
        vltab::Dictionary d;
        const double start = Now();
        d.Parse(vltab::kBuiltinDictionaryText, vltab::kBuiltinDictionarySize, vltab::Source::Builtin);
        parseBuiltin.seconds.push_back(Now() - start);
    }
    std::printf("parse of the built-in copy (no check): median %.1f us\n", parseBuiltin.Median() * 1e6);
    Times path;
    for (int i = 0; i < rounds; ++i) {
        const double start = Now();
        const std::string where = vltab::GetDictionaryPath();
        path.seconds.push_back(Now() - start);
    }
    std::printf("path routine alone (shell32 loaded and freed, folder searches): median %.1f us\n",
                path.Median() * 1e6);

    // SHA-1 of the same bytes: the floor of any checked load.
    Times sha;
    uint8_t digest[vel::Sha1::kDigestSize];
    for (int i = 0; i < rounds; ++i) {
        const double start = Now();
        vel::Sha1::digest(vltab::kBuiltinDictionaryText, vltab::kBuiltinDictionarySize, digest);
        sha.seconds.push_back(Now() - start);
    }
    std::printf("SHA-1 of the same %zu bytes: median %.1f us\n", vltab::kBuiltinDictionarySize,
                sha.Median() * 1e6);

    // Lookups in the largest table (G00, 136 records): every key in turn, so
    // that the average covers every position; the last key is the worst case.
    HMODULE lib = LoadLibraryA(kLibrary);
    auto lookup = reinterpret_cast<PFN_QUVTAB_LectureLibelle>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "QUVTAB_LectureLibelle")));
    auto byPosition = reinterpret_cast<PFN_QUVTAB_LectureEnregistrement>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "QUVTAB_LectureEnregistrement")));
    std::vector<std::string> keys;
    for (unsigned short n = 1;; ++n) {
        char table[VLTAB_TEXT_SIZE] = "G00", k1[VLTAB_TEXT_SIZE], k2[VLTAB_TEXT_SIZE], k3[VLTAB_TEXT_SIZE],
             label[VLTAB_TEXT_SIZE];
        unsigned short length = 0;
        if (byPosition(&status, table, n, k1, k2, k3, &length, label) != 0)
            break;
        keys.push_back(k1);
    }
    const int passes = 2000;
    auto timeLookups = [&](size_t first, size_t last) {
        char table[VLTAB_TEXT_SIZE], k1[VLTAB_TEXT_SIZE], k2[VLTAB_TEXT_SIZE] = "", k3[VLTAB_TEXT_SIZE] = "",
                                                          label[VLTAB_TEXT_SIZE];
        unsigned short length = 0;
        const double start = Now();
        for (int p = 0; p < passes; ++p)
            for (size_t i = first; i < last; ++i) {
                std::strcpy(table, "G00");
                std::strcpy(k1, keys[i].c_str());
                lookup(&status, table, k1, k2, k3, &length, label);
            }
        return (Now() - start) / (passes * (last - first));
    };
    std::printf(
        "LectureLibelle in G00 (%zu records): %.0f ns a lookup on average, %.0f ns for the last record\n",
        keys.size(), timeLookups(0, keys.size()) * 1e9, timeLookups(keys.size() - 1, keys.size()) * 1e9);
    FreeLibrary(lib);

    vltab::Dictionary d;
    d.Parse(vltab::kBuiltinDictionaryText, vltab::kBuiltinDictionarySize, vltab::Source::Builtin);
    std::printf("memory held once loaded: %zu bytes (line blocks, record chunks, table array)\n",
                d.BytesHeld());
    return 0;
}
