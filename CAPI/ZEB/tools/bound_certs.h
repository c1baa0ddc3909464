// The certificates of the current user's "MY" store bound to one provider,
// read back as any CryptoAPI application reads them (tests, demo, benchmark).
#ifndef ZEB_TOOLS_BOUND_CERTS_H
#define ZEB_TOOLS_BOUND_CERTS_H

#include <windows.h>

#include <string>
#include <vector>

namespace zebtools {

extern const wchar_t kCardProvider[]; // "Ovrane Cryptographic Provider"

struct BoundCert {
    std::vector<BYTE> der;
    std::string subject; // X.500 text of the subject
    std::wstring provider;
    std::wstring container;
    DWORD provType = 0;
    DWORD keySpec = 0;
};

// Every certificate of "MY" whose key-provider binding names `provider`
// exactly; empty when the store cannot be opened.
std::vector<BoundCert> ReadBoundCerts(const wchar_t *provider = kCardProvider);

} // namespace zebtools

#endif
