// How a card certificate is bound to the provider: its container name and
// its key spec, the same rules the provider applies to find the card again.
#ifndef ZEB_CONTAINER_RULES_H
#define ZEB_CONTAINER_RULES_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace zeb {

// Room for the longest container name the provider serves (511) and its NUL.
constexpr size_t kContainerNameSize = 512;

// The bytes of a DER subject that lie in 0x21..0x7E, in order, NUL-terminated.
// False (out empty) when they do not fit outSize - 1 characters.
bool ContainerNameFromSubject(const uint8_t *subject, size_t len, char *out, size_t outSize);

// AT_SIGNATURE when the certificate's key usage has nonRepudiation,
// AT_KEYEXCHANGE when it is readable without it, 0 when it cannot be read.
DWORD GetCertificateKeyType(const BYTE *value, DWORD len);

}  // namespace zeb

#endif
