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

// The reader each slot description stands for. Readers of one long-named
// model differ only after the description's width (their names end in an
// index), and the library lists their slots in the order PC/SC lists the
// readers: each description goes to the first reader whose name it holds
// that no earlier description took. When every such reader has one already,
// it goes to the first of them again (a reader the library lists twice ends
// with its later slot).
//   descriptions  slot descriptions in the library's order, as the library
//                 gave them (blank- or NUL-padded; their first
//                 kSlotDescriptionWidth bytes are read)
//   readers       reader names in PC/SC's order
// Returns one reader index per description, -1 when it holds no reader's name.
std::vector<int> ReadersOfDescriptions(const std::vector<std::string> &descriptions,
                                       const std::vector<std::string> &readers);

} // namespace zeb

#endif
