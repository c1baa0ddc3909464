// Until the shared data-folder routine is linked in, the card manager finds
// the folder the same way: the common application-data folder (through
// shell32 loaded from the system directory, else ALLUSERSPROFILE), then
// "hestalink\vel\<kind>\", creating the missing levels.
#include "DataFolder.h"

#include <windows.h>

#include <cstdlib>

namespace vel {

namespace {
std::string BaseFolder()
{
    using GetFolderPath = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPSTR);
    std::string base;
    if (HMODULE shell = ::LoadLibraryExA("Shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        auto get = reinterpret_cast<GetFolderPath>(reinterpret_cast<void (*)()>(::GetProcAddress(shell, "SHGetFolderPathA")));
        char path[MAX_PATH] = {};
        if (get && get(nullptr, 0x23 /* CSIDL_COMMON_APPDATA */, nullptr, 0, path) == S_OK)
            base = path;
        ::FreeLibrary(shell);
    }
    if (base.empty()) {
        char path[MAX_PATH] = {};
        DWORD n = ::GetEnvironmentVariableA("ALLUSERSPROFILE", path, sizeof path);
        if (n > 0 && n < sizeof path)
            base = path;
    }
    return base;
}
} // namespace

std::string DataFolderPrefix(DataFolderKind kind)
{
    std::string base = BaseFolder();
    if (base.empty())
        return std::string();
    std::string path = base + "\\hestalink";
    for (const char *level : {"\\vel", kind == DataFolderKind::Coffre ? "\\coffre" : "\\log"}) {
        if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return std::string();
        path += level;
    }
    if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return std::string();
    return path + "\\";
}

} // namespace vel
