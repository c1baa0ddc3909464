// The size-query protocol of every CryptoAPI output buffer: a NULL buffer asks
// for the size, a buffer shorter than the answer gets ERROR_MORE_DATA with the
// size, and nothing is ever written past the length the caller gave.
#ifndef CSP_KEYS_BOUNDED_OUTPUT_H
#define CSP_KEYS_BOUNDED_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "key_codes.h"

namespace cspkeys {

// Answers `len` bytes of src.
//   dst     the caller's buffer, or NULL for a size query
//   pLen    in: the buffer's size; out: the answer's size (also on
//           kErrorMoreData); any unsigned 32-bit length type (DWORD)
// Returns kOk; kErrorInvalidParameter when pLen is NULL; kErrorMoreData when
// dst is too short (nothing written); kNteFail for an answer too long for a
// 32-bit length.
template <class Length>
uint32_t PutBounded(const void *src, size_t len, void *dst, Length *pLen)
{
    static_assert(sizeof(Length) == 4, "CryptoAPI lengths are 32-bit");
    if (!pLen)
        return kErrorInvalidParameter;
    if (len > UINT32_MAX)
        return kNteFail;
    const Length capacity = *pLen;
    *pLen = Length(len);
    if (!dst)
        return kOk;
    if (capacity < len)
        return kErrorMoreData;
    if (len)
        std::memcpy(dst, src, len);
    return kOk;
}

// A 4-byte little-endian value under the same protocol.
template <class Length>
uint32_t PutDword(uint32_t value, void *dst, Length *pLen)
{
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return PutBounded(bytes, sizeof(bytes), dst, pLen);
}

}  // namespace cspkeys

#endif
