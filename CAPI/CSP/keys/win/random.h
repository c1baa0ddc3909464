// Random bytes for a provider context, from a Microsoft provider context of
// their own.
#ifndef CSP_KEYS_RANDOM_H
#define CSP_KEYS_RANDOM_H

#include <windows.h>

namespace csp::keys {

// Fills pbBuffer with dwLen random bytes from the Enhanced provider's
// "randomKey" container (created on first use and kept; no key is ever made in
// it), released again before returning.
// Failures: the failing CryptoAPI call's error in *pdwError.
BOOL GenRandomFromOwnContext(DWORD dwLen, BYTE *pbBuffer, DWORD *pdwError);

} // namespace csp::keys

#endif
