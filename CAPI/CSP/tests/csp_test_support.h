// Test support: the provider registered with CryptoAPI and reached only
// through advapi32, over a private software-card state file per program; the
// files shared with the host-side openssl scripts, and the card's
// certificates in the user's "MY" store bound to the provider as the tray
// program binds them.
#ifndef VEL_CSP_TESTS_SUPPORT_H
#define VEL_CSP_TESTS_SUPPORT_H

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace csp_test {

extern const char kProvider[];      // "Ovrane Cryptographic Provider"
extern const char kAuthContainer[]; // the default card's container name (first certificate)
extern const char kSignContainer[]; // its signature certificate's, as the tray binds that one

// The provider library's full Windows path (beside the test program's tree).
std::string ProviderPath();
// regsvr32 (this process's width) with the given switches; its exit code.
int RunRegsvr32(const std::string &switches);
// Registers the provider and gives this process a fresh card state with the call log on.
void SetUpCard(const char *tag);

// A test suite on the card: the provider registered and a private card state
// named after the suite; before each test the card is reset and its call log
// turned on and cleared.
class CardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
};

// Runs the softcard control program; its exit code.
int Ctl(const std::string &args);
// Lines of the card's call log naming this function ("C_Finalize", ...; "" counts every call).
int CountCalls(const char *function);
// The whole call log; and a clear one.
std::string CallLog();
void ClearLog();

// CryptAcquireContextA on our provider with GetLastError set to 0xdeadbeef first.
struct Acquired {
    BOOL ok;
    DWORD error;
    HCRYPTPROV prov;
};
Acquired Acquire(const char *container, DWORD flags);
// CryptReleaseContext with the same check; the error after it (0xdeadbeef when untouched).
BOOL Release(HCRYPTPROV prov, DWORD *error = nullptr);

// CryptGetProvParam: the bytes (text answers without their NUL) and the error.
struct Param {
    BOOL ok;
    DWORD error;
    std::string bytes;
    DWORD size;
};
Param GetParam(HCRYPTPROV prov, DWORD param, DWORD flags = 0);

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

} // namespace csp_test

#endif
