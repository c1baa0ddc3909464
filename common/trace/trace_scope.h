// One traced call: its begin line written at once, its return line when the
// scope ends, at every exit (an exception included), one level deeper in
// between. The return line carries the result and message last given to
// Return; without one, a failure with an empty message. A message is
// formatted only when the trace writer would write its line.
#ifndef VEL_TRACE_SCOPE_H
#define VEL_TRACE_SCOPE_H

#include <cstdarg>
#include <cstdio>
#include <string>

#include "log_trace.h"

#ifdef __MINGW_PRINTF_FORMAT
#define VEL_TRACE_SCOPE_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define VEL_TRACE_SCOPE_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

class TraceScope {
public:
    //   level     a LogLevel, for both lines
    //   function  the name both lines show (kept, not copied)
    //   rvIsBool  nonzero: results are BOOLs (1 succeeds), else status codes (0 succeeds)
    //   format    the begin line's message
    VEL_TRACE_SCOPE_FORMAT(5, 6)
    TraceScope(int level, const char *function, int rvIsBool, const char *format, ...)
        : level_(level), function_(function), rvIsBool_(rvIsBool), returnIsBool_(rvIsBool),
          rv_(rvIsBool ? 0 : 1)
    {
        if (!_Log_WouldTrace(LOG_BEGIN, level_, 0, 0))
            return;
        va_list ap;
        va_start(ap, format);
        const std::string message = Format(format, ap);
        va_end(ap);
        _Log_Trace(LOG_BEGIN, level_, function_, 0, 0, "%s", message.c_str());
    }
    ~TraceScope() { _Log_Trace(LOG_RETURN, level_, function_, rv_, returnIsBool_, "%s", message_.c_str()); }
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

    // The return line's result and message, for the exit that follows.
    VEL_TRACE_SCOPE_FORMAT(3, 4) void Return(unsigned long rv, const char *format, ...)
    {
        va_list ap;
        va_start(ap, format);
        Give(rvIsBool_, rv, format, ap);
        va_end(ap);
    }
    // The same with a result of the other kind for this exit (a status code
    // where results are BOOLs, or the reverse): some traced calls mix them.
    VEL_TRACE_SCOPE_FORMAT(4, 5) void ReturnAs(int rvIsBool, unsigned long rv, const char *format, ...)
    {
        va_list ap;
        va_start(ap, format);
        Give(rvIsBool, rv, format, ap);
        va_end(ap);
    }

private:
    VEL_TRACE_SCOPE_FORMAT(4, 0) void Give(int rvIsBool, unsigned long rv, const char *format, va_list ap)
    {
        rv_ = rv;
        returnIsBool_ = rvIsBool;
        // Whether the line passes can depend on the result (failures at the summary level).
        if (!_Log_WouldTrace(LOG_RETURN, level_, rv_, returnIsBool_)) {
            message_.clear();
            return;
        }
        message_ = Format(format, ap);
    }
    VEL_TRACE_SCOPE_FORMAT(1, 0) static std::string Format(const char *format, va_list ap)
    {
        va_list again;
        va_copy(again, ap);
        char small[256];
        const int n = std::vsnprintf(small, sizeof small, format, ap);
        std::string out;
        if (n >= static_cast<int>(sizeof small)) {
            out.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(&out[0], out.size(), format, again);
            out.resize(static_cast<size_t>(n));
        } else if (n > 0) {
            out.assign(small, static_cast<size_t>(n));
        }
        va_end(again);
        return out;
    }

    int level_;
    const char *function_;
    int rvIsBool_;
    int returnIsBool_; // the kind of the result given last
    unsigned long rv_;
    std::string message_;
};

#undef VEL_TRACE_SCOPE_FORMAT

#endif
