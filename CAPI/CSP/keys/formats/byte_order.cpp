#include "byte_order.h"

#include <cstring>

#include "key_codes.h"

namespace csp::keys {

void ReverseInto(const uint8_t *src, size_t n, uint8_t *dst)
{
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[n - 1 - i];
}

uint32_t WidenLittleEndian(const uint8_t *value, size_t len, size_t modulusLen, uint8_t *out)
{
    if (len == 0 || len > modulusLen)
        return kNteBadData;
    if (out != value)
        std::memmove(out, value, len);
    std::memset(out + len, 0, modulusLen - len);
    return kOk;
}

} // namespace csp::keys
