// Test support: the current user's "MY" store as crypt32 shows it to any
// application, the expected card certificates, and condition waits.
#ifndef ZEB_TESTS_STORE_VIEW_H
#define ZEB_TESTS_STORE_VIEW_H

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "bound_certs.h"
#include "wait_until.h"

namespace zebtest {

using zebtools::BoundCert;
constexpr const wchar_t *kProvider = zebtools::kCardProvider;

// Every certificate of "MY" bound to `provider`.
inline std::vector<BoundCert> BoundCerts(const wchar_t *provider = kProvider)
{
    return zebtools::ReadBoundCerts(provider);
}
// Their DER values as a set (compared with the cards' certificates).
std::set<std::vector<BYTE>> BoundDers(const wchar_t *provider = kProvider);
// Empties "MY".
void ClearMy();
// Adds `der` to "MY" bound to `provider` (another component's certificate).
void AddBound(const std::vector<BYTE> &der, const wchar_t *provider, const wchar_t *container);
// Adds `der` to "MY" with no key-provider information (a certificate the
// user imported without its key), replacing an equal one.
void AddUnbound(const std::vector<BYTE> &der);
// The DER values of "MY"'s certificates that have no key-provider information.
std::set<std::vector<BYTE>> UnboundDers();
// Another certificate of the same issuer and serial number as `der` (its
// last signature byte changed, which no store checks): a separate entry of
// "MY" that a search by issuer and serial also finds.
std::vector<BYTE> SameIssuerAndSerial(const std::vector<BYTE> &der);

// A card's certificates (DER files made at build time from the software
// card's keys: auth, sign, auth1024, sign1024, tech).
std::vector<BYTE> CardCert(const char *name);
std::set<std::vector<BYTE>> Certs(std::initializer_list<const char *> names);

// Waits until a condition holds, up to `ms` scaled: the tests' one wait.
using vel_test::WaitUntil;

// Registers the card provider of this build (regsvr32): the tray acquires a
// verification context on it for each certificate. False when it fails.
bool RegisterProvider();
// Takes it out of the registry again: every addition to the store then fails.
bool UnregisterProvider();

// Registry key of the tray's settings, removed under both roots.
void RemoveSettingsKeys();
void SetUserDword(const char *name, DWORD value);
void SetUserString(const char *name, const char *value);

// An entry of the user's own for a certificate of the default card: the
// card's entry bound by the user to another provider or stripped of its
// key binding while the card is in (it is ours no more), or another
// certificate of the same issuer and serial there before the card (beside
// ours). Not the tray's to remove.
struct UsersEntry {
    const char *what;
    bool before;             // made before the card comes, else while it is in
    std::vector<BYTE> der;   // the certificate
    const wchar_t *provider; // its binding; null: none
};
std::vector<UsersEntry> UsersEntriesOfTheDefaultCard();
void AddUsersEntry(const UsersEntry &entry);
// True when "MY" holds it, with the binding it was made with.
bool HoldsUsersEntry(const UsersEntry &entry);

// A whole file's bytes; empty when it cannot be read.
std::string ReadText(const std::string &path);

} // namespace zebtest

#endif
