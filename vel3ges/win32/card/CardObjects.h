// The four searches of the card's objects on a session: a data object's
// value by label, a certificate's value by label (remembering its CKA_ID),
// the key that goes with the certificate read last, and whether the card
// holds exactly one certificate. Each sets lastRv and leaves call records.
#ifndef VEL3GES_CARD_CARDOBJECTS_H
#define VEL3GES_CARD_CARDOBJECTS_H

#include "pkcs11.h"

namespace vel {

struct CertificateId {
    CK_BYTE bytes[32];
    CK_ULONG length; // 0: none
};
// CKA_ID of the certificate read last; empty when it was not found or unusable.
extern CertificateId lastCertificateId;
void ClearLastCertificateId();

// Largest attribute value the card manager accepts (the card's objects are
// far smaller); a longer length is taken for a broken answer.
constexpr CK_ULONG kMaxAttributeLength = 1024 * 1024;

// On success *value (calloc'ed, exactly *length bytes, free() it) and *length
// are set; otherwise they are left untouched. lastRv ends as the result of
// C_FindObjectsFinal: judge the search by *value.
void ReadDataObject(CK_SESSION_HANDLE session, const char *label, bool isPrivate, CK_BYTE **value,
                    CK_ULONG *length);
// The technical certificate when `technical`, else the signature or the
// authentication certificate. *length is 0 when the value read failed.
void ReadCardCertificate(CK_SESSION_HANDLE session, CK_BYTE **value, CK_ULONG *length, bool signature,
                         bool technical);
// The private (or public) key whose CKA_ID is lastCertificateId.
void FindKeyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE *key, bool privateKey);
bool HasSingleCertificate(CK_SESSION_HANDLE session);

// The two-call read of one attribute (length, then value), the value call
// traced as C_GetAttributeValue when `traced`. Returns the result; on success
// *value is a calloc'ed buffer of *length bytes.
CK_RV ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, bool traced,
                    CK_BYTE **value, CK_ULONG *length);

} // namespace vel

#endif
