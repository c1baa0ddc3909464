#include "dictionary_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "dictionary.h"

namespace vltab {

namespace {

// Grows the buffer to hold at least wanted bytes; false when memory is short.
bool Reserve(FileBytes &out, size_t &capacity, size_t wanted)
{
    if (wanted <= capacity)
        return true;
    const size_t grown = std::max(wanted, capacity * 2);
    auto *data = static_cast<uint8_t *>(std::realloc(out.data, grown));
    if (!data)
        return false;
    out.data = data;
    capacity = grown;
    return true;
}

} // namespace

uint16_t ReadDictionaryFile(const std::string &path, FileBytes &out)
{
    // Shared as the C runtime's fopen shares: others may read and write it.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kCannotOpen;

    // Read to the end of the file, whatever its size said; the size only
    // sizes the buffer. One more byte than the format allows is enough to
    // know the file is too large.
    LARGE_INTEGER size;
    const bool sized = GetFileSizeEx(file, &size) && size.QuadPart >= 0;
    if (sized && static_cast<unsigned long long>(size.QuadPart) > kMaxTextSize) {
        // Refused at once, without reading or allocating for it.
        CloseHandle(file);
        return kBadLine;
    }
    size_t capacity = 0;
    const size_t expected = sized ? static_cast<size_t>(size.QuadPart) : 0;
    uint16_t rc = Reserve(out, capacity, expected + 1) ? kOk : kOutOfMemory;
    while (rc == kOk) {
        if (out.size > kMaxTextSize) {
            rc = kBadLine;
            break;
        }
        if (out.size == capacity && !Reserve(out, capacity, std::min(capacity * 2, kMaxTextSize + 1))) {
            rc = kOutOfMemory;
            break;
        }
        DWORD got = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(capacity - out.size, 1u << 20));
        if (!ReadFile(file, out.data + out.size, piece, &got, nullptr))
            rc = kReadError;
        else if (got == 0)
            break;
        out.size += got;
    }
    if (!CloseHandle(file) && rc == kOk)
        rc = kReadError;
    return rc;
}

} // namespace vltab
