#include "certificate_search.h"

namespace vel {

CK_RV FindObjects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_ATTRIBUTE *tmpl, CK_ULONG count,
                  CK_OBJECT_HANDLE *handles, CK_ULONG capacity, CK_ULONG *found,
                  const SearchPatience &patience)
{
    if (!found || !handles) {
        if (found)
            *found = 0;
        return CKR_ARGUMENTS_BAD;
    }
    *found = 0;
    if (!f)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    CK_RV rv = f->C_FindObjectsInit(s, tmpl, count);
    for (int i = 0; rv == CKR_OPERATION_ACTIVE && i < patience.polls; ++i) {
        if (patience.pause)
            patience.pause(patience.pollMs);
        rv = f->C_FindObjectsInit(s, tmpl, count);
    }
    if (rv == CKR_OPERATION_ACTIVE) {
        f->C_FindObjectsFinal(s);
        rv = f->C_FindObjectsInit(s, tmpl, count);
    }
    if (rv != CKR_OK)
        return rv;
    const CK_RV findRv = f->C_FindObjects(s, handles, capacity, found);
    if (findRv != CKR_OK || *found > capacity)
        *found = 0;
    const CK_RV finalRv = f->C_FindObjectsFinal(s);
    if (finalRv != CKR_OK)
        f->C_FindObjectsFinal(s);
    return findRv != CKR_OK ? findRv : finalRv;
}

namespace {
const CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;
const CK_CERTIFICATE_TYPE kX509Type = CKC_X_509;
const CK_ATTRIBUTE kX509Template[kX509CertificateTemplateCount] = {
    {CKA_CLASS, const_cast<CK_OBJECT_CLASS *>(&kCertificateClass), sizeof kCertificateClass},
    {CKA_CERTIFICATE_TYPE, const_cast<CK_CERTIFICATE_TYPE *>(&kX509Type), sizeof kX509Type}};
} // namespace

const CK_ATTRIBUTE *X509CertificateTemplate()
{
    return kX509Template;
}

CK_RV FindX509Certificates(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *handles,
                           CK_ULONG capacity, CK_ULONG *found, const SearchPatience &patience)
{
    // The library only reads a search template.
    return FindObjects(f, s, const_cast<CK_ATTRIBUTE *>(kX509Template), kX509CertificateTemplateCount,
                       handles, capacity, found, patience);
}

} // namespace vel
