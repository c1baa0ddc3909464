#include "dictionary_path.h"

#include <windows.h>
#include <shlobj.h>

namespace vltab {

namespace {

const char kFileName[] = "DICO-FR.QUV";
const char kCoffre[] = "hestalink\\vel\\coffre";

typedef HRESULT(WINAPI *GetFolderPathFunction)(HWND, int, HANDLE, DWORD, LPSTR);

std::string WithoutTrailingSlash(std::string folder)
{
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    return folder;
}

// Whether a search of folder\* finds anything.
bool CanSearch(const std::string &folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

// The all-users application-data folder, asked of the shell loaded from the
// system folder only; empty when that fails.
std::string CommonAppData()
{
    HMODULE shell = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!shell)
        return std::string();
    std::string folder;
    auto getFolderPath = reinterpret_cast<GetFolderPathFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(shell, "SHGetFolderPathA")));
    char path[MAX_PATH] = "";
    if (getFolderPath && getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path) == S_OK)
        folder = path;
    FreeLibrary(shell);
    return folder;
}

bool BeforeVista()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = GetVersionExA(&version);
#pragma GCC diagnostic pop
    return known && version.dwMajorVersion < 6;
}

std::string WindowsFolder()
{
    char folder[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("WINDIR", folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        n = GetWindowsDirectoryA(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        return std::string();
    return std::string(folder, n);
}

} // namespace

std::string GetDictionaryPath()
{
    std::string base = CommonAppData();
    if (base.empty()) {
        base = BeforeVista() ? "C:\\Documents and Settings\\All Users\\Application Data\\"
                             : "C:\\Users\\Public\\AppData\\";
        base = WithoutTrailingSlash(base);
        if (!CanSearch(base))
            return base + "\\" + kFileName;
    }
    base = WithoutTrailingSlash(base);
    const std::string coffre = base + "\\" + kCoffre;
    const std::string folder = CanSearch(coffre) ? coffre : WithoutTrailingSlash(WindowsFolder());
    return folder + "\\" + kFileName;
}

} // namespace vltab
