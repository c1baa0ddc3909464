#include "byte_order.h"

#include <cstring>

#include "key_codes.h"

namespace cspkeys {

void ReverseInto(const uint8_t *src, size_t n, uint8_t *dst)
{
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[n - 1 - i];
}

uint32_t SignatureToLittleEndian(const uint8_t *card, size_t cardLen, size_t modulusLen, uint8_t *out)
{
    if (cardLen == 0 || cardLen > modulusLen)
        return kNteBadData;
    ReverseInto(card, cardLen, out);
    // The missing leading zeros of the big-endian value end the little-endian one.
    std::memset(out + cardLen, 0, modulusLen - cardLen);
    return kOk;
}

}  // namespace cspkeys
