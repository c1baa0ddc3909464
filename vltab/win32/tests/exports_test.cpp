// The dictionary library as an outside application uses it: loaded with
// LoadLibrary, its exports taken with GetProcAddress by name and by ordinal.
// The library stays loaded from its first load until the process ends, with
// the tables it read then; so every scenario after a process's first loads a
// copy of its own (another file: another library for the system), as a new
// process would load it, after putting DICO-FR.QUV, or nothing, where it
// looks.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "builtin.h"
#include "builtin_shape.h"
#include "dictionary_text.h"
#include "vltab.h"

using vltab_test::Listing;
using vltab_test::Record;
using vltab_test::WithChecksum;

namespace {

#ifdef _WIN64
const char kLibrary[] = "VLTABW64.dll";
#else
const char kLibrary[] = "VLTABW32.dll";
#endif
const char kBuiltinVersion[] = "Version : 01.07 - 06/11/2001";
const unsigned short kUnwritten = 0xBEEF;

std::string BuiltinText()
{
    return std::string(reinterpret_cast<const char *>(vltab::kBuiltinDictionaryText),
                       vltab::kBuiltinDictionarySize);
}

// Where the library looks for its file.
struct Places {
    std::string coffre; // the data folder's coffre subfolder
    std::string inCoffre;
    std::string inWindows; // used when there is no coffre folder
};

const Places &Where()
{
    static const Places places = [] {
        char base[MAX_PATH] = "";
        EXPECT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base));
        char windows[MAX_PATH] = "";
        GetEnvironmentVariableA("WINDIR", windows, sizeof windows);
        Places p;
        p.coffre = std::string(base) + "\\hestalink\\vel\\coffre";
        p.inCoffre = p.coffre + "\\DICO-FR.QUV";
        p.inWindows = std::string(windows) + "\\DICO-FR.QUV";
        return p;
    }();
    return places;
}

void Put(const std::string &path, const std::string &bytes)
{
    HANDLE f =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f) << path;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(bytes.size(), written);
    CloseHandle(f);
}

std::string ProgramFolder()
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string folder = exe;
    return folder.substr(0, folder.rfind('\\') + 1);
}

void RemoveFolderTree(const std::string &folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveFolderTree(folder + "\\" + name);
            else
                DeleteFileA((folder + "\\" + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

// The library to load for a scenario: the first of the process loads it by
// name as applications find it; each later one a copy of its own, in a folder
// of this process beside the program (those of earlier runs are removed first).
std::string LibraryForAScenario()
{
    static int loads = 0;
    if (loads++ == 0)
        return kLibrary;
    const std::string copies = ProgramFolder() + "vltab-copies";
    const std::string mine = copies + "\\" + std::to_string(GetCurrentProcessId());
    if (loads == 2) {
        RemoveFolderTree(copies);
        CreateDirectoryA(copies.c_str(), nullptr);
        CreateDirectoryA(mine.c_str(), nullptr);
    }
    const std::string folder = mine + "\\" + std::to_string(loads);
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string copy = folder + "\\" + kLibrary;
    EXPECT_TRUE(CopyFileA((ProgramFolder() + kLibrary).c_str(), copy.c_str(), FALSE)) << copy;
    return copy;
}

// One library of its own, as loaded by a new process, with its five exports
// taken by name.
struct Library {
    HMODULE module = nullptr;
    PFN_QUVTAB_VersionTables VersionTables = nullptr;
    PFN_QUVTAB_InfosSurTable InfosSurTable = nullptr;
    PFN_QUVTAB_LectureLibelle LectureLibelle = nullptr;
    PFN_QUVTAB_LectureEnregistrement LectureEnregistrement = nullptr;
    PFN_QUVTAB_ISO8859EnEditable ISO8859EnEditable = nullptr;

    Library() : Library(LibraryForAScenario()) {}
    explicit Library(const std::string &file)
    {
        module = LoadLibraryA(file.c_str());
        EXPECT_NE(nullptr, module) << file << ": " << GetLastError();
        Take(VersionTables, "QUVTAB_VersionTables");
        Take(InfosSurTable, "QUVTAB_InfosSurTable");
        Take(LectureLibelle, "QUVTAB_LectureLibelle");
        Take(LectureEnregistrement, "QUVTAB_LectureEnregistrement");
        Take(ISO8859EnEditable, "QUVTAB_ISO8859EnEditable");
    }
    ~Library()
    {
        if (module)
            FreeLibrary(module);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    template <class F> void Take(F &f, const char *name)
    {
        f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
        ASSERT_NE(nullptr, f) << name;
    }

    // The label for the keys, or "<result>" when the lookup fails.
    std::string Label(const char *table, const char *key1, const char *key2 = "", const char *key3 = "",
                      unsigned short *status = nullptr)
    {
        char t[VLTAB_TEXT_SIZE], k1[VLTAB_TEXT_SIZE], k2[VLTAB_TEXT_SIZE], k3[VLTAB_TEXT_SIZE];
        std::strcpy(t, table);
        std::strcpy(k1, key1);
        std::strcpy(k2, key2);
        std::strcpy(k3, key3);
        char label[VLTAB_TEXT_SIZE] = "garbage";
        unsigned short length = kUnwritten, st = kUnwritten;
        const unsigned short rc = LectureLibelle(status ? status : &st, t, k1, k2, k3, &length, label);
        if (rc != 0) {
            EXPECT_STREQ("", label);
            EXPECT_EQ(0, length);
            return "<" + std::to_string(rc) + ">";
        }
        EXPECT_EQ(std::strlen(label), length);
        return label;
    }

    unsigned short LoadStatus()
    {
        unsigned short status = kUnwritten, count = 0;
        char version[VLTAB_TEXT_SIZE], checksum[VLTAB_TEXT_SIZE];
        EXPECT_EQ(0, VersionTables(&status, version, checksum, &count));
        return status;
    }
};

// Every test starts with no dictionary file anywhere and the coffre folder
// present, and leaves no file behind.
class Dictionary : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveFiles();
        size_t from = 0;
        const std::string &coffre = Where().coffre;
        while ((from = coffre.find('\\', from + 1)) != std::string::npos)
            CreateDirectoryA(coffre.substr(0, from).c_str(), nullptr);
        CreateDirectoryA(coffre.c_str(), nullptr);
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(coffre.c_str()));
    }
    void TearDown() override
    {
        RemoveFiles();
        CreateDirectoryA(Where().coffre.c_str(), nullptr);
    }
    static void RemoveFiles()
    {
        for (const std::string &f : {Where().inCoffre, Where().inWindows}) {
            SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(f.c_str());
            RemoveDirectoryA(f.c_str());
        }
    }
};

// ---------------------------------------------------------------------------
// The interface itself

struct ExportName {
    const char *name;
    unsigned ordinal;
    unsigned argumentBytes; // x86: what the callee removes from the stack
};
const ExportName kExports[] = {
    {"QUVTAB_VersionTables", 1, 16},     {"QUVTAB_InfosSurTable", 2, 24},
    {"QUVTAB_LectureLibelle", 3, 28},    {"QUVTAB_LectureEnregistrement", 4, 32},
    {"QUVTAB_ISO8859EnEditable", 5, 12},
};

TEST_F(Dictionary, ExportsByNameAndByOrdinal)
{
    Library lib;
    for (const ExportName &e : kExports) {
        FARPROC byName = GetProcAddress(lib.module, e.name);
        EXPECT_NE(nullptr, byName) << e.name;
        EXPECT_EQ(byName, GetProcAddress(lib.module, MAKEINTRESOURCEA(e.ordinal))) << e.name;
        // Undecorated only, in both builds.
        const std::string decorated = std::string(e.name) + "@" + std::to_string(e.argumentBytes);
        EXPECT_EQ(nullptr, GetProcAddress(lib.module, decorated.c_str())) << decorated;
        EXPECT_EQ(nullptr, GetProcAddress(lib.module, ("_" + decorated).c_str())) << decorated;
    }
    EXPECT_EQ(nullptr, GetProcAddress(lib.module, MAKEINTRESOURCEA(6)));
}

TEST_F(Dictionary, CarriesItsVersionResource)
{
    char path[MAX_PATH];
    Library lib;
    ASSERT_NE(0u, GetModuleFileNameA(lib.module, path, sizeof path));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_NE(0u, size);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    char *name = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040C04E4\\OriginalFilename",
                               reinterpret_cast<void **>(&name), &length));
    EXPECT_STREQ(kLibrary, name);
}

#if defined(__i386__)
// Calls fn with n 32-bit arguments pushed right to left, as an x86 caller of
// a stdcall function does, and gives how far ESP moved across the call: 0
// when the callee removed its own arguments, -4n when it left them.
uint32_t CallPushingArguments(FARPROC fn, const uint32_t *args, uint32_t n, int32_t *espMoved)
{
    uint32_t result;
    int32_t moved;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "1:\n\t"
                     "testl %%ecx, %%ecx\n\t"
                     "jz 2f\n\t"
                     "pushl -4(%%edi,%%ecx,4)\n\t"
                     "decl %%ecx\n\t"
                     "jmp 1b\n\t"
                     "2:\n\t"
                     "call *%%ebx\n\t"
                     "movl %%esp, %%edx\n\t"
                     "subl %%esi, %%edx\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(result), "=d"(moved), "+c"(n)
                     : "b"(fn), "D"(args)
                     : "esi", "memory", "cc");
    *espMoved = moved;
    return result & 0xFFFF;
}

uint32_t Arg(const void *p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

TEST_F(Dictionary, X86ExportsRemoveTheirOwnArguments)
{
    Library lib;
    unsigned short status = 0, count = 0, length = 0, largest = 0;
    char a[VLTAB_TEXT_SIZE] = "", b[VLTAB_TEXT_SIZE] = "", c[VLTAB_TEXT_SIZE] = "", d[VLTAB_TEXT_SIZE] = "";
    char table[VLTAB_TEXT_SIZE] = "G03", label[VLTAB_TEXT_SIZE] = "";
    unsigned char bytes[4] = {0xD9, 'a', 0, 0};
    struct Call {
        const char *name;
        std::vector<uint32_t> args;
        uint32_t result;
    };
    std::strcpy(a, "31");
    const Call calls[] = {
        {"QUVTAB_VersionTables", {Arg(&status), Arg(b), Arg(c), Arg(&count)}, 0},
        {"QUVTAB_InfosSurTable", {Arg(&status), Arg(table), Arg(b), Arg(c), Arg(&count), Arg(&largest)}, 0},
        {"QUVTAB_LectureLibelle",
         {Arg(&status), Arg(table), Arg(a), Arg(c), Arg(d), Arg(&length), Arg(label)},
         0},
        {"QUVTAB_LectureEnregistrement",
         {Arg(&status), Arg(table), 0xFFFF0001u, Arg(b), Arg(c), Arg(d), Arg(&length), Arg(label)},
         0},
        {"QUVTAB_ISO8859EnEditable", {Arg(bytes), 2, Arg(bytes)}, 0},
        // The argument checks return early: the stack must be just as clean.
        {"QUVTAB_LectureLibelle", {0, 0, 0, 0, 0, 0, 0}, 15},
        {"QUVTAB_ISO8859EnEditable", {0, 0, 0}, 255},
    };
    for (const Call &call : calls) {
        int32_t moved = 1;
        const uint32_t rc = CallPushingArguments(GetProcAddress(lib.module, call.name), call.args.data(),
                                                 static_cast<uint32_t>(call.args.size()), &moved);
        EXPECT_EQ(call.result, rc) << call.name;
        EXPECT_EQ(0, moved) << call.name;
    }
    EXPECT_STREQ("Abbé", label); // record 1 of G03: only the low 16 bits of the number count
}
#else
TEST_F(Dictionary, X86ExportsRemoveTheirOwnArguments)
{
    GTEST_SKIP() << "x86-64 has a single calling convention";
}
#endif

// ---------------------------------------------------------------------------
// The built-in copy

TEST_F(Dictionary, BuiltinCopyAnswersWhenThereIsNoFile)
{
    Library lib;
    unsigned short status = kUnwritten, count = 0;
    char version[VLTAB_TEXT_SIZE] = "", checksum[VLTAB_TEXT_SIZE] = "";
    ASSERT_EQ(0, lib.VersionTables(&status, version, checksum, &count));
    EXPECT_EQ(2, status);
    EXPECT_STREQ(kBuiltinVersion, version);
    const std::string text = BuiltinText();
    EXPECT_EQ("SHA-1 : " + vltab_test::Sha1Hex(text.substr(0, text.rfind("G999\tChecksum"))), checksum);
    EXPECT_EQ(48u, std::strlen(checksum));
    EXPECT_EQ(29, count);

    // Titles, counts and largest record sizes of every table; the size is a
    // line's stored bytes: the line without CR LF and without field 5.
    size_t start = 0;
    for (const vltab_test::TableShape &want : vltab_test::kBuiltinTables) {
        unsigned short largest = 0;
        for (unsigned i = 0; i < want.records; ++i) {
            const size_t end = text.find("\r\n", start);
            const std::string line = text.substr(start, end - start);
            size_t tab = 0;
            for (int f = 0; f < 4; ++f)
                tab = line.find('\t', tab) + 1;
            const size_t lengthField = line.find('\t', tab) - tab;
            largest =
                std::max<unsigned short>(largest, static_cast<unsigned short>(line.size() - lengthField));
            start = end + 2;
        }
        char table[VLTAB_TEXT_SIZE], title[VLTAB_TEXT_SIZE] = "", field[VLTAB_TEXT_SIZE] = "";
        std::strcpy(table, want.name);
        unsigned short records = 0, size = 0;
        EXPECT_EQ(0, lib.InfosSurTable(&status, table, title, field, &records, &size)) << want.name;
        EXPECT_STREQ(want.title, title);
        EXPECT_STREQ(want.fieldTitle, field);
        EXPECT_EQ(want.records, records) << want.name;
        EXPECT_EQ(largest, size) << want.name;
    }
}

TEST_F(Dictionary, LookupsByKeys)
{
    Library lib;
    EXPECT_EQ("Monsieur", lib.Label("G03", "31"));
    EXPECT_EQ("Zone C", lib.Label("G102", "30", "1"));
    EXPECT_EQ("Non définie", lib.Label("G102", "99", "7")); // a stored "*" takes any key2
    EXPECT_EQ("<255>", lib.Label("G102", "10", "9"));
    EXPECT_EQ("<255>", lib.Label("G102", "10", "*")); // a requested "*" is no wildcard
    EXPECT_EQ("<255>", lib.Label("G03", "3"));        // keys compare whole
    EXPECT_EQ("<12>", lib.Label("g03", "31"));        // table names are case-sensitive
    EXPECT_EQ("<12>", lib.Label("G10", "31"));
    EXPECT_EQ("<12>", lib.Label("", "31"));

    // Trailing blanks leave the caller's texts, and the lookup finds the code.
    char table[VLTAB_TEXT_SIZE] = "G102  ", key1[VLTAB_TEXT_SIZE] = "40 ", key2[VLTAB_TEXT_SIZE] = "0   ",
         key3[VLTAB_TEXT_SIZE] = " ", label[VLTAB_TEXT_SIZE];
    unsigned short status = kUnwritten, length = 0;
    EXPECT_EQ(0, lib.LectureLibelle(&status, table, key1, key2, key3, &length, label));
    EXPECT_STREQ("Zone A", label);
    EXPECT_EQ(6, length);
    EXPECT_EQ(2, status);
    EXPECT_STREQ("G102", table);
    EXPECT_STREQ("40", key1);
    EXPECT_STREQ("0", key2);
    EXPECT_STREQ("", key3);
}

TEST_F(Dictionary, RecordsByPosition)
{
    Library lib;
    struct Case {
        unsigned short number;
        unsigned short result;
        const char *key1, *key2, *label;
    };
    const Case cases[] = {
        {0, 255, "", "", ""},
        {1, 0, "40", "0", "Zone A"},
        {20, 0, "99", "*", "Non définie"}, // the last line of G102
        {21, 255, "", "", ""},
        {65535, 255, "", "", ""},
    };
    for (const Case &c : cases) {
        char table[VLTAB_TEXT_SIZE] = "G102 ", k1[VLTAB_TEXT_SIZE] = "x", k2[VLTAB_TEXT_SIZE] = "x",
             k3[VLTAB_TEXT_SIZE] = "x", label[VLTAB_TEXT_SIZE] = "x";
        unsigned short status = kUnwritten, length = kUnwritten;
        EXPECT_EQ(c.result, lib.LectureEnregistrement(&status, table, c.number, k1, k2, k3, &length, label))
            << c.number;
        EXPECT_EQ(2, status);
        EXPECT_STREQ(c.key1, k1);
        EXPECT_STREQ(c.key2, k2);
        EXPECT_STREQ(c.result ? "" : "*", k3);
        EXPECT_STREQ(c.label, label);
        EXPECT_EQ(std::strlen(c.label), length);
    }
    char table[VLTAB_TEXT_SIZE] = "NOM_TABLE", k1[VLTAB_TEXT_SIZE], k2[VLTAB_TEXT_SIZE], k3[VLTAB_TEXT_SIZE],
         label[VLTAB_TEXT_SIZE];
    unsigned short status = 0, length = 0;
    EXPECT_EQ(0, lib.LectureEnregistrement(&status, table, 29, k1, k2, k3, &length, label));
    EXPECT_STREQ("G999", k1);
    EXPECT_STREQ("Informations fichier", label);
    std::strcpy(table, "G10");
    EXPECT_EQ(12, lib.LectureEnregistrement(&status, table, 1, k1, k2, k3, &length, label));
}

// Each pointer argument left null in turn: 15, and nothing written, the load
// status included.
TEST_F(Dictionary, NullArgumentsWriteNothing)
{
    Library lib;
    for (int missing = 0; missing < 7; ++missing) {
        unsigned short st = kUnwritten, n1 = kUnwritten, n2 = kUnwritten;
        char t[VLTAB_TEXT_SIZE] = "G03 ", a[VLTAB_TEXT_SIZE] = "31 ", b[VLTAB_TEXT_SIZE] = "same",
             c[VLTAB_TEXT_SIZE] = "same", d[VLTAB_TEXT_SIZE] = "same";
        auto p = [&](int i, auto *ptr) { return i == missing ? nullptr : ptr; };
        if (missing < 4) {
            EXPECT_EQ(15, lib.VersionTables(p(0, &st), p(1, b), p(2, c), p(3, &n1)));
        }
        if (missing < 6) {
            EXPECT_EQ(15, lib.InfosSurTable(p(0, &st), p(1, t), p(2, b), p(3, c), p(4, &n1), p(5, &n2)));
        }
        if (missing < 7) {
            EXPECT_EQ(15,
                      lib.LectureLibelle(p(0, &st), p(1, t), p(2, a), p(3, b), p(4, c), p(5, &n1), p(6, d)));
            // Record number is no pointer: positions after it shift by one.
            const int m = missing;
            auto q = [&](int i, auto *ptr) { return i == m ? nullptr : ptr; };
            EXPECT_EQ(15, lib.LectureEnregistrement(q(0, &st), q(1, t), 1, q(2, b), q(3, c), q(4, d),
                                                    q(5, &n1), q(6, a)));
        }
        EXPECT_EQ(kUnwritten, st) << missing;
        EXPECT_EQ(kUnwritten, n1) << missing;
        EXPECT_EQ(kUnwritten, n2) << missing;
        EXPECT_STREQ("G03 ", t) << "trimmed before the argument check";
        EXPECT_STREQ("same", b);
        EXPECT_STREQ("same", c);
    }
}

TEST_F(Dictionary, EditableConversionOverEveryByte)
{
    Library lib;
    unsigned char source[256], target[257];
    for (int i = 0; i < 256; ++i)
        source[i] = static_cast<unsigned char>(i);
    std::memset(target, 0x55, sizeof target);
    ASSERT_EQ(0, lib.ISO8859EnEditable(source, 256, target));
    for (int i = 0; i < 256; ++i) {
        const int want = (i >= 0xD9 && i <= 0xDB) ? i + 1 : i;
        EXPECT_EQ(want, target[i]) << i;
    }
    EXPECT_EQ(0, target[256]);

    // In place.
    unsigned char same[5] = {0xD9, 0xDA, 0xDB, 'e', 0x7F};
    ASSERT_EQ(0, lib.ISO8859EnEditable(same, 4, same));
    const unsigned char wanted[5] = {0xDA, 0xDB, 0xDC, 'e', 0};
    EXPECT_EQ(0, std::memcmp(wanted, same, 5));

    EXPECT_EQ(255, lib.ISO8859EnEditable(nullptr, 0, nullptr)); // length first
    EXPECT_EQ(15, lib.ISO8859EnEditable(nullptr, 1, target));
    EXPECT_EQ(15, lib.ISO8859EnEditable(source, 1, nullptr));
    std::vector<unsigned char> big(32769, 'a');
    EXPECT_EQ(15, lib.ISO8859EnEditable(big.data(), 32768, big.data()));
    EXPECT_EQ('a', big[0]);
    EXPECT_EQ(0, lib.ISO8859EnEditable(big.data(), 32767, big.data()));
    EXPECT_EQ(0, big[32767]);
}

// ---------------------------------------------------------------------------
// The file

TEST_F(Dictionary, FileLoadStatuses)
{
    const std::string builtin = BuiltinText();
    const std::string body = builtin.substr(0, builtin.rfind("G999\tChecksum"));
    std::string changed = builtin;
    changed[changed.find("Monsieur")] = 'm'; // any line but the Checksum line
    const std::string lower = WithChecksum(body, true);
    const std::string own = Listing({"T", "G999"}) + Record("G999", "Version", "own file");
    const std::string head = "T\tk\t*\t*\t0\t";
    struct Case {
        const char *what;
        std::string file;
        unsigned short status;
    };
    const Case cases[] = {
        {"identical to the built-in copy", builtin, 0},
        {"one character changed", changed, 18},
        {"lower-case checksum digits", lower, 18},
        {"a line of 521 characters",
         WithChecksum(own + head + std::string(521 - head.size() - 2, 'x') + "\r\n"), 0},
        {"a line of 522 characters",
         WithChecksum(own + head + std::string(522 - head.size() - 2, 'x') + "\r\n"), 20},
        {"a line of five fields", WithChecksum(own + "T\tk\t*\t*\t1\r\n"), 20},
        {"a first line without table name", WithChecksum(Record("", "k", "v") + own), 20},
        {"an empty file", "", 18},
    };
    for (const Case &c : cases) {
        Put(Where().inCoffre, c.file);
        Library lib;
        unsigned short status = kUnwritten;
        // A rejected file leaves the built-in copy to answer; an accepted one answers alone.
        const char *label = (c.status == 0 && c.file != builtin) ? "<12>" : "Monsieur";
        EXPECT_EQ(label, lib.Label("G03", "31", "", "", &status)) << c.what;
        EXPECT_EQ(c.status, status) << c.what;
    }
}

TEST_F(Dictionary, FileThatCannotBeRead)
{
    // A folder where the file should be cannot be opened.
    ASSERT_TRUE(CreateDirectoryA(Where().inCoffre.c_str(), nullptr));
    {
        Library lib;
        EXPECT_EQ(2, lib.LoadStatus());
        EXPECT_EQ("Monsieur", lib.Label("G03", "31"));
    }
    RemoveDirectoryA(Where().inCoffre.c_str());

    // A file held open without sharing cannot be opened either.
    Put(Where().inCoffre, BuiltinText());
    HANDLE held = CreateFileA(Where().inCoffre.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        Library lib;
        EXPECT_EQ(2, lib.LoadStatus());
    }
    CloseHandle(held);
}

// A file that opens but whose reading fails. Wine does not refuse reads of
// locked bytes, so the test run prepares one outside Windows (a link to a
// Unix file whose read fails; see with-unreadable-file.sh) and says so.
TEST(DictionaryFile, ReadErrorLeavesTheBuiltinCopy)
{
    if (!std::getenv("VLTAB_UNREADABLE_FILE"))
        GTEST_SKIP() << "run by with-unreadable-file.sh";
    Library lib;
    EXPECT_EQ(6, lib.LoadStatus());
    EXPECT_EQ("Monsieur", lib.Label("G03", "31"));
}

TEST_F(Dictionary, FileLargerThanTheFormatAllows)
{
    // 14,688 blocks of 30,720 bytes, plus one: a sparse file, refused unread.
    HANDLE f = CreateFileA(Where().inCoffre.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    LARGE_INTEGER size;
    size.QuadPart = 14688LL * 30720 + 1;
    ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(f));
    CloseHandle(f);
    Library lib;
    EXPECT_EQ(20, lib.LoadStatus());
    EXPECT_EQ("Monsieur", lib.Label("G03", "31"));
}

TEST_F(Dictionary, FileInTheWindowsFolderOnlyWithoutCoffre)
{
    const std::string own =
        WithChecksum(Listing({"G999"}) + Record("G999", "Version", "in the Windows folder"));
    Put(Where().inWindows, own);
    {
        Library lib;
        EXPECT_EQ(2, lib.LoadStatus()) << "the coffre folder exists: the Windows folder is not searched";
    }
    if (!RemoveDirectoryA(Where().coffre.c_str()))
        GTEST_SKIP() << "the coffre folder holds other files";
    Library lib;
    unsigned short status = kUnwritten, count = 0;
    char version[VLTAB_TEXT_SIZE] = "", checksum[VLTAB_TEXT_SIZE] = "";
    EXPECT_EQ(0, lib.VersionTables(&status, version, checksum, &count));
    EXPECT_EQ(0, status);
    EXPECT_STREQ("in the Windows folder", version);
    EXPECT_EQ(3, count);
}

TEST_F(Dictionary, LookupRulesOverAFileOfOurOwn)
{
    const std::string body =
        Record("NOM_TABLE", "NOM_TABLE", "Noms des tables") +
        Record("NOM_TABLE", "NOM_CHAMP", "Noms des champs") + Record("NOM_TABLE", "W", "titre W") +
        Record("NOM_TABLE", "NOCHAMP", "sans titre de champ") + Record("NOM_TABLE", "", "sans nom") +
        Record("NOM_CHAMP", "NOM_TABLE", "Nom de la table") +
        Record("NOM_CHAMP", "NOM_CHAMP", "Nom du champ") + Record("NOM_CHAMP", "W", "champ W") +
        // Exact before wildcard, then wildcard before exact.
        Record("W", "1", "exact first", "A") + Record("W", "1", "wildcard after", "*") +
        Record("W", "2", "wildcard first", "*") + Record("W", "2", "exact after", "A") +
        Record("W", "3", "key3 wildcard", "A", "*zzz") + Record("HIDDEN", "1", "not listed") +
        Record("W", "1", "second run of W") + Record("NOCHAMP", "1", "v") +
        // The longest label a line can carry: every other field empty.
        "\t\t\t\t\t" + std::string(515, 'L') + "\n";
    Put(Where().inCoffre, WithChecksum(body) + "W\tno\t*\t*\t1\tlast line without LF");
    Library lib;
    EXPECT_EQ(0, lib.LoadStatus());
    EXPECT_EQ("exact first", lib.Label("W", "1", "A"));
    EXPECT_EQ("wildcard after", lib.Label("W", "1", "B"));
    EXPECT_EQ("wildcard first", lib.Label("W", "2", "A"));
    EXPECT_EQ("key3 wildcard", lib.Label("W", "3", "A", "anything"));
    EXPECT_EQ("<12>", lib.Label("HIDDEN", "1"));
    EXPECT_EQ("<255>", lib.Label("W", "no"));

    // G999 is not listed: the two texts stay as they were.
    unsigned short status = kUnwritten, count = 0;
    char version[VLTAB_TEXT_SIZE] = "kept", checksum[VLTAB_TEXT_SIZE] = "kept";
    EXPECT_EQ(0, lib.VersionTables(&status, version, checksum, &count));
    EXPECT_STREQ("kept", version);
    EXPECT_STREQ("kept", checksum);
    EXPECT_EQ(8, count); // NOM_TABLE, NOM_CHAMP, W, HIDDEN, W again, NOCHAMP, the nameless one, G999

    // The table title without its field title.
    char table[VLTAB_TEXT_SIZE] = "NOCHAMP", title[VLTAB_TEXT_SIZE] = "", field[VLTAB_TEXT_SIZE] = "x";
    unsigned short records = kUnwritten, size = kUnwritten;
    EXPECT_EQ(255, lib.InfosSurTable(&status, table, title, field, &records, &size));
    EXPECT_STREQ("sans titre de champ", title);
    EXPECT_STREQ("", field);
    EXPECT_EQ(0, records);
    EXPECT_EQ(0, size);
    std::strcpy(table, "W");
    EXPECT_EQ(0, lib.InfosSurTable(&status, table, title, field, &records, &size));
    EXPECT_EQ(5, records); // the first run only

    // The longest label fills the caller's buffer exactly, and no more.
    struct {
        char label[VLTAB_TEXT_SIZE];
        char guard[16];
    } out;
    std::memset(&out, 'G', sizeof out);
    char none[VLTAB_TEXT_SIZE] = "", k1[VLTAB_TEXT_SIZE] = "", k2[VLTAB_TEXT_SIZE] = "",
         k3[VLTAB_TEXT_SIZE] = "";
    unsigned short length = 0;
    EXPECT_EQ(0, lib.LectureLibelle(&status, none, k1, k2, k3, &length, out.label));
    EXPECT_EQ(515, length);
    EXPECT_EQ(std::string(515, 'L'), out.label);
    EXPECT_EQ(std::string(16, 'G'), std::string(out.guard, 16));
}

// ---------------------------------------------------------------------------
// Loading

// The tables are read once in a process: freed and loaded again, the library
// is still there and answers from what it read first, whatever the file holds
// now.
TEST_F(Dictionary, TablesReadOnceStayUntilTheProcessEnds)
{
    Put(Where().inCoffre, WithChecksum(Listing({"G999"}) + Record("G999", "Version", "read first")));
    char file[MAX_PATH] = "";
    const auto version = [](Library &lib) {
        unsigned short status = kUnwritten, count = 0;
        char text[VLTAB_TEXT_SIZE] = "", checksum[VLTAB_TEXT_SIZE] = "";
        EXPECT_EQ(0, lib.VersionTables(&status, text, checksum, &count));
        EXPECT_EQ(0, status);
        return std::string(text);
    };
    {
        Library lib;
        ASSERT_NE(0u, GetModuleFileNameA(lib.module, file, sizeof file));
        EXPECT_EQ("read first", version(lib));
    }
    EXPECT_NE(nullptr, GetModuleHandleA(file)) << "unloaded at its last free";
    Put(Where().inCoffre, WithChecksum(Listing({"G999"}) + Record("G999", "Version", "written later")));
    Library again(file);
    EXPECT_EQ("read first", version(again));
}

TEST_F(Dictionary, SixteenThreadsAtFirstCall)
{
    Put(Where().inCoffre, BuiltinText());
    for (int round = 0; round < 10; ++round) {
        Library lib;
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::thread> threads;
        std::vector<std::string> labels(16);
        std::vector<unsigned short> statuses(16, kUnwritten);
        for (int i = 0; i < 16; ++i)
            threads.emplace_back([&, i] {
                WaitForSingleObject(go, INFINITE);
                labels[i] = lib.Label("G09", "999", "", "", &statuses[i]);
            });
        Sleep(20);
        SetEvent(go);
        for (std::thread &t : threads)
            t.join();
        CloseHandle(go);
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ("Département de test", labels[i]) << round << " " << i;
            EXPECT_EQ(0, statuses[i]) << round << " " << i;
        }
    }
}

#if defined(__i386__)
// Takes the whole free address space and every heap block big enough for
// the library's line store (30 KiB), leaving the small blocks that the system
// itself lives on; gives everything back when destroyed.
class MemoryExhausted {
public:
    MemoryExhausted()
    {
        // Room for every pointer first: nothing is allocated while taking.
        regions_.reserve(1 << 16);
        blocks_.reserve(1 << 16);
        for (SIZE_T size = SIZE_T(1) << 28; size >= 65536; size /= 2)
            while (regions_.size() < regions_.capacity())
                if (void *p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
                    regions_.push_back(p);
                else
                    break;
        for (size_t size = 1 << 20; size >= 16384; size /= 2)
            while (blocks_.size() < blocks_.capacity())
                if (void *p = std::malloc(size))
                    blocks_.push_back(p);
                else
                    break;
    }
    ~MemoryExhausted()
    {
        for (void *p : blocks_)
            std::free(p);
        for (void *p : regions_)
            VirtualFree(p, 0, MEM_RELEASE);
    }
    bool Exhausted() const
    {
        void *p = std::malloc(30 * 1024);
        std::free(p);
        return p == nullptr;
    }

private:
    std::vector<void *> regions_;
    std::vector<void *> blocks_;
};

TEST_F(Dictionary, OutOfMemoryThenLoadedByTheNextCall)
{
    LoadLibraryA("shell32.dll"); // what the library's first call loads, loaded beforehand
    Library lib;
    unsigned short status = kUnwritten, count = kUnwritten;
    char version[VLTAB_TEXT_SIZE] = "kept", checksum[VLTAB_TEXT_SIZE] = "kept";
    unsigned short rc;
    {
        MemoryExhausted exhausted;
        ASSERT_TRUE(exhausted.Exhausted());
        rc = lib.VersionTables(&status, version, checksum, &count);
    }
    EXPECT_EQ(14, rc);
    EXPECT_EQ(kUnwritten, status);
    EXPECT_EQ(kUnwritten, count);
    EXPECT_STREQ("kept", version);
    EXPECT_EQ(0, lib.VersionTables(&status, version, checksum, &count));
    EXPECT_EQ(2, status);
    EXPECT_STREQ(kBuiltinVersion, version);
}
#else
TEST_F(Dictionary, OutOfMemoryThenLoadedByTheNextCall)
{
    GTEST_SKIP()
        << "the x86-64 address space cannot be exhausted here; the native tests fail every allocation";
}
#endif

} // namespace
