// Trace files of the provider and of the tray program: one file per process
// and thread in the data folder's "log" subfolder, one line per call entry,
// intermediate fact and return, nested by one TAB per open call. The level
// comes once per process from the DWORD value "Traces" of the deliverable's
// key (HKEY_LOCAL_MACHINE, overridden by HKEY_CURRENT_USER; a value of
// another type counts as absent). The key and the file name pattern are fixed when the library is built (vel_trace_csp,
// vel_trace_zeb).
#ifndef VEL_LOG_TRACE_H
#define VEL_LOG_TRACE_H

#include <stdio.h> // __MINGW_PRINTF_FORMAT: the printf flavour our vsnprintf follows

#ifdef __cplusplus
extern "C" {
#endif

// Line kinds (first argument of _Log_Trace); any other value is written as
// LOG_INFO.
enum LogLineKind {
    LOG_BEGIN = 1, // "name(message) begin", then one level deeper
    LOG_INFO = 2,  // "name:message"
    LOG_RETURN = 3 // one level back, "name(message) return rv=0x%08lX [error]"
};

// Levels: a smaller number is more important.
enum LogLevel {
    LOG_LEVEL_SUMMARY = 5, // written only inside lsass.exe, with every failed return
    LOG_LEVEL_UI = 10,
    LOG_LEVEL_FUNCTION = 40,
    LOG_LEVEL_DETAIL = 50,
    LOG_LEVEL_HANDLES = 80
};

// Reads the configuration once per process; later calls return at once.
// _Log_Trace calls it itself.
void _Log_InitTraceConf(void);

// Whether _Log_Trace would write a line of this kind and level with this
// result (a failed return line passes at the summary level): callers that
// build a message of their own ask first, so that a filtered line costs no
// formatting. Configures the module as _Log_Trace does; never changes the
// caller's last error or errno. The answer holds for the life of the process.
int _Log_WouldTrace(int kind, int level, unsigned long rv, int rvIsBool);

// Writes one trace line when the configured level lets it through; never
// reports anything, never changes the caller's last error or errno. A line
// holds at most 4,095 bytes, its line end included: a longer one is cut in
// its message (then its name, then its indentation), "..." marking the cut,
// and keeps its ending, so a return line is never lost and the nesting
// after it stays right.
//   kind      a LogLineKind
//   level     a LogLevel
//   function  name written in the line ("?" when NULL)
//   rv        the traced result (return lines; 0 elsewhere)
//   rvIsBool  nonzero: rv is a BOOL, only 1 succeeds; zero: rv is a status
//             code, only 0 succeeds
//   format    printf format of the message, or NULL for none (the name is
//             then left out too)
#ifdef __MINGW_PRINTF_FORMAT
__attribute__((format(__MINGW_PRINTF_FORMAT, 6, 7)))
#else
__attribute__((format(printf, 6, 7)))
#endif
void _Log_Trace(int kind, int level, const char *function, unsigned long rv, int rvIsBool,
                const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
