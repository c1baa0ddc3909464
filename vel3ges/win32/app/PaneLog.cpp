#include "PaneLog.h"

namespace vel {

size_t PaneLog::OffsetOfLine(unsigned line) const
{
    size_t offset = 0;
    for (unsigned n = 0; n < line; ++n) {
        size_t lf = text_.find('\n', offset);
        if (lf == std::string::npos)
            return text_.size();
        offset = lf + 1;
    }
    return offset;
}

void PaneLog::Trim(unsigned first, unsigned last)
{
    erasures_.clear();
    Erase(first, last);
}

void PaneLog::Erase(unsigned first, unsigned last)
{
    if (last < first || first >= lines_)
        return;
    if (last >= lines_)
        last = lines_ - 1;
    const size_t from = OffsetOfLine(first);
    const size_t to = OffsetOfLine(last + 1);
    text_.erase(from, to - from);
    const unsigned removed = last - first + 1;
    erasures_.push_back(Erasure{from, to - from, removed});
    lines_ -= removed;

    // Record starts inside the removed lines go; later ones move down.
    std::vector<unsigned> kept;
    kept.reserve(recordStarts_.size());
    for (unsigned start : recordStarts_) {
        if (start < first)
            kept.push_back(start);
        else if (start > last)
            kept.push_back(start - removed);
    }
    recordStarts_.swap(kept);
}

bool PaneLog::TrimOnce()
{
    if (rule_ == TrimRule::None)
        return false;
    if (rule_ == TrimRule::OldestRecord && recordStarts_.size() >= 2 && recordStarts_[0] >= kHeaderLines &&
        recordStarts_[1] > recordStarts_[0] && recordStarts_[0] < lines_) {
        Erase(recordStarts_[0], recordStarts_[1] - 1);
        return true;
    }
    if (lines_ > kHeaderLines) {
        Erase(kHeaderLines, kHeaderLines);
        return true;
    }
    return false;
}

PaneLog::Change PaneLog::Append(const std::string &line)
{
    // The line, its "\r\n" and the terminating NUL must fit.
    const size_t need = line.size() + 3;
    erasures_.clear();
    if (need > capacity_)
        return Change::Dropped;
    bool rewritten = false;
    while (text_.size() + need > capacity_) {
        if (!TrimOnce())
            return rewritten ? Change::Rewritten : Change::Dropped;
        rewritten = true;
    }
    // One line of text is one counted line: a stray line end would shift every
    // line number that the trace records and the data sections rely on.
    for (char ch : line)
        text_.push_back(ch == '\r' || ch == '\n' ? ' ' : ch);
    text_ += "\r\n";
    ++lines_;
    return rewritten ? Change::Rewritten : Change::Appended;
}

void PaneLog::Clear()
{
    erasures_.clear();
    text_.clear();
    lines_ = 0;
    recordStarts_.clear();
}

} // namespace vel
