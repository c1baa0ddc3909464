// The shape every exported entry point shares: begin line, handle check,
// the work, return line, then the error (after the last trace line), with
// every language exception caught and turned into FALSE.
#ifndef VEL_CSP_ENTRY_GUARD_H
#define VEL_CSP_ENTRY_GUARD_H

#include <windows.h>
#include <wincrypt.h>

#include <cstdarg>
#include <cstdio>
#include <new>

#include "handle_container.h"
#include "handle_entries.h"
#include "log_trace.h"

// The arguments as the begin and return lines show them.
#ifdef __MINGW_PRINTF_FORMAT
__attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)))
#endif
inline void FormatArgs(char *out, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(out, size, format, ap);
    va_end(ap);
}

// The registered context behind hProv, or NULL.
inline HandleContainer *RegisteredContext(HCRYPTPROV hProv)
{
    HandleContainer *hc = reinterpret_cast<HandleContainer *>(hProv);
    return (hc && g_HandleEntries && g_HandleEntries->IsHandleExist(hc)) ? hc : nullptr;
}

// Runs body(hc, error) for a registered hProv (NTE_BAD_UID otherwise).
// body returns the BOOL result and sets error; a FALSE result with no error
// gets NTE_FAIL, so that no failure ever leaves a stale last error.
template <class Body>
BOOL RunEntry(const char *name, const char *args, HCRYPTPROV hProv, Body body)
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s", args);
    BOOL ok = FALSE;
    DWORD error = 0;
    try {
        HandleContainer *hc = RegisteredContext(hProv);
        if (!hc)
            error = static_cast<DWORD>(NTE_BAD_UID);
        else
            ok = body(hc, error);
    } catch (...) {
        ok = FALSE;
        error = static_cast<DWORD>(NTE_FAIL);
    }
    if (!ok && !error)
        error = static_cast<DWORD>(NTE_FAIL);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, name, ok, TRUE, "%s", args);
    if (!ok || error)
        SetLastError(error);
    return ok;
}

// A call handed to the context's Microsoft provider: its result and last error.
template <class Call>
BOOL PassThrough(DWORD &error, Call call)
{
    const BOOL ok = call();
    error = ok ? 0 : GetLastError();
    return ok;
}

#endif
