#include "CardObjects.h"

#include <cstdlib>
#include <cstring>

#include "../carddata/PaneWriter.h"
#include "CardConnection.h"
#include "CardTrace.h"

namespace vel {

CertificateId lastCertificateId{};

void ClearLastCertificateId()
{
    std::memset(&lastCertificateId, 0, sizeof lastCertificateId);
}

namespace {

const char kAuthenticationLabel[] = "Certificat d'Authentification VEL";
const char kSignatureLabel[] = "Certificat de Signature VEL";
const char kTechnicalLabel[] = "Certificat Technique VEL";

CK_RV FindInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE *tmpl, CK_ULONG count)
{
    StampCallTime();
    return TraceResult(CallFindObjectsInit, g_functions->C_FindObjectsInit(session, tmpl, count));
}

void FindFinal(CK_SESSION_HANDLE session)
{
    StampCallTime();
    TraceResult(CallFindObjectsFinal, g_functions->C_FindObjectsFinal(session));
}

// Finds the first object of a template; 0 when none (or the search failed).
// `initRv`, when given, receives the result of C_FindObjectsInit.
CK_OBJECT_HANDLE FindFirst(CK_SESSION_HANDLE session, CK_ATTRIBUTE *tmpl, CK_ULONG count,
                           CK_RV *initRv = nullptr)
{
    CK_OBJECT_HANDLE handle = 0;
    CK_RV rv = FindInit(session, tmpl, count);
    if (initRv)
        *initRv = rv;
    if (rv != CKR_OK)
        return 0;
    CK_ULONG found = 0;
    rv = g_functions->C_FindObjects(session, &handle, 1, &found);
    if (rv != CKR_OK) {
        lastRv = rv;
        return 0;
    }
    return found == 1 ? handle : 0;
}

} // namespace

CK_RV ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, bool traced,
                    CK_BYTE **value, CK_ULONG *length)
{
    CK_ATTRIBUTE attr = {type, nullptr, 0};
    CK_RV rv = g_functions->C_GetAttributeValue(session, object, &attr, 1);
    if (rv == CKR_OK &&
        (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION || attr.ulValueLen > kMaxAttributeLength))
        rv = CKR_HOST_MEMORY; // no buffer of that size is ever asked for
    if (rv != CKR_OK) {
        lastRv = rv;
        if (traced)
            TraceCall(CallGetAttributeValue, rv);
        return rv;
    }
    CK_ULONG size = attr.ulValueLen;
    CK_BYTE *buffer = static_cast<CK_BYTE *>(std::calloc(size ? size : 1, 1));
    if (!buffer) {
        lastRv = CKR_HOST_MEMORY;
        return CKR_HOST_MEMORY;
    }
    attr.pValue = buffer;
    attr.ulValueLen = size;
    StampCallTime();
    rv = g_functions->C_GetAttributeValue(session, object, &attr, 1);
    lastRv = rv;
    if (traced)
        TraceCall(CallGetAttributeValue, rv);
    if (rv != CKR_OK || attr.ulValueLen > size) {
        std::free(buffer);
        return rv != CKR_OK ? rv : CKR_FUNCTION_FAILED;
    }
    *value = buffer;
    *length = attr.ulValueLen;
    return CKR_OK;
}

void ReadDataObject(CK_SESSION_HANDLE session, const char *label, bool isPrivate, CK_BYTE **value,
                    CK_ULONG *length)
{
    if (!label || !value || !length || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL token = CK_TRUE;
    CK_BBOOL priv = isPrivate ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &token, sizeof token},
        {CKA_PRIVATE, &priv, sizeof priv},
        {CKA_LABEL, const_cast<char *>(label), static_cast<CK_ULONG>(std::strlen(label))},
    };
    CK_OBJECT_HANDLE handle = FindFirst(session, tmpl, 4);
    if (handle != 0) {
        AppendPaneLine(PaneTrace, "   hObject   = 0x%08x", static_cast<unsigned>(handle));
        ReadAttribute(session, handle, CKA_VALUE, true, value, length);
    }
    FindFinal(session);
}

void ReadCardCertificate(CK_SESSION_HANDLE session, CK_BYTE **value, CK_ULONG *length, bool signature,
                         bool technical)
{
    if (!value || !length || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    const char *label = technical ? kTechnicalLabel : signature ? kSignatureLabel : kAuthenticationLabel;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &token, sizeof token},
        {CKA_LABEL, const_cast<char *>(label), static_cast<CK_ULONG>(std::strlen(label))},
    };
    CK_OBJECT_HANDLE handle = FindFirst(session, tmpl, 3);
    // A certificate not found, or whose identifier cannot be kept, must not
    // leave the previous certificate's key selected for the next signature.
    ClearLastCertificateId();
    if (handle != 0) {
        AppendPaneLine(PaneTrace, "   hObject   = 0x%08x", static_cast<unsigned>(handle));
        if (ReadAttribute(session, handle, CKA_VALUE, true, value, length) != CKR_OK)
            *length = 0;
        CK_BYTE *id = nullptr;
        CK_ULONG idLength = 0;
        if (ReadAttribute(session, handle, CKA_ID, true, &id, &idLength) == CKR_OK) {
            if (idLength <= sizeof lastCertificateId.bytes) {
                std::memcpy(lastCertificateId.bytes, id, idLength);
                lastCertificateId.length = idLength;
            }
            std::free(id);
        }
    }
    FindFinal(session);
}

void FindKeyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE *key, bool privateKey)
{
    if (!key || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_OBJECT_CLASS cls = privateKey ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY;
    CK_BBOOL token = CK_TRUE;
    CK_BBOOL priv = privateKey ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &token, sizeof token},
        {CKA_PRIVATE, &priv, sizeof priv},
        {CKA_ID, lastCertificateId.bytes, lastCertificateId.length},
    };
    CK_RV initRv;
    CK_OBJECT_HANDLE handle = FindFirst(session, tmpl, 4, &initRv);
    if (initRv != CKR_OK)
        *key = 0;
    else if (handle != 0)
        *key = handle;
    FindFinal(session);
}

bool HasSingleCertificate(CK_SESSION_HANDLE session)
{
    if (!g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return false;
    }
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &cls, sizeof cls},
        {CKA_TOKEN, &token, sizeof token},
    };
    CK_ULONG count = 2;
    CK_RV rv = FindInit(session, tmpl, 2);
    if (rv == CKR_OK) {
        CK_OBJECT_HANDLE handles[2];
        if (g_functions->C_FindObjects(session, handles, 2, &count) != CKR_OK)
            count = 2;
    }
    FindFinal(session);
    return count == 1;
}

} // namespace vel
