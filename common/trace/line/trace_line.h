// One line of the trace writer, made without any platform call: the
// nesting it is written at, and its text within a bound, cut in its middle
// when too long so that its ending (the result of a return line, the line
// end) is always there. Used by log_trace.cpp; tested natively.
#ifndef VEL_TRACE_LINE_H
#define VEL_TRACE_LINE_H

#include <cstddef>

namespace vel::trace {

// Longest line, line end included (the buffer holds one more byte, the NUL).
constexpr size_t kMaxLineLength = 4095;
// Written in place of the text cut out of an over-long line.
constexpr char kCutMark[] = "...";

// Where a line goes in its thread's nesting: the tabs it is written with,
// and the thread's depth after it. A begin line opens one level, a return
// line closes one (never below zero) unless it was written only because it
// failed (its begin line was not written); other kinds change nothing.
struct LineDepth {
    size_t indent;
    size_t after;
};
LineDepth DepthOfLine(int kind, size_t depth, bool writtenForFailure);

// The line: `stamp`, `indent` tabs, `name`, `opener` ('(' or ':'),
// `message`, `ending`, into `out` (`size` bytes, NUL-terminated). When it
// would be longer than kMaxLineLength (or than `size` - 1), the message is
// cut first, then the name, then the indentation, and kCutMark stands where
// text was cut; the stamp and the ending are kept whole (an ending longer
// than the room is the one thing cut, from its start). Returns the length.
size_t ComposeLine(char *out, size_t size, const char *stamp, size_t indent, const char *name, char opener,
                   const char *message, const char *ending);

} // namespace vel::trace

#endif
