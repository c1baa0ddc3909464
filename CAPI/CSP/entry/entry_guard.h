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

#include "container/handle_container.h"
#include "handles/handle_entries.h"
#include "log_trace.h"

// The arguments as the begin and return lines show them; left empty when
// no line of the entry point can be written (a failed return line is the
// one that passes at every level that writes any of them).
#ifdef __MINGW_PRINTF_FORMAT
__attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)))
#endif
inline void
FormatArgs(char *out, size_t size, const char *format, ...)
{
    if (size)
        out[0] = '\0';
    if (!_Log_WouldTrace(LOG_RETURN, LOG_LEVEL_FUNCTION, FALSE, TRUE))
        return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(out, size, format, ap);
    va_end(ap);
}

// The registered context behind hProv, held for the length of one entry
// point: a release on another thread meanwhile destroys it only afterwards.
class ContextInUse {
public:
    explicit ContextInUse(HCRYPTPROV hProv)
        : hc_(g_handleEntries ? g_handleEntries->Enter(reinterpret_cast<HandleContainer *>(hProv)) : nullptr)
    {
    }
    ~ContextInUse()
    {
        if (hc_ && g_handleEntries)
            g_handleEntries->Leave(hc_);
    }
    ContextInUse(const ContextInUse &) = delete;
    ContextInUse &operator=(const ContextInUse &) = delete;
    HandleContainer *get() const { return hc_; }

private:
    HandleContainer *hc_;
};

// Runs body(error) inside the catch-all, then writes the return line and
// sets the error after it. A FALSE result with no error gets NTE_FAIL, so
// that no failure ever leaves a stale last error. A failure with endError
// (not 0: the end of an enumeration) is no fault: its return line reads as
// a success.
template <class Body> BOOL RunGuarded(const char *name, const char *args, Body body, DWORD endError = 0)
{
    BOOL ok = FALSE;
    DWORD error = 0;
    try {
        ok = body(error);
    } catch (...) {
        ok = FALSE;
        error = static_cast<DWORD>(NTE_FAIL);
    }
    if (!ok && !error)
        error = static_cast<DWORD>(NTE_FAIL);
    const BOOL traced = ok || (endError && error == endError);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, name, traced, TRUE, "%s", args);
    if (!ok || error)
        SetLastError(error);
    return ok;
}

// Runs body(hc, error) for a registered hProv (NTE_BAD_UID otherwise).
template <class Body>
BOOL RunEntry(const char *name, const char *args, HCRYPTPROV hProv, Body body, DWORD endError = 0)
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s", args);
    return RunGuarded(
        name, args,
        [&](DWORD &error) -> BOOL {
            ContextInUse context(hProv);
            if (!context.get()) {
                error = static_cast<DWORD>(NTE_BAD_UID);
                return FALSE;
            }
            return body(context.get(), error);
        },
        endError);
}

// A call handed to the context's Microsoft provider: its result and last error.
template <class Call> BOOL PassThrough(DWORD &error, Call call)
{
    const BOOL ok = call();
    error = ok ? 0 : GetLastError();
    return ok;
}

#endif
