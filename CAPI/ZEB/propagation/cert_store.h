// The user's "MY" store side of propagation: adding one card certificate
// bound to the card's provider, removing it again, and removing every
// leftover binding to that provider.
#ifndef ZEB_CERT_STORE_H
#define ZEB_CERT_STORE_H

#include <windows.h>
#include <wincrypt.h>

#include <memory>

#include "slot_table.h"

namespace zeb {

// The provider the smart-card database names for the card type
// "Velcarte VEL3", else "Ovrane Cryptographic Provider".
//   out  260 wide characters
void CardProviderName(wchar_t out[260]);

// A verification context on the card provider held for as long as the
// object lives, acquired on first use: CryptoAPI then keeps the provider
// loaded between propagations instead of loading it anew for each
// certificate (each load of a provider costs memory and a handle under Wine).
class ProviderHold {
public:
    ProviderHold() = default;
    ~ProviderHold() { Release(); }
    ProviderHold(const ProviderHold &) = delete;
    ProviderHold &operator=(const ProviderHold &) = delete;
    // Acquires it unless held; false when the provider cannot be acquired.
    bool Ensure();
    void Release();

private:
    HCRYPTPROV prov_ = 0;
};

// Adds one certificate to the current user's "MY" store (replacing an equal
// one) with its key-provider binding: `container`, the card provider, type
// PROV_RSA_FULL, `keySpec`.
//   container  NUL-terminated ASCII container name
//   value, len the certificate's DER bytes
//   record     receives the record that finds it again
// Returns TRUE when added; FALSE with the failing step traced (and the
// thread's last error set) otherwise.
BOOL propCert(const char *container, const BYTE *value, DWORD len, std::unique_ptr<CertRecord> *record,
              DWORD keySpec);

// Removes from the store the certificate `record` names: the first entry of
// that issuer and serial number bound to the card provider (an entry of the
// same certificate bound to another provider, or to none, is not ours and
// stays). Returns TRUE when one was found and removed.
BOOL DeleteRecordedCert(const CertRecord &record);

// Removes from the user's "MY" store every certificate whose binding names
// the card provider exactly (case-sensitive). Returns FALSE when the store
// cannot be opened.
BOOL ZEB_cleanCAPICerts();

} // namespace zeb

#endif
