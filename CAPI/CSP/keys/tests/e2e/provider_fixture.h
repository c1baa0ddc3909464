// Test support for the provider's key work under Wine, beside the provider's
// own (csp_test_support.h: registration, private card state, call log): the
// files shared with the host-side openssl scripts, and the card's
// certificates in the user's "MY" store bound to the provider as the tray
// program binds them.
#ifndef CSP_KEYS_TESTS_PROVIDER_FIXTURE_H
#define CSP_KEYS_TESTS_PROVIDER_FIXTURE_H

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>
#include <vector>

#include "csp_test_support.h"

namespace keys_test {

using Bytes = std::vector<BYTE>;

// A file of the artifact folder shared with the openssl scripts.
Bytes ReadArtifact(const char *name);
void WriteArtifact(const std::string &name, const Bytes &bytes);

Bytes Reversed(Bytes b);

// Runs call with the last error at 0xdeadbeef first; expects FALSE and code.
void ExpectFailure(const char *what, DWORD code, const std::function<BOOL()> &call);

// The functions of the card's call log, in order.
std::vector<std::string> CallNames();

// The card's two certificates in the current user's "MY" store with key-provider
// information naming the provider, each certificate's own container name (from
// its subject, as the tray binds them) and its key spec; removed again by the
// destructor.
class CertificatesInMyStore {
public:
    CertificatesInMyStore();
    ~CertificatesInMyStore();
    PCCERT_CONTEXT auth() const { return m_auth; } // AT_KEYEXCHANGE
    PCCERT_CONTEXT sign() const { return m_sign; } // AT_SIGNATURE

private:
    PCCERT_CONTEXT Add(const Bytes &der, DWORD keySpec);
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_auth = nullptr, m_sign = nullptr;
};

} // namespace keys_test

#endif
