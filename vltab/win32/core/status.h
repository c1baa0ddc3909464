// The 16-bit result and load-status codes of the dictionary exports.
#ifndef VLTAB_STATUS_H
#define VLTAB_STATUS_H

#include <cstdint>

namespace vltab {

enum : uint16_t {
    kOk = 0,
    kCannotOpen = 2, // load status: no file, the built-in copy answers
    kReadError = 6,  // load status: read or close error, the built-in copy answers
    kUnknownTable = 12,
    kOutOfMemory = 14, // nothing loaded; the next call loads again
    kBadArgument = 15,
    kDigestMismatch = 18, // load status: the built-in copy answers
    kBadLine = 20,        // load status: line too long or outside the format
    kNotFound = 255,
};

} // namespace vltab

#endif
