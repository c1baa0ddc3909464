#include "dictionary_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "dictionary.h"

namespace vltab {

uint16_t ReadDictionaryFile(const std::string &path, FileBytes &out)
{
    // Shared as the C runtime's fopen shares: others may read and write it.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kCannotOpen;

    uint16_t rc = kOk;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        rc = kReadError;
    } else if (static_cast<unsigned long long>(size.QuadPart) > kMaxTextSize) {
        rc = kBadLine;
    } else {
        const size_t wanted = static_cast<size_t>(size.QuadPart);
        out.data = static_cast<uint8_t *>(std::malloc(wanted ? wanted : 1));
        if (!out.data)
            rc = kOutOfMemory;
        // Exactly the bytes present when the size was taken, or fewer if the
        // file shrinks meanwhile: what is parsed is what is hashed.
        while (rc == kOk && out.size < wanted) {
            DWORD got = 0;
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(wanted - out.size, 1u << 20));
            if (!ReadFile(file, out.data + out.size, piece, &got, nullptr))
                rc = kReadError;
            else if (got == 0)
                break;
            out.size += got;
        }
    }
    if (!CloseHandle(file) && rc == kOk)
        rc = kReadError;
    return rc;
}

} // namespace vltab
