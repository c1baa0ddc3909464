// The one size-query protocol of the provider's answers: a NULL length
// pointer is refused, a NULL buffer asks for the size, a short buffer gets
// ERROR_MORE_DATA with the size needed.
#ifndef VEL_CSP_SIZE_ANSWER_H
#define VEL_CSP_SIZE_ANSWER_H

#include <windows.h>

#include <cstring>

//   value/size  the answer
//   pbData      caller's buffer or NULL (size query)
//   pdwDataLen  in: the buffer's size; out: the answer's size
//   pdwError    0, ERROR_INVALID_PARAMETER or ERROR_MORE_DATA
// TRUE when the size was answered or the value written.
inline BOOL AnswerBytes(const void *value, DWORD size, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    if (!pdwDataLen) {
        *pdwError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const DWORD room = *pdwDataLen;
    *pdwDataLen = size;
    if (!pbData) {
        *pdwError = 0;
        return TRUE;
    }
    if (room < size) {
        *pdwError = ERROR_MORE_DATA;
        return FALSE;
    }
    if (size)
        std::memcpy(pbData, value, size);
    *pdwError = 0;
    return TRUE;
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
