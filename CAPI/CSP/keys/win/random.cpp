#include "random.h"

#include <wincrypt.h>

#include "log_trace.h"

namespace csp::keys {

BOOL GenRandomFromOwnContext(DWORD dwLen, BYTE *pbBuffer, DWORD *pdwError)
{
    static const char kContainer[] = "randomKey";
    static const char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";
    HCRYPTPROV own = 0;
    BOOL ok = CryptAcquireContextA(&own, kContainer, kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    if (!ok && GetLastError() == static_cast<DWORD>(NTE_EXISTS)) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "CPGenRandom", 0, FALSE,
                   "CPGenRandom : Container exist, use it.... ");
        ok = CryptAcquireContextA(&own, kContainer, kProvider, PROV_RSA_FULL, 0);
    }
    if (ok) {
        ok = CryptGenRandom(own, dwLen, pbBuffer);
        const DWORD error = ok ? 0 : GetLastError();
        CryptReleaseContext(own, 0);
        SetLastError(error);
    }
    if (!ok) {
        *pdwError = GetLastError();
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "CPGenRandom", 0, FALSE, "0x%p, %u (error 0x%08x)",
                   static_cast<void *>(pbBuffer), unsigned(dwLen), unsigned(*pdwError));
    }
    return ok;
}

} // namespace csp::keys
