// The DigestInfo that the card signs for a hash object of the Microsoft context.
#ifndef CSP_KEYS_FULL_HASH_H
#define CSP_KEYS_FULL_HASH_H

#include <windows.h>
#include <wincrypt.h>

#include "digest_info.h"

namespace csp::keys {

// Reads the hash's algorithm and value and builds its DigestInfo.
//   hHash  a hash object of a Microsoft context (its value is finalised)
//   out    the DigestInfo
// Returns 0; NTE_BAD_HASH when the hash's parameters cannot be read or its
// value is not the algorithm's length; NTE_BAD_ALGID for a hash the card
// cannot sign for (MAC, HMAC, ...).
DWORD BuildFullHash(HCRYPTHASH hHash, DigestInfo &out);

} // namespace csp::keys

#endif
