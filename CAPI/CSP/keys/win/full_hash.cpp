#include "full_hash.h"

#include "key_codes.h"
#include "log_trace.h"
#include "trace_scope.h"

namespace csp::keys {

DWORD BuildFullHash(HCRYPTHASH hHash, DigestInfo &out)
{
    static const char kName[] = "HandleContainer::BuildFullHash";
    TraceScope trace(LOG_LEVEL_DETAIL, kName, TRUE, "0x%08lx, 0x%p", static_cast<unsigned long>(hHash),
                     static_cast<void *>(&out));
    DWORD error = 0;
    DWORD algId = 0, hashSize = 0, len = sizeof(DWORD);
    BYTE value[64];
    if (!CryptGetHashParam(hHash, HP_ALGID, reinterpret_cast<BYTE *>(&algId), &len, 0) ||
        (len = sizeof(DWORD),
         !CryptGetHashParam(hHash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize), &len, 0))) {
        error = kNteBadHash;
    } else if (!FindDigestAlgorithm(algId)) {
        error = kNteBadAlgid;
    } else if (hashSize > sizeof(value)) {
        error = kNteBadHash;
    } else {
        len = hashSize;
        if (!CryptGetHashParam(hHash, HP_HASHVAL, value, &len, 0))
            error = kNteBadHash;
        else
            error = BuildDigestInfo(algId, value, len, out);
    }
    trace.Return(error == 0, "0x%08lx, 0x%p, 0x%08lx", static_cast<unsigned long>(hHash),
                 static_cast<void *>(&out), static_cast<unsigned long>(error));
    return error;
}

} // namespace csp::keys
