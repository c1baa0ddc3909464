// Reads and searches of card objects: one attribute of an object, the
// certificates of a session, the key object of a certificate.
#include "pkcs_helpers.h"

#include "certificate_search.h"
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "pkcs_library.h"
#include "trace_scope.h"

using Pkcs::List;

namespace {

// A search whose session is busy waits in steps of 250 ms, 10 s at most.
constexpr DWORD kSearchPollMs = 250;
constexpr int kSearchPolls = 40;
CK_RV getAttribute(const char *name, CK_ATTRIBUTE_TYPE type, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                   CK_BYTE_PTR buffer, CK_ULONG *length)
{
    TraceScope trace(LOG_LEVEL_DETAIL, name, FALSE, "%p, %lu, %lu, %p, %p", static_cast<void *>(List()),
                     static_cast<unsigned long>(s), static_cast<unsigned long>(o),
                     static_cast<void *>(buffer), static_cast<void *>(length));
    CK_RV rv = CKR_ARGUMENTS_BAD;
    if (List() && length) {
        CK_ATTRIBUTE attribute = {type, buffer, *length};
        rv = List()->C_GetAttributeValue(s, o, &attribute, 1);
        *length = attribute.ulValueLen;
    }
    trace.Return(rv, "%lu", length ? static_cast<unsigned long>(*length) : 0ul);
    return rv;
}

void PauseMs(unsigned ms)
{
    Sleep(ms);
}

// A search waits for a busy session (another thread's) in steps.
const vel::SearchPatience kSearchPatience = {kSearchPolls, kSearchPollMs, PauseMs};

} // namespace

CK_RV getX509KeyId(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR b, CK_ULONG *l)
{
    return getAttribute("getX509KeyId", CKA_ID, s, o, b, l);
}
CK_RV getX509Value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR b, CK_ULONG *l)
{
    return getAttribute("getX509Value", CKA_VALUE, s, o, b, l);
}
CK_RV getExponent(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR b, CK_ULONG *l)
{
    return getAttribute("getExponent", CKA_PUBLIC_EXPONENT, s, o, b, l);
}
CK_RV getModulus(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR b, CK_ULONG *l)
{
    return getAttribute("getModulus", CKA_MODULUS, s, o, b, l);
}
CK_RV getX509Subject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_BYTE_PTR b, CK_ULONG *l)
{
    return getAttribute("getX509Subject", CKA_SUBJECT, s, o, b, l);
}

CK_RV getAllX509CertificateList(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *handles, CK_ULONG *count)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "getAllX509CertificateList", FALSE, "%lu, %p, %p",
                     static_cast<unsigned long>(s), static_cast<void *>(handles), static_cast<void *>(count));
    CK_RV rv = CKR_ARGUMENTS_BAD;
    if (handles && count) {
        CK_ULONG found = 0;
        {
            TraceScope search(LOG_LEVEL_DETAIL, "getCertListFromAttr", FALSE, "%p, %lu, %p, %d, %p, %p",
                              static_cast<void *>(List()), static_cast<unsigned long>(s),
                              static_cast<const void *>(vel::X509CertificateTemplate()),
                              static_cast<int>(vel::kX509CertificateTemplateCount),
                              static_cast<void *>(handles), static_cast<void *>(count));
            rv = vel::FindX509Certificates(List(), s, handles, *count, &found, kSearchPatience);
            search.Return(rv, "%lu", static_cast<unsigned long>(found));
        }
        *count = found;
    }
    trace.Return(rv, "%lu", count ? static_cast<unsigned long>(*count) : 0ul);
    return rv;
}

CK_RV getKeyFromX509Cert(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *key, CK_OBJECT_HANDLE hCert,
                         CK_OBJECT_CLASS keyClass)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "getKeyFromX509Cert", FALSE, "%lu, %p, %lu, %lu",
                     static_cast<unsigned long>(s), static_cast<void *>(key),
                     static_cast<unsigned long>(hCert), static_cast<unsigned long>(keyClass));
    CK_RV rv = CKR_ARGUMENTS_BAD;
    CK_OBJECT_HANDLE *handles = nullptr;
    CK_BYTE_PTR id = nullptr;
    CK_ULONG idLength = 256;
    CK_ULONG found = 0;
    if (!key)
        goto done;
    handles = static_cast<CK_OBJECT_HANDLE *>(csp_alloc(10, sizeof(CK_OBJECT_HANDLE)));
    if (!handles) {
        rv = CKR_HOST_MEMORY;
        goto done;
    }
    rv = getX509KeyId(s, hCert, nullptr, &idLength);
    if (rv != CKR_OK)
        goto done;
    if (idLength == 0 || idLength > 0x10000) {
        rv = CKR_ATTRIBUTE_VALUE_INVALID; // no identifier to search with, or an absurd one
        goto done;
    }
    id = static_cast<CK_BYTE_PTR>(csp_alloc(1, static_cast<int>(idLength)));
    if (!id) {
        rv = CKR_HOST_MEMORY;
        goto done;
    }
    rv = getX509KeyId(s, hCert, id, &idLength);
    if (rv != CKR_OK)
        goto done;
    {
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idLength}};
        rv = vel::FindObjects(List(), s, tmpl, 2, handles, 10, &found, kSearchPatience);
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "getKeyFromX509Cert", 0, FALSE, "%lu, %lu, found %lu, 0x%08lx",
                   static_cast<unsigned long>(s), static_cast<unsigned long>(hCert),
                   static_cast<unsigned long>(found), static_cast<unsigned long>(rv));
        if (rv == CKR_OK && found > 0)
            *key = handles[0];
        else if (rv == CKR_OK)
            rv = kNoKeyFound;
    }
done:
    csp_free(id);
    csp_free(handles);
    trace.Return(rv, "%lu, %lu, 0x%08lx", static_cast<unsigned long>(s), static_cast<unsigned long>(hCert),
                 static_cast<unsigned long>(rv));
    return rv;
}

CK_RV getPrivateKeyFromX509Cert(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE *key, CK_OBJECT_HANDLE hCert)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "getPrivateKeyFromX509Cert", FALSE, "%p, %lu, %p, %lu",
                     static_cast<void *>(List()), static_cast<unsigned long>(s), static_cast<void *>(key),
                     static_cast<unsigned long>(hCert));
    const CK_RV rv = getKeyFromX509Cert(s, key, hCert, CKO_PRIVATE_KEY);
    trace.Return(rv, "%lu", static_cast<unsigned long>(hCert));
    return rv;
}
