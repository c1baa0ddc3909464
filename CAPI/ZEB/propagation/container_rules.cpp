#include "container_rules.h"

#include <wincrypt.h>

#include "log_trace.h"

namespace zeb {

bool ContainerNameFromSubject(const uint8_t *subject, size_t len, char *out, size_t outSize) {
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    if (subject[i] < 0x21 || subject[i] > 0x7E) continue;
    if (n + 1 >= outSize) {
      out[0] = '\0';
      return false;
    }
    out[n++] = static_cast<char>(subject[i]);
  }
  out[n] = '\0';
  return true;
}

DWORD GetCertificateKeyType(const BYTE *value, DWORD len) {
  _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "GetCertificateKeyType", 0, FALSE, "%s", "");
  PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, value, len);
  if (!c) {
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "GetCertificateKeyType", 1, FALSE,
               "CertCreateCertificateContext error: 0x%08x", (unsigned)GetLastError());
    return 0;
  }
  BYTE usage[2] = {0, 0};
  BOOL read = CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, c->pCertInfo, usage, sizeof usage);
  CertFreeCertificateContext(c);
  if (!read) {
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "GetCertificateKeyType", FALSE, TRUE, "Unable to get key usage");
    return 0;
  }
  _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "GetCertificateKeyType", TRUE, TRUE, "%s", "");
  return (usage[0] & CERT_NON_REPUDIATION_KEY_USAGE) ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

}  // namespace zeb
