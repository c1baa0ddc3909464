#include "event_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Guards the path and each line's open-append-close, so that lines written
// by the worker threads and the window never interleave. A slim lock needs
// no allocation and no initialisation call.
SRWLOCK g_lock = SRWLOCK_INIT;
char g_path[260] = "";
const size_t kLineBuffer = 3072;
} // namespace

void SetEventLogPath(const char *path)
{
    AcquireSRWLockExclusive(&g_lock);
    if (!path)
        path = "";
    size_t n = strnlen(path, sizeof g_path - 1);
    memcpy(g_path, path, n);
    g_path[n] = '\0';
    ReleaseSRWLockExclusive(&g_lock);
}

void WriteEventLog(const char *format, ...)
{
    AcquireSRWLockShared(&g_lock);
    bool off = g_path[0] == '\0';
    ReleaseSRWLockShared(&g_lock);
    if (off || !format)
        return;

    char *text = static_cast<char *>(malloc(kLineBuffer));
    if (!text)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, kLineBuffer, format, args); // cuts at 3,071 characters
    va_end(args);
    if (n < 0)
        text[0] = '\0';

    SYSTEMTIME now;
    GetLocalTime(&now);
    AcquireSRWLockExclusive(&g_lock);
    if (g_path[0]) {
        if (FILE *f = fopen(g_path, "a")) {
            fprintf(f, "%02d:%02d:%02d.%03d %s\n", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                    text);
            fclose(f);
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    free(text);
}
