// The size-query protocol (size_protocol.h) in the Windows types the
// provider's entry points answer with.
#ifndef VEL_CSP_SIZE_ANSWER_H
#define VEL_CSP_SIZE_ANSWER_H

#include <windows.h>

#include <cstdint>

#include "size_protocol.h"

//   pdwDataLen  in: the buffer's size; out: the answer's size (NULL refused)
//   pdwError    0, ERROR_INVALID_PARAMETER or ERROR_MORE_DATA
inline BOOL AnswerBytes(const void *value, DWORD size, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    uint32_t length = pdwDataLen ? *pdwDataLen : 0;
    uint32_t error = 0;
    const bool ok = sizeanswer::AnswerBytes(value, size, pbData, pdwDataLen ? &length : nullptr, &error);
    if (pdwDataLen)
        *pdwDataLen = length;
    *pdwError = error;
    return ok ? TRUE : FALSE;
}

inline BOOL AnswerDword(DWORD value, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    return AnswerBytes(&value, sizeof value, pbData, pdwDataLen, pdwError);
}

// A NUL-terminated text with its NUL.
inline BOOL AnswerText(const char *text, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    return AnswerBytes(text, static_cast<DWORD>(std::strlen(text) + 1), pbData, pdwDataLen, pdwError);
}

#endif
