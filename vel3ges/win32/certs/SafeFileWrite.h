// Writing a whole file so that the name chosen never holds a part of it:
// the bytes go to a new file beside it, which replaces the target only once
// it is written and closed. A failure leaves the target as it was.
#ifndef VEL3GES_CERTS_SAFEFILEWRITE_H
#define VEL3GES_CERTS_SAFEFILEWRITE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vel {

enum class WriteResult {
    Written,
    CannotCreate,  // no file could be made in the target's folder
    WriteFailed,   // the bytes could not all be written (disk full...)
    CannotReplace, // the target could not be replaced (read-only, in use...)
};

WriteResult WriteFileReplacing(const std::string &path, const uint8_t *bytes, size_t length);

} // namespace vel

#endif
