// The text of one session log of the card manager, kept in memory beside the
// edit control that shows it: lines ended by "\r\n", a line counter, a cap of
// 100000 bytes (with the terminating NUL) and, for the trace log, the stack
// of the lines where each PKCS#11 call record starts.
//
// When a line would pass the cap, the oldest lines go first: the journal and
// the diagnostic lose their oldest line after the 4 header lines, the trace
// its oldest call record (from the first recorded start to the line before
// the second). Trimming always ends: a trace with fewer than two records
// falls back to the oldest line after the header, and a log with nothing left
// to remove (or a data log, which is rebuilt at each reading) drops the new
// line instead. No platform header: built and tested natively too.
#ifndef VEL3GES_APP_PANELOG_H
#define VEL3GES_APP_PANELOG_H

#include <cstddef>
#include <string>
#include <vector>

namespace vel {

class PaneLog {
public:
    enum class TrimRule {
        OldestLine,   // journal, diagnostic
        OldestRecord, // trace
        None,         // data parts: a line that does not fit is dropped
    };
    static constexpr size_t kCapacity = 100000; // bytes, terminating NUL included
    static constexpr unsigned kHeaderLines = 4; // never trimmed

    explicit PaneLog(TrimRule rule, size_t capacity = kCapacity) : rule_(rule), capacity_(capacity) {}

    const std::string &Text() const { return text_; }
    unsigned LineCount() const { return lines_; }

    // Appends `line` and "\r\n". Rewritten: lines were removed first (see
    // LastErasures); Dropped: the line did not fit and nothing changed.
    enum class Change { Appended, Rewritten, Dropped };
    Change Append(const std::string &line);

    // Removes lines first..last (0-based, both included; `last` past the end
    // means to the end). Lowers the counter by the lines actually removed and
    // moves the trace record starts that lie after them.
    void Trim(unsigned first, unsigned last);

    // What the last Append or Trim removed, in order, each range taken from
    // the text as it was just before that removal: a view of the text can
    // follow with the same few edits instead of taking the whole text again.
    struct Erasure {
        size_t offset, length;
        unsigned lines;
    };
    const std::vector<Erasure> &LastErasures() const { return erasures_; }
    // Empties the text, the counter and the record starts.
    void Clear();

    // Trace: the current line count becomes the start of a call record.
    void PushRecordStart() { recordStarts_.push_back(lines_); }
    const std::vector<unsigned> &RecordStarts() const { return recordStarts_; }

private:
    bool TrimOnce(); // false when nothing could be removed
    void Erase(unsigned first, unsigned last);
    size_t OffsetOfLine(unsigned line) const; // text.size() when past the end

    TrimRule rule_;
    size_t capacity_;
    std::string text_;
    unsigned lines_ = 0;
    std::vector<unsigned> recordStarts_;
    std::vector<Erasure> erasures_;
};

} // namespace vel

#endif
