// The search of a session's objects, and of the card's X.509 certificates
// (class and certificate type) that the provider and the tray both make:
// C_FindObjectsInit, one C_FindObjects, C_FindObjectsFinal, through any
// function list. Platform-free.
#ifndef VEL_CERTIFICATE_SEARCH_H
#define VEL_CERTIFICATE_SEARCH_H

#include "pkcs11.h"

namespace vel {

// How a search waits for a session busy with another one: `polls` more tries
// of C_FindObjectsInit, `pause(pollMs)` before each. None by default.
struct SearchPatience {
    int polls = 0;
    unsigned pollMs = 0;
    void (*pause)(unsigned ms) = nullptr;
};

// The objects of session `s` matching the template, at most `capacity`.
// A session still busy after the patience (CKR_OPERATION_ACTIVE: a search
// whose end failed) has that search ended and is tried once more, rather than
// left unusable; a failed end is tried once more too, so that the search
// never outlives the call.
//   *found  the handles found; 0 after a failure, or when the library
//           claims more than `capacity`
// The first failure of C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal;
// CKR_CRYPTOKI_NOT_INITIALIZED without a function list, CKR_ARGUMENTS_BAD
// without handles or found.
CK_RV FindObjects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_ATTRIBUTE *tmpl, CK_ULONG count,
                  CK_OBJECT_HANDLE *handles, CK_ULONG capacity, CK_ULONG *found,
                  const SearchPatience &patience = SearchPatience());

// The template of the certificate search: CKA_CLASS CKO_CERTIFICATE and
// CKA_CERTIFICATE_TYPE CKC_X_509 (read only, shared by every thread).
const CK_ATTRIBUTE *X509CertificateTemplate();
constexpr CK_ULONG kX509CertificateTemplateCount = 2;

// Every X.509 certificate object of the session, in the library's order.
CK_RV FindX509Certificates(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *handles,
                           CK_ULONG capacity, CK_ULONG *found,
                           const SearchPatience &patience = SearchPatience());

} // namespace vel

#endif
