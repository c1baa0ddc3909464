// Test support: the current user's "MY" store as crypt32 shows it to any
// application, the expected card certificates, and condition waits.
#ifndef ZEB_TESTS_STORE_VIEW_H
#define ZEB_TESTS_STORE_VIEW_H

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace zebtest {

extern const wchar_t kProvider[];  // "Ovrane Cryptographic Provider"

struct BoundCert {
  std::vector<BYTE> der;
  std::wstring provider;
  std::wstring container;
  DWORD provType = 0;
  DWORD keySpec = 0;
};

// Every certificate of "MY" bound to `provider`.
std::vector<BoundCert> BoundCerts(const wchar_t *provider = kProvider);
// Their DER values as a set (compared with the cards' certificates).
std::set<std::vector<BYTE>> BoundDers(const wchar_t *provider = kProvider);
// Empties "MY".
void ClearMy();
// Adds `der` to "MY" bound to `provider` (another component's certificate).
void AddBound(const std::vector<BYTE> &der, const wchar_t *provider, const wchar_t *container);

// A card's certificates (DER files made at build time from the software
// card's keys: auth, sign, auth1024, sign1024, tech).
std::vector<BYTE> CardCert(const char *name);
std::set<std::vector<BYTE>> Certs(std::initializer_list<const char *> names);

// Waits until `pred` holds, up to `ms` times the machine's scale
// (VEL_TEST_TIME_SCALE, default 1); checks every 20 ms.
bool WaitUntil(const std::function<bool()> &pred, DWORD ms);

// Registry key of the tray's settings, removed under both roots.
void RemoveSettingsKeys();
void SetUserDword(const char *name, DWORD value);
void SetUserString(const char *name, const char *value);

}  // namespace zebtest

#endif
