// The small steps every card access goes through: single attribute reads and
// object searches (pkcs_objects.cpp), the login check, the login with its
// PIN prompt and the prompt's texts (pkcs_login.cpp), the slot search by
// reader name (slot_choice.cpp). The library itself: pkcs_library.h.
#ifndef VEL_CSP_PKCS_HELPERS_H
#define VEL_CSP_PKCS_HELPERS_H

#include <windows.h>
#include <wincrypt.h>

#include "pkcs11.h"

// One attribute of an object: buffer NULL gives the length in *length; the
// length is copied back whatever the result.
CK_RV getX509KeyId(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR buffer, CK_ULONG *length);
CK_RV getX509Value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR buffer, CK_ULONG *length);
CK_RV getExponent(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR buffer, CK_ULONG *length);
CK_RV getModulus(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR buffer, CK_ULONG *length);
CK_RV getX509Subject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR buffer, CK_ULONG *length);

// Every X.509 certificate object of the session, in the library's order.
//   count  in: capacity of handles; out: number found (at most the capacity)
CK_RV getAllX509CertificateList(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *handles, CK_ULONG *count);
// The key object of class keyClass with the certificate's CKA_ID: the first
// match in *key. 0xFFFFFFFF when none is visible, CKR_HOST_MEMORY when out of
// memory, else the library's result.
CK_RV getKeyFromX509Cert(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *key, CK_OBJECT_HANDLE hCert,
                         CK_OBJECT_CLASS keyClass);
CK_RV getPrivateKeyFromX509Cert(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *key, CK_OBJECT_HANDLE hCert);
constexpr CK_RV kNoKeyFound = 0xFFFFFFFFUL;

// 1 when the session is logged in as user; *rv holds C_GetSessionInfo's result.
int isUserLogged(CK_SESSION_HANDLE s, CK_RV *rv);

// Logs the holder in on the session.
//   pin/pinLength  a PIN given by the caller, or NULL: then silent (dwFlags
//                  with CRYPT_SILENT) tries without a PIN, else the holder is
//                  asked (dialog or credential prompt)
// 0 on success, 0x100 when the silent path found the session logged in,
// CKR_FUNCTION_CANCELED when the holder gave no PIN (C_Login is then not
// called), CKR_HOST_MEMORY, or the library's C_Login result.
CK_RV login(CK_SESSION_HANDLE s, const char *pin, CK_ULONG pinLength, DWORD dwFlags);

// The first listed slot holding a token whose description, trailing blanks
// cut, equals readerName exactly.
//   *found  1 when a slot matched (then *slot), else 0
// CKR_ARGUMENTS_BAD for NULL pointers, else the last C_GetSlotInfo result.
CK_RV FindSlot(const CK_SLOT_ID *slots, CK_ULONG count, const char *readerName, CK_SLOT_ID *slot, int *found);

// Fills the calling thread's prompt texts from the token: card label,
// remaining tries (kept from the previous prompt when none is left) and, unless
// silent or machine keyset, the installed-version label.
void PreparePinPrompt(const CK_TOKEN_INFO &token, DWORD dwFlags);

// Remaining tries from the token flags (3, 2, 1 or 0).
int TriesFromFlags(CK_FLAGS flags);

#endif
