// The session services of the card manager on the current session: PIN
// unblock and change, signing and verification (one call or 256-byte
// parts), slot and token information. Each reports through lastRv.
#ifndef VEL3GES_CARD_CARDSERVICES_H
#define VEL3GES_CARD_CARDSERVICES_H

#include <string>

#include "padded_field.h"
#include "pkcs11.h"

namespace vel {

// Path of the file whose bytes the signing tests sign (built at start-up);
// empty or missing: the built-in 700-byte sample.
extern std::string g_sampleFilePath;

// The built-in sample: 652 bytes of text lines then 48 zero bytes.
constexpr size_t kBuiltInSampleLength = 700;
const CK_BYTE *BuiltInSample();

// The unblock code and the new PIN are only read; the caller wipes them.
void ServiceUnblockPin(const char *unblockCode, const char *newPin);
void ServiceChangePin(const char *oldPin, const char *newPin);

void SignInParts(CK_SESSION_HANDLE session, CK_ULONG dataLength, const CK_BYTE *data,
                 CK_ULONG *signatureLength, CK_BYTE *signature, const CK_MECHANISM *mechanism,
                 CK_OBJECT_HANDLE key);
void VerifyInParts(CK_SESSION_HANDLE session, CK_ULONG dataLength, const CK_BYTE *data,
                   CK_ULONG signatureLength, const CK_BYTE *signature, const CK_MECHANISM *mechanism,
                   CK_OBJECT_HANDLE key);
// mode 1: the whole sample; mode 2 (CKM_RSA_PKCS only): 0.4 x the key's
// modulus length of it, signed raw.
void SignSample(CK_SESSION_HANDLE session, CK_ULONG *signatureLength, CK_BYTE *signature,
                CK_MECHANISM_TYPE mechanism, int mode);
void VerifySample(CK_SESSION_HANDLE session, CK_ULONG signatureLength, const CK_BYTE *signature,
                  CK_MECHANISM_TYPE mechanism, int mode);

void ReadSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO *info);
void ReadTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO *info);

} // namespace vel

#endif
