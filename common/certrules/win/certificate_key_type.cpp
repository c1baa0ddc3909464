#include "certificate_key_type.h"

#include <wincrypt.h>

#include "certificate_rules.h"

namespace certrules {

KeyTypeResult GetCertificateKeyType(const BYTE *der, DWORD length, DWORD encoding)
{
    const DWORD callerError = GetLastError();
    KeyTypeResult result;
    PCCERT_CONTEXT context = (der && length) ? CertCreateCertificateContext(encoding, der, length) : nullptr;
    if (!context) {
        result.outcome = KeyTypeOutcome::NotDecoded;
        result.error = (der && length) ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        SetLastError(callerError);
        return result;
    }
    BYTE usage[2] = {0, 0};
    if (CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, context->pCertInfo, usage,
                                sizeof usage)) {
        result.outcome = KeyTypeOutcome::Found;
        result.keySpec = KeyTypeFromKeyUsage(usage[0]);
    } else {
        result.outcome = KeyTypeOutcome::NoKeyUsage;
        result.error = GetLastError();
    }
    CertFreeCertificateContext(context);
    SetLastError(callerError);
    return result;
}

} // namespace certrules
