// Reader names as the monitor keeps them: at most kMaxReaders, each cut to
// kMaxReaderName - 1 characters, read from a PC/SC multi-string that may be
// unterminated; and the width of the slot descriptions they are matched with
// (vel::PaddedFieldEquals). Platform-free.
#ifndef ZEB_PCSC_READER_NAMES_H
#define ZEB_PCSC_READER_NAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeb {

const size_t kMaxReaders = 20;
const size_t kMaxReaderName = 128;

// The names of a multi-string of `size` characters, in order: it ends at an
// empty name or at the end of the buffer; names after the 20th are dropped.
std::vector<std::string> ParseReaderList(const char *multi, size_t size);

// A slot description holds only the first kSlotDescriptionWidth characters
// of a longer reader name.
const size_t kSlotDescriptionWidth = 64;

} // namespace zeb

#endif
