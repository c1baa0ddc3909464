// The size-query protocol of every answer the provider gives into a
// caller's buffer, without Windows: a NULL length pointer is refused, a NULL
// buffer asks for the size, a short buffer gets ERROR_MORE_DATA with the
// size needed, a large enough one gets the value. size_answer.h is its
// Windows face.
#ifndef VEL_CSP_SIZE_PROTOCOL_H
#define VEL_CSP_SIZE_PROTOCOL_H

#include <cstdint>
#include <cstring>

namespace sizeanswer {

// The Windows error codes of the protocol.
constexpr uint32_t kErrorInvalidParameter = 87; // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorMoreData = 234;        // ERROR_MORE_DATA

//   value/size  the answer
//   data        caller's buffer or NULL (size query)
//   dataLen     in: the buffer's size; out: the answer's size
//   error       0, kErrorInvalidParameter or kErrorMoreData
// True when the size was answered or the value written.
inline bool AnswerBytes(const void *value, uint32_t size, uint8_t *data, uint32_t *dataLen, uint32_t *error)
{
    if (!dataLen) {
        *error = kErrorInvalidParameter;
        return false;
    }
    const uint32_t room = *dataLen;
    *dataLen = size;
    if (!data) {
        *error = 0;
        return true;
    }
    if (room < size) {
        *error = kErrorMoreData;
        return false;
    }
    if (size)
        std::memcpy(data, value, size);
    *error = 0;
    return true;
}

// A 32-bit value in the caller's (little-endian) order.
inline bool AnswerDword(uint32_t value, uint8_t *data, uint32_t *dataLen, uint32_t *error)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return AnswerBytes(bytes, sizeof bytes, data, dataLen, error);
}

// A NUL-terminated text with its NUL.
inline bool AnswerText(const char *text, uint8_t *data, uint32_t *dataLen, uint32_t *error)
{
    return AnswerBytes(text, static_cast<uint32_t>(std::strlen(text) + 1), data, dataLen, error);
}

} // namespace sizeanswer

#endif
