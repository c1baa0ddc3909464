#include "SafeFileWrite.h"

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#include <unistd.h>
#endif

namespace vel {

namespace {

std::string FolderOf(const std::string &path)
{
    size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos)
        return ".";
    if (cut == 0)
        return path.substr(0, 1);
    return path.substr(0, cut);
}

// Makes a new, empty file of a unique name in `folder`; its name in `temp`.
bool CreateTempBeside(const std::string &path, std::string &temp)
{
    std::string folder = FolderOf(path);
#if defined(_WIN32)
    char name[MAX_PATH];
    if (::GetTempFileNameA(folder.c_str(), "vel", 0, name) == 0)
        return false;
    temp = name;
    return true;
#else
    std::string pattern = folder + "/.velXXXXXX";
    int fd = ::mkstemp(&pattern[0]);
    if (fd < 0)
        return false;
    ::close(fd);
    temp = pattern;
    return true;
#endif
}

bool ReplaceWith(const std::string &temp, const std::string &path)
{
#if defined(_WIN32)
    return ::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(temp.c_str(), path.c_str()) == 0;
#endif
}

} // namespace

WriteResult WriteFileReplacing(const std::string &path, const uint8_t *bytes, size_t length)
{
    if (path.empty() || (!bytes && length != 0))
        return WriteResult::CannotCreate;
    std::string temp;
    if (!CreateTempBeside(path, temp))
        return WriteResult::CannotCreate;
    std::FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        std::remove(temp.c_str());
        return WriteResult::CannotCreate;
    }
    bool ok = length == 0 || std::fwrite(bytes, 1, length, f) == length;
    ok = std::fflush(f) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(temp.c_str());
        return WriteResult::WriteFailed;
    }
    if (!ReplaceWith(temp, path)) {
        std::remove(temp.c_str());
        return WriteResult::CannotReplace;
    }
    return WriteResult::Written;
}

} // namespace vel
