// The trace writer. Built twice, once per deliverable (vel_trace_csp,
// vel_trace_zeb): only the registry key and the file name pattern differ.
//
// Process-wide state is configured once, fully, before any thread uses it
// (InitOnceExecuteOnce), and only read afterwards. Nesting depth is per
// thread, in a TLS slot that holds the count itself: tracing allocates
// nothing. Every line is built whole in a bounded buffer and appended with
// one write; a line longer than the bound is cut in its middle and keeps its
// ending (trace_line.h).
#include "log_trace.h"

#include "data_folder.h"
#include "trace_level.h"
#include "trace_line.h"

#include <windows.h>
#include <tlhelp32.h>

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <atomic>
#include <optional>

#if defined(VEL_TRACE_FOR_CSP)
#define TRACE_REGISTRY_KEY "Software\\Ovrane\\CSP"
#define TRACE_FILE_PATTERN "%svel3_csp_%x_%x.log"
#elif defined(VEL_TRACE_FOR_ZEB)
#define TRACE_REGISTRY_KEY "Software\\Ovrane\\ZEB"
#define TRACE_FILE_PATTERN "%svel_zeb_%x_%x.log"
#else
#error "log_trace.cpp is built through vel_trace_csp or vel_trace_zeb"
#endif

#ifdef __MINGW_PRINTF_FORMAT
#define TRACE_VPRINTF_LIKE(fmt) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, 0)))
#define TRACE_PRINTF_LIKE(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#else
#define TRACE_VPRINTF_LIKE(fmt) __attribute__((format(printf, fmt, 0)))
#define TRACE_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace {

constexpr size_t kFolderSize = MAX_PATH;
// The folder (at most 259 characters) and the longest file name,
// "vel3_csp_" + two 8-digit ids + "_" + ".log".
constexpr size_t kFilePathSize = kFolderSize + 40;
// One whole line and its NUL: time stamp, indentation, name, message and ending.
constexpr size_t kLineSize = vel::trace::kMaxLineLength + 1;

struct TraceConf {
    char folder[kFolderSize]; // ends with a backslash; "" means the current directory
    int level;                // 0: nothing is written
};

TraceConf g_conf;
INIT_ONCE g_confOnce = INIT_ONCE_STATIC_INIT;
// Set once the configuration is complete: the filtered calls' fast path.
std::atomic<bool> g_configured{false};

// TLS slot of the per-thread depth; taken only when tracing is on.
std::atomic<DWORD> g_depthSlot{TLS_OUT_OF_INDEXES};

// The provider is loaded and unloaded many times in a long-lived process:
// give the slot back when the module goes.
struct DepthSlotRelease {
    ~DepthSlotRelease()
    {
        DWORD slot = g_depthSlot.exchange(TLS_OUT_OF_INDEXES);
        if (slot != TLS_OUT_OF_INDEXES)
            TlsFree(slot);
    }
} g_depthSlotRelease;

// Keeps the caller's last error and errno across everything we call: the
// provider hands its NTE_ and SCARD_ codes back through SetLastError, and
// opening a file that exists sets ERROR_ALREADY_EXISTS.
class CallerErrorKeeper {
public:
    CallerErrorKeeper() : lastError_(GetLastError()), errno_(errno) {}
    ~CallerErrorKeeper()
    {
        errno = errno_;
        SetLastError(lastError_);
    }
    CallerErrorKeeper(const CallerErrorKeeper &) = delete;
    CallerErrorKeeper &operator=(const CallerErrorKeeper &) = delete;

private:
    DWORD lastError_;
    int errno_;
};

// The level set by the value "Traces" of the deliverable's key under hive.
// False when the key or the value cannot be read, or when the value is not a
// DWORD (trace_level.h): a level typed as text would otherwise read as the
// number its characters make.
bool ReadLevel(HKEY hive, int *level)
{
    HKEY key;
    if (RegOpenKeyExA(hive, TRACE_REGISTRY_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    BYTE value[4];
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    // A longer value does not fit (ERROR_MORE_DATA): no DWORD either.
    LONG rc = RegQueryValueExA(key, "Traces", nullptr, &type, value, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return false;
    std::optional<int> read = vel::trace::LevelOfValue(type, value, size);
    if (!read)
        return false;
    *level = *read;
    return true;
}

// True when this process's executable is "lsass.exe", in any letter case.
bool RunsAsLsass()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    bool lsass = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            lsass = _wcsicmp(entry.szExeFile, L"lsass.exe") == 0;
            break;
        }
    }
    CloseHandle(snapshot);
    return lsass;
}

// Run once per process, by whichever thread traces first; the others wait
// for it to finish, so nobody sees a half-built folder or level.
BOOL CALLBACK Configure(PINIT_ONCE, PVOID configuredHere, PVOID *)
{
    // Any failure leaves the folder empty: the files then go to the current directory.
    char folder[kFolderSize] = "";
    GetDataFolderPath(folder, sizeof folder, FOLDER_LOG);
    memcpy(g_conf.folder, folder, sizeof folder);

    int level = 0;
    ReadLevel(HKEY_LOCAL_MACHINE, &level);
    ReadLevel(HKEY_CURRENT_USER, &level); // the user's value wins
    // The summary level is meant for the local security authority only.
    if (level == LOG_LEVEL_SUMMARY && !RunsAsLsass())
        level = 0;
    g_conf.level = level;

    if (level != 0)
        g_depthSlot.store(TlsAlloc());
    *static_cast<bool *>(configuredHere) = true;
    return TRUE;
}

void TraceV(int kind, int level, const char *function, unsigned long rv, int rvIsBool, const char *format,
            va_list args) TRACE_VPRINTF_LIKE(6);

void Trace(int kind, int level, const char *function, unsigned long rv, int rvIsBool, const char *format, ...)
    TRACE_PRINTF_LIKE(6, 7);

// Configures the module when nobody has yet; the thread that did it then
// records the command line (outside the one-time section, so that this
// line's own trace call finds the configuration done).
void EnsureConfigured()
{
    if (g_configured.load(std::memory_order_acquire))
        return;
    bool configuredHere = false;
    InitOnceExecuteOnce(&g_confOnce, Configure, &configuredHere, nullptr);
    g_configured.store(true, std::memory_order_release);
    if (configuredHere) {
        Trace(LOG_INFO, LOG_LEVEL_DETAIL, "_Log_InitTraceConf", 0, FALSE, "Command line : %s",
              GetCommandLineA());
    }
}

// The level filter. A line passes by its level, or, at the summary level,
// because it is a failed return line (*forFailure is then set).
bool Passes(int level, int configured, bool failed, bool *forFailure)
{
    *forFailure = false;
    if (level == LOG_LEVEL_SUMMARY ? configured == LOG_LEVEL_SUMMARY : level <= configured)
        return true;
    if (failed && configured == LOG_LEVEL_SUMMARY) {
        *forFailure = true;
        return true;
    }
    return false;
}

// "Thu Dec 10 08:43:46.123 : ": the first 19 characters of the ctime text,
// then the milliseconds.
void FormatTimeStamp(char *out, size_t size)
{
    static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(out, size, "%.3s %.3s %2u %02u:%02u:%02u.%03u : ", kDays[now.wDayOfWeek % 7],
             kMonths[(now.wMonth + 11) % 12], now.wDay, now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
}

// Only return lines carry a result; begin and message lines never fail.
bool Failed(int kind, unsigned long rv, int rvIsBool)
{
    return kind == LOG_RETURN && (rvIsBool ? rv != 1 : rv != 0);
}

void TraceV(int kind, int level, const char *function, unsigned long rv, int rvIsBool, const char *format,
            va_list args)
{
    const bool failed = Failed(kind, rv, rvIsBool);
    bool forFailure;
    if (!Passes(level, g_conf.level, failed, &forFailure))
        return;

    // The nesting follows the calls, whether or not their lines reach the file.
    const DWORD slot = g_depthSlot.load(std::memory_order_relaxed);
    const size_t depth = slot == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<uintptr_t>(TlsGetValue(slot));
    const vel::trace::LineDepth nesting = vel::trace::DepthOfLine(kind, depth, forFailure);
    if (slot != TLS_OUT_OF_INDEXES && nesting.after != depth)
        TlsSetValue(slot, reinterpret_cast<void *>(static_cast<uintptr_t>(nesting.after)));

    char path[kFilePathSize];
    int n =
        snprintf(path, sizeof path, TRACE_FILE_PATTERN, g_conf.folder,
                 static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return;

    // A message longer than a line is cut here already; the line then cuts
    // it again to make room for the ending.
    char message[kLineSize] = "";
    if (format)
        vsnprintf(message, sizeof message, format, args);
    char ending[48];
    if (kind == LOG_RETURN)
        snprintf(ending, sizeof ending, ") return rv=0x%08lX %s\n", rv, failed ? "error" : "");
    else
        snprintf(ending, sizeof ending, "%s", kind == LOG_BEGIN ? ") begin\n" : "\n");
    char stamp[40];
    FormatTimeStamp(stamp, sizeof stamp);

    char line[kLineSize];
    const size_t length = vel::trace::ComposeLine(
        line, sizeof line, stamp, nesting.indent, format ? (function ? function : "?") : "",
        kind == LOG_BEGIN || kind == LOG_RETURN ? '(' : ':', message, ending);

    FILE *file = fopen(path, "a");
    if (!file)
        return;
    fwrite(line, 1, length, file);
    fclose(file);
}

void Trace(int kind, int level, const char *function, unsigned long rv, int rvIsBool, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    TraceV(kind, level, function, rv, rvIsBool, format, args);
    va_end(args);
}

} // namespace

extern "C" void _Log_InitTraceConf(void)
{
    CallerErrorKeeper keep;
    EnsureConfigured();
}

extern "C" int _Log_WouldTrace(int kind, int level, unsigned long rv, int rvIsBool)
{
    if (!g_configured.load(std::memory_order_acquire)) {
        CallerErrorKeeper keep;
        EnsureConfigured();
    }
    if (g_conf.level == 0)
        return 0;
    bool forFailure;
    return Passes(level, g_conf.level, Failed(kind, rv, rvIsBool), &forFailure) ? 1 : 0;
}

extern "C" void _Log_Trace(int kind, int level, const char *function, unsigned long rv, int rvIsBool,
                           const char *format, ...)
{
    // Tracing off, once configured: nothing is touched, not even the last error.
    if (g_configured.load(std::memory_order_acquire) && g_conf.level == 0)
        return;
    CallerErrorKeeper keep;
    EnsureConfigured();
    if (g_conf.level == 0)
        return;
    va_list args;
    va_start(args, format);
    TraceV(kind, level, function, rv, rvIsBool, format, args);
    va_end(args);
}
