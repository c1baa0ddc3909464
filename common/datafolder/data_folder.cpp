// Finding and creating the shared data folder. No shared state: any thread of
// any process may run it; two processes creating the same level at once are
// both satisfied by ERROR_ALREADY_EXISTS.
#include "data_folder.h"
#include "data_folder_internal.h"

#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

namespace vel_datafolder {
namespace {

// Room for the longest base (kBaseSize - 1 characters) followed by
// "\hestalink\vel\coffre\*" and the NUL.
constexpr size_t kPathSize = kBaseSize + 32;

typedef HRESULT(WINAPI *SHGetFolderPathAFn)(HWND, int, HANDLE, DWORD, LPSTR);

const char *Subfolder(unsigned char kind)
{
    switch (kind) {
    case FOLDER_COFFRE:
        return "\\coffre";
    case FOLDER_LOG:
        return "\\log";
    default:
        return nullptr;
    }
}

// The shell's common application-data folder into base (kBaseSize bytes).
// Shell32 comes from the system directory only, never from the application's
// or the current directory. S_FALSE or an empty text counts as no folder.
bool BaseFromShell(char *base)
{
    base[0] = '\0';
    HMODULE shell = LoadLibraryExA("Shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!shell)
        return false;
    bool found = false;
    FARPROC proc = GetProcAddress(shell, "SHGetFolderPathA");
    if (proc) {
        auto getFolderPath = reinterpret_cast<SHGetFolderPathAFn>(reinterpret_cast<void *>(proc));
        HRESULT hr = getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base);
        found = hr != S_FALSE && SUCCEEDED(hr) && base[0] != '\0';
        if (!found)
            base[0] = '\0';
    }
    FreeLibrary(shell);
    return found;
}

} // namespace

bool BaseFromEnvironment(char *base)
{
    DWORD n = GetEnvironmentVariableA("ALLUSERSPROFILE", base, static_cast<DWORD>(kBaseSize));
    // n >= kBaseSize: the value does not fit, and the buffer holds nothing usable.
    if (n == 0 || n >= kBaseSize) {
        base[0] = '\0';
        return false;
    }
    return true;
}

unsigned long PathFromBase(const char *base, char *dst, unsigned long dstLen, unsigned char kind)
{
    const char *sub = Subfolder(kind);
    if (!sub)
        return ERROR_INVALID_PARAMETER;
    if (strnlen(base, kBaseSize) >= kBaseSize)
        return ERROR_FILENAME_EXCED_RANGE;

    // Anything inside the subfolder (its "." entry at least) means it is there.
    char path[kPathSize];
    snprintf(path, sizeof path, "%s\\hestalink\\vel%s\\*", base, sub);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    } else {
        const char *levels[] = {"\\hestalink", "\\vel", sub};
        size_t len = strlen(base);
        memcpy(path, base, len + 1);
        for (const char *level : levels) {
            size_t add = strlen(level);
            memcpy(path + len, level, add + 1);
            len += add;
            if (!CreateDirectoryA(path, nullptr)) {
                DWORD err = GetLastError();
                if (err != ERROR_ALREADY_EXISTS)
                    return err;
                // Made meanwhile by another process, or there before: it must be a
                // folder, not a file of that name.
                DWORD attributes = GetFileAttributesA(path);
                if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                    return ERROR_DIRECTORY;
            }
        }
    }

    int len = snprintf(path, sizeof path, "%s\\hestalink\\vel%s\\", base, sub);
    if (!dst || static_cast<unsigned long>(len) + 1 > dstLen)
        return static_cast<unsigned long>(len);
    memcpy(dst, path, static_cast<size_t>(len) + 1);
    return 0;
}

} // namespace vel_datafolder

unsigned long GetDataFolderPath(char *dst, unsigned long dstLen, unsigned char kind)
{
    using namespace vel_datafolder;
    // An unknown kind is refused before anything is looked up or created.
    if (kind != FOLDER_COFFRE && kind != FOLDER_LOG)
        return ERROR_INVALID_PARAMETER;
    char base[kBaseSize];
    if (!BaseFromShell(base) && !BaseFromEnvironment(base))
        return 0; // no base: dst untouched
    return PathFromBase(base, dst, dstLen, kind);
}
