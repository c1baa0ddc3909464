// The key-spec rule through the platform's own certificate decoder, as the
// provider and the tray program apply it (CertCreateCertificateContext, then
// CertGetIntendedKeyUsage on 2 bytes). The caller traces the outcome.
#ifndef VEL_CERTRULES_CERTIFICATE_KEY_TYPE_H
#define VEL_CERTRULES_CERTIFICATE_KEY_TYPE_H

#include <windows.h>
#include <wincrypt.h>

namespace certrules {

enum class KeyTypeOutcome {
    Found,      // keySpec is AT_SIGNATURE or AT_KEYEXCHANGE
    NotDecoded, // CertCreateCertificateContext failed; error holds its last error
    NoKeyUsage  // CertGetIntendedKeyUsage returned FALSE
};

struct KeyTypeResult {
    DWORD keySpec = 0; // 0 unless Found
    KeyTypeOutcome outcome = KeyTypeOutcome::NotDecoded;
    DWORD error = 0;
};

//   der/length  the certificate's DER value (NULL or 0: NotDecoded)
//   encoding    the encoding type given to CertCreateCertificateContext
// Leaves the caller's last error as it found it.
KeyTypeResult GetCertificateKeyType(const BYTE *der, DWORD length,
                                    DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);

} // namespace certrules

#endif
