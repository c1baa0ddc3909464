// GetDataFolderPath on scratch bases (each test its own folder under the
// temporary directory), and once on the machine's real base.
#include "data_folder.h"
#include "data_folder_internal.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

using vel_datafolder::BaseFromEnvironment;
using vel_datafolder::kBaseSize;
using vel_datafolder::PathFromBase;

namespace {

bool IsFolder(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Names found in a folder, "." and ".." left out.
int EntriesIn(const std::string &folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    do {
        if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            ++n;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return n;
}

void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
                continue;
            std::string child = path + "\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        base_ = std::string(temp) + "vel_df_" + std::to_string(GetCurrentProcessId()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveTree(base_);
        ASSERT_TRUE(CreateDirectoryA(base_.c_str(), nullptr));
    }
    void TearDown() override { RemoveTree(base_); }

    std::string base_;
};

TEST_F(DataFolderTest, CreatesMissingLevelsAndReturnsThePath)
{
    struct Case {
        unsigned char kind;
        const char *sub;
    } cases[] = {{FOLDER_COFFRE, "coffre"}, {FOLDER_LOG, "log"}};
    for (const Case &c : cases) {
        char dst[kBaseSize];
        memset(dst, 'x', sizeof dst);
        ASSERT_EQ(PathFromBase(base_.c_str(), dst, sizeof dst, c.kind), 0u) << c.sub;
        const std::string folder = base_ + "\\hestalink\\vel\\" + c.sub;
        EXPECT_EQ(std::string(dst), folder + "\\");
        EXPECT_TRUE(IsFolder(folder));
        EXPECT_EQ(EntriesIn(folder), 0) << "nothing but the folder is created";
    }
    EXPECT_EQ(EntriesIn(base_ + "\\hestalink\\vel"), 2);
}

TEST_F(DataFolderTest, PresentFolderIsFoundAndKept)
{
    const std::string folder = base_ + "\\hestalink\\vel\\coffre";
    char dst[kBaseSize];
    ASSERT_EQ(PathFromBase(base_.c_str(), dst, sizeof dst, FOLDER_COFFRE), 0u);
    HANDLE file =
        CreateFileA((folder + "\\DICO-FR.QUV").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(PathFromBase(base_.c_str(), dst, sizeof dst, FOLDER_COFFRE), 0u);
    EXPECT_EQ(std::string(dst), folder + "\\");
    EXPECT_EQ(EntriesIn(folder), 1);

    // Only the upper levels there: the missing subfolder is added beside.
    ASSERT_EQ(PathFromBase(base_.c_str(), dst, sizeof dst, FOLDER_LOG), 0u);
    EXPECT_TRUE(IsFolder(base_ + "\\hestalink\\vel\\log"));
}

TEST_F(DataFolderTest, SizeQueriesWriteNothingAndStillCreate)
{
    const std::string expected = base_ + "\\hestalink\\vel\\log\\";
    const unsigned long length = static_cast<unsigned long>(expected.size());

    // NULL destination: the length, and the folders are made all the same.
    EXPECT_EQ(PathFromBase(base_.c_str(), nullptr, 0, FOLDER_LOG), length);
    EXPECT_TRUE(IsFolder(base_ + "\\hestalink\\vel\\log"));

    struct Case {
        unsigned long dstLen;
        unsigned long result;
        bool written;
    } cases[] = {{0, length, false}, {1, length, false}, {length, length, false}, {length + 1, 0, true}};
    for (const Case &c : cases) {
        char dst[kBaseSize + 16];
        memset(dst, 'x', sizeof dst);
        EXPECT_EQ(PathFromBase(base_.c_str(), dst, c.dstLen, FOLDER_LOG), c.result) << c.dstLen;
        if (c.written) {
            EXPECT_EQ(std::string(dst), expected);
        } else {
            EXPECT_EQ(std::string(dst, sizeof dst), std::string(sizeof dst, 'x')) << c.dstLen;
        }
    }
}

TEST_F(DataFolderTest, UnknownKindIsRefused)
{
    for (unsigned char kind : {0, 3, 255}) {
        char dst[kBaseSize];
        memset(dst, 'x', sizeof dst);
        EXPECT_EQ(PathFromBase(base_.c_str(), dst, sizeof dst, kind),
                  static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(GetDataFolderPath(dst, sizeof dst, kind),
                  static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(dst[0], 'x');
    }
    EXPECT_EQ(EntriesIn(base_), 0);
}

TEST_F(DataFolderTest, FolderThatCannotBeCreatedGivesItsError)
{
    // The base itself is missing: its first level cannot be made.
    const std::string missing = base_ + "\\missing";
    char dst[kBaseSize];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(PathFromBase(missing.c_str(), dst, sizeof dst, FOLDER_LOG),
              static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(dst[0], 'x');

    // A file where a level should be: at the top, and as the subfolder itself.
    struct Case {
        const char *scratch;
        const char *file;
    } cases[] = {{"\\top", "\\hestalink"}, {"\\bottom", "\\hestalink\\vel\\log"}};
    for (const Case &c : cases) {
        const std::string base = base_ + c.scratch;
        ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
        CreateDirectoryA((base + "\\hestalink").c_str(), nullptr);
        CreateDirectoryA((base + "\\hestalink\\vel").c_str(), nullptr);
        RemoveTree(base + c.file);
        HANDLE file = CreateFileA((base + c.file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.file;
        CloseHandle(file);
        EXPECT_EQ(PathFromBase(base.c_str(), dst, sizeof dst, FOLDER_LOG),
                  static_cast<unsigned long>(ERROR_DIRECTORY))
            << c.file;
        EXPECT_EQ(dst[0], 'x');
    }
}

TEST_F(DataFolderTest, LongBasesNeverOverflow)
{
    // Bases of every length near the limit, including texts with no NUL within
    // the base buffer. The destination is 260 bytes with guard bytes behind it.
    std::string text(kBaseSize + 40, 'b');
    for (size_t length :
         {kBaseSize - 40, kBaseSize - 23, kBaseSize - 22, kBaseSize - 1, kBaseSize, kBaseSize + 40}) {
        std::string base = "Q:\\" + text.substr(0, length - 3);
        char dst[kBaseSize + 64];
        memset(dst, 'x', sizeof dst);
        unsigned long rc = PathFromBase(base.c_str(), dst, kBaseSize, FOLDER_COFFRE);
        EXPECT_EQ(std::string(dst + kBaseSize, 64), std::string(64, 'x')) << length;
        if (rc == 0) {
            EXPECT_EQ(std::string(dst), base + "\\hestalink\\vel\\coffre\\") << length;
        } else {
            EXPECT_EQ(dst[0], 'x') << length;
        }
        if (length >= kBaseSize) {
            EXPECT_EQ(rc, static_cast<unsigned long>(ERROR_FILENAME_EXCED_RANGE)) << length;
        }
    }
}

TEST_F(DataFolderTest, LongPathIsReportedByItsLength)
{
    // A base that exists and whose result no longer fits a 260-byte buffer.
    std::string base = base_;
    while (base.size() < 200) {
        base += "\\0123456789";
        ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
    }
    const std::string expected = base + "\\hestalink\\vel\\log\\";
    char dst[kBaseSize + 64];
    memset(dst, 'x', sizeof dst);
    unsigned long small = static_cast<unsigned long>(expected.size()); // no room for the NUL
    EXPECT_EQ(PathFromBase(base.c_str(), dst, small, FOLDER_LOG), small);
    EXPECT_EQ(dst[0], 'x');
    EXPECT_EQ(PathFromBase(base.c_str(), dst, small + 1, FOLDER_LOG), 0u);
    EXPECT_EQ(std::string(dst), expected);
}

TEST(DataFolderEnvironment, BaseIsBoundedAndOptional)
{
    char saved[4096];
    DWORD savedLength = GetEnvironmentVariableA("ALLUSERSPROFILE", saved, sizeof saved);

    struct Case {
        size_t length;
        bool found;
    } cases[] = {{0, false}, {3, true}, {kBaseSize - 1, true}, {kBaseSize, false}, {1000, false}};
    for (const Case &c : cases) {
        std::string value = c.length ? "C:\\" + std::string(c.length - 3, 'p') : std::string();
        SetEnvironmentVariableA("ALLUSERSPROFILE", c.length ? value.c_str() : nullptr);
        char base[kBaseSize + 64];
        memset(base, 'x', sizeof base);
        EXPECT_EQ(BaseFromEnvironment(base), c.found) << c.length;
        EXPECT_EQ(std::string(base, c.found ? value.size() : 0), c.found ? value : std::string()) << c.length;
        if (!c.found) {
            EXPECT_EQ(base[0], '\0') << c.length;
        }
        EXPECT_EQ(std::string(base + kBaseSize, 64), std::string(64, 'x')) << c.length;
    }
    SetEnvironmentVariableA("ALLUSERSPROFILE", savedLength && savedLength < sizeof saved ? saved : nullptr);
}

TEST(DataFolderMachine, UsesTheCommonApplicationDataFolder)
{
    char shell[MAX_PATH] = "";
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, shell), S_OK);
    const std::string expected = std::string(shell) + "\\hestalink\\vel\\log\\";

    EXPECT_EQ(GetDataFolderPath(nullptr, 0, FOLDER_LOG), static_cast<unsigned long>(expected.size()));
    char dst[MAX_PATH];
    ASSERT_EQ(GetDataFolderPath(dst, sizeof dst, FOLDER_LOG), 0u);
    EXPECT_EQ(std::string(dst), expected);
    EXPECT_TRUE(IsFolder(std::string(shell) + "\\hestalink\\vel\\log"));
}

} // namespace
