#include "trace_line.h"

#include <cstring>
#include <initializer_list>

namespace vel::trace {

namespace {
// The trace writer's own line kinds (log_trace.h).
constexpr int kBegin = 1;
constexpr int kReturn = 3;

size_t Length(const char *text)
{
    return text ? std::strlen(text) : 0;
}

class Writer {
public:
    Writer(char *out, size_t room) : out_(out), room_(room) {}
    void Put(const char *text, size_t n)
    {
        if (n > room_ - used_)
            n = room_ - used_;
        std::memcpy(out_ + used_, text, n);
        used_ += n;
    }
    void Repeat(char c, size_t n)
    {
        if (n > room_ - used_)
            n = room_ - used_;
        std::memset(out_ + used_, c, n);
        used_ += n;
    }
    size_t Used() const { return used_; }

private:
    char *out_;
    size_t room_;
    size_t used_ = 0;
};
} // namespace

LineDepth DepthOfLine(int kind, size_t depth, bool writtenForFailure)
{
    if (kind == kBegin)
        return {depth, depth + 1};
    if (kind == kReturn && !writtenForFailure && depth > 0)
        return {depth - 1, depth - 1};
    return {depth, depth};
}

size_t ComposeLine(char *out, size_t size, const char *stamp, size_t indent, const char *name, char opener,
                   const char *message, const char *ending)
{
    if (!out || size == 0)
        return 0;
    const size_t room = size - 1 < kMaxLineLength ? size - 1 : kMaxLineLength;
    size_t nameLength = Length(name), messageLength = Length(message), endingLength = Length(ending);
    const size_t markLength = sizeof kCutMark - 1;
    // The ending stays whole; only one longer than the whole room loses its start.
    if (endingLength > room) {
        ending += endingLength - room;
        endingLength = room;
    }

    // Everything before the ending, bounded so that the ending fits after it.
    Writer w(out, room - endingLength);
    w.Put(stamp, Length(stamp));
    const size_t left = room - endingLength - w.Used();
    const size_t whole = indent + nameLength + 1 + messageLength;
    const bool cut = whole > left;
    if (cut) {
        // The opener and the mark stay; the message gives way first, then
        // the name, then the indentation.
        size_t keep = left > 1 + markLength ? left - 1 - markLength : 0;
        size_t cutBy = indent + nameLength + messageLength - keep;
        for (size_t *part : {&messageLength, &nameLength, &indent}) {
            size_t n = cutBy < *part ? cutBy : *part;
            *part -= n;
            cutBy -= n;
        }
    }
    w.Repeat('\t', indent);
    w.Put(name, nameLength);
    w.Put(&opener, 1);
    w.Put(message, messageLength);
    if (cut)
        w.Put(kCutMark, markLength);

    size_t used = w.Used();
    std::memcpy(out + used, ending, endingLength);
    used += endingLength;
    out[used] = '\0';
    return used;
}

} // namespace vel::trace
