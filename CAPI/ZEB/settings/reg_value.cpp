#include "reg_value.h"

#include <cstring>

namespace zeb {

bool DwordFromValue(uint32_t type, const uint8_t *data, size_t size, uint32_t *out)
{
    if (type != kRegDword || size != 4 || !data)
        return false;
    uint32_t v;
    memcpy(&v, data, 4); // registry DWORDs are little-endian, as the host
    *out = v;
    return true;
}

bool StringFromValue(uint32_t type, const uint8_t *data, size_t size, char *out, size_t outSize)
{
    if (!out || outSize == 0)
        return false;
    out[0] = '\0';
    if (type != kRegSz && type != kRegExpandSz)
        return false;
    if (!data)
        return true;
    const void *nul = memchr(data, 0, size);
    size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    if (len > outSize - 1)
        len = outSize - 1;
    memcpy(out, data, len);
    out[len] = '\0';
    return true;
}

bool MultiStringFromValue(uint32_t type, const uint8_t *data, size_t size, std::vector<std::string> *out)
{
    out->clear();
    if (type != kRegMultiSz)
        return false;
    size_t pos = 0;
    while (data && pos < size) {
        const void *nul = memchr(data + pos, 0, size - pos);
        size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - (data + pos)) : size - pos;
        if (len == 0)
            break; // the list's end
        if (len >= 2)
            out->emplace_back(reinterpret_cast<const char *>(data + pos), len);
        pos += len + 1;
    }
    return true;
}

} // namespace zeb
