// The tray program's readable history: time-stamped lines appended to the
// file named by the "logfile" setting. An empty path turns it off.
#ifndef ZEB_EVENT_LOG_H
#define ZEB_EVENT_LOG_H

#include <stdio.h> // __MINGW_PRINTF_FORMAT

// Sets the event-log path (the "logfile" setting), cut to 259 characters.
//   path  the file to append to; NULL or "" turns the log off
void SetEventLogPath(const char *path);

// Appends "hh:mm:ss.mmm text\n" to the event-log file; the text is formatted
// printf-style and cut at 3,071 characters. Lines from several threads are
// written one whole line at a time. Never reports a failure: no path, no
// memory or a file that does not open drop the line.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void WriteEventLog(const char *format, ...);

#endif
