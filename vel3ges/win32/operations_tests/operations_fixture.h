// The test card of the operations' tests on the in-memory token: the three
// public data objects, three practice situations and the billing object,
// the authentication and signature certificates (or the technical one
// alone) with their key pairs; and a watch on the calls the token gets.
#ifndef VEL3GES_OPERATIONS_TESTS_OPERATIONS_FIXTURE_H
#define VEL3GES_OPERATIONS_TESTS_OPERATIONS_FIXTURE_H

#include <string>
#include <vector>

#include "fake_pkcs11.h"
#include "scripted_host.h"

namespace vel::ops {

enum class CardKind {
    Default,         // authentication and signature certificates
    SingleTechnical, // only the technical certificate
    NoSignature,     // authentication and technical certificates, no signature one
};

// Object handles of the keys (index + 1 in the token).
struct KeyHandles {
    CK_OBJECT_HANDLE authPrivate = 0, sigPrivate = 0, techPrivate = 0;
};

// What the watch saw.
struct Watch {
    std::vector<CK_OBJECT_HANDLE> signKeys; // key of every C_SignInit
    std::vector<CK_MECHANISM_TYPE> signMechanisms;
    std::vector<CK_ULONG> rawSignedLengths; // data length of each C_Sign with a buffer
    CK_ULONG partSignedBytes = 0;           // bytes given to C_SignUpdate
    int randomCalls = 0;
    CK_RV randomResult = CKR_OK;             // what C_GenerateRandom answers
    bool failCertificateSearchFinal = false; // C_FindObjectsFinal of a certificate search fails
    std::vector<std::string> dataLabelsSearched;
};

extern Watch g_watch;
extern KeyHandles g_keys;

// The certificate values on the card.
std::vector<CK_BYTE> AuthenticationCertificate();
std::vector<CK_BYTE> SignatureCertificate();
std::vector<CK_BYTE> TechnicalCertificate();

// A fresh token holding the card, the card layer bound to it with `ui`, a
// public session open on it, the watch reset, no sample file.
void SetUpCard(CardKind kind, OperationsUi &ui);

// The host's PIN presentation: logs the holder in on the token.
uint16_t LogInOnToken();

// A new empty folder for the files a test writes.
std::string NewTempFolder(const char *name);
std::vector<CK_BYTE> ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);
std::vector<std::string> FilesIn(const std::string &folder);

} // namespace vel::ops

#endif
