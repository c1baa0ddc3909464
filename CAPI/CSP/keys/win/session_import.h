// A session key that the card unwrapped, turned back into a CryptoAPI key: the
// plain key is wrapped again under an RSA key whose exponents are all one (so
// the "wrapping" leaves the PKCS#1 block as it is) and imported into a
// Microsoft provider context of the "importKey" container.
#ifndef CSP_KEYS_SESSION_IMPORT_H
#define CSP_KEYS_SESSION_IMPORT_H

#include <windows.h>
#include <wincrypt.h>

namespace csp::keys {

// Makes the exponent-one key in the "importKey" container of a provider.
//   provider  Microsoft provider name
//   phProv    receives the context (0 on failure)
//   phKey     receives the exponent-one key (0 on failure)
//   provType  the provider's type (PROV_RSA_AES for the AES provider)
// Returns TRUE; on failure nothing stays open and the last error is set.
BOOL CreatePrivateExponentOneKey(const char *provider, HCRYPTPROV *phProv, HCRYPTKEY *phKey,
                                 DWORD provType = PROV_RSA_FULL);

// Wraps a plain session key under the exponent-one key and imports it.
//   hProv, hPrivKey  the "importKey" context and its exponent-one key
//   algId            the session key's algorithm (must be one the provider lists)
//   pbKey, cbKey     the key bytes as the card returned them
//   phKey            receives the session key, exportable
// Returns TRUE; FALSE for an algorithm the provider does not list, a key
// longer than the algorithm's default length, or a CryptoAPI failure.
BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hPrivKey, ALG_ID algId, const BYTE *pbKey,
                            DWORD cbKey, HCRYPTKEY *phKey);

// The exponent-one keys of one provider context, made on first use and kept
// until the context goes (an imported session key lives in the importing
// context, which must therefore outlive the key handed to the caller).
class SessionKeyImporter {
public:
    SessionKeyImporter();
    SessionKeyImporter(const SessionKeyImporter &) = delete;
    SessionKeyImporter &operator=(const SessionKeyImporter &) = delete;
    ~SessionKeyImporter();

    // Imports an unwrapped session key: into the Base provider for a 40-bit RC2
    // key, into the AES provider for an AES key, else into the Enhanced provider.
    //   keyAlg      the session key's algorithm (the SIMPLEBLOB's)
    //   key, len    the unwrapped key
    //   phKey       receives the session key
    // Returns 0 or NTE_FAIL.
    DWORD Import(ALG_ID keyAlg, const BYTE *key, DWORD len, HCRYPTKEY *phKey);

private:
    struct ExponentOne {
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
    };
    CRITICAL_SECTION lock_; // not std::mutex: it allocates on first use
    ExponentOne base_, enhanced_, aes_;
};

} // namespace csp::keys

#endif
