// The card's private-key work for a context: the signature, the decryption
// and the public key read for an export.
#include "pkcs_container.h"

#include <cstdint>

#include "container/handle_container.h"
#include "globals/csp_globals.h"
#include "keys/formats/key_blobs.h"
#include "keys/formats/key_codes.h"
#include "log_trace.h"
#include "pkcs_helpers.h"
#include "pkcs_library.h"
#include "trace_scope.h"

using csp::card::Fail;
using csp::card::FailWith;
using csp::card::TraceNoLogout;
using Pkcs::List;

namespace Pkcs {

BOOL DoSign(HandleContainer *hc, DWORD cbHash, const BYTE *pbHash, DWORD dwKeySpec, BYTE *pbSignature,
            DWORD *pdwSigLen)
{
    const char *name = "Pkcs::DoSign";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, %lu, 0x%p, %lu, 0x%p, 0x%p",
                     static_cast<void *>(hc), static_cast<unsigned long>(cbHash),
                     static_cast<const void *>(pbHash), static_cast<unsigned long>(dwKeySpec),
                     static_cast<void *>(pbSignature), static_cast<void *>(pdwSigLen));
    if (!hc || !hc->m_pCurrentContainer || !pdwSigLen || !List() || (pbSignature && !pbHash))
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    CardOperation operation(c);
    if (c->CardGone())
        return Fail(trace, "Carte changee");
    const CK_OBJECT_HANDLE hCert = c->GethCertfromKeySpec(dwKeySpec);
    CK_OBJECT_HANDLE *cache = dwKeySpec == AT_KEYEXCHANGE ? &c->m_hPrivKeyExchange
                              : dwKeySpec == AT_SIGNATURE ? &c->m_hPrivKeySignature
                                                          : nullptr;
    CK_OBJECT_HANDLE hKey = cache ? *cache : 0;
    if (hKey && !pbSignature) {
        trace.Return(TRUE, "%s", "");
        return TRUE;
    }
    if (!hKey) {
        CK_RV infoRv = CKR_OK;
        if (!isUserLogged(c->m_hSession, &infoRv)) {
            if (infoRv != CKR_OK)
                return Fail(trace, "Demande de l'etat session impossible.");
            const BOOL in = (hc->m_dwFlags & CRYPT_SILENT) ? DoSilentLogin(c) : DoLogin(c, hc->m_dwFlags);
            if (!in)
                return Fail(trace, "Impossible de s'authentifier.");
        }
        if (!pbSignature) {
            trace.Return(TRUE, "%s", "");
            return TRUE;
        }
        const CK_RV rv = getPrivateKeyFromX509Cert(c->m_hSession, &hKey, hCert);
        if (rv == kNoKeyFound && (hc->m_dwFlags & CRYPT_SILENT))
            return Fail(trace, "Demande du code PIN impossible (mode CRYPT_SILENT).");
        if (rv != CKR_OK)
            hKey = 0;
        if (cache)
            *cache = hKey;
    }
    const DWORD room = *pdwSigLen;
    BYTE *buffer = room ? static_cast<BYTE *>(csp_alloc(1, static_cast<int>(room))) : nullptr;
    if (!buffer)
        return Fail(trace, "Signature buffer");
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = room;
    CK_RV rv = List()->C_SignInit(c->m_hSession, &mechanism, hKey);
    if (rv == CKR_OK)
        rv = List()->C_Sign(c->m_hSession, const_cast<BYTE *>(pbHash), cbHash, buffer, &length);
    if (rv != CKR_OK || length > room) {
        _Log_Trace(LOG_RETURN, LOG_LEVEL_DETAIL, "sign", rv, FALSE, "0x%p, %lu, %lu, 0x%p, %lu, 0x%08lX",
                   static_cast<void *>(List()), static_cast<unsigned long>(c->m_hSession),
                   static_cast<unsigned long>(hKey), static_cast<void *>(buffer),
                   static_cast<unsigned long>(length), static_cast<unsigned long>(rv));
        TraceNoLogout(c->m_hSession);
        csp_free(buffer);
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    }
    for (CK_ULONG i = 0; i < length; ++i)
        pbSignature[i] = buffer[length - 1 - i];
    *pdwSigLen = length;
    csp_free(buffer);
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

BOOL Decrypt(HandleContainer *hc, ULONG_PTR hKey, const BYTE *pbData, DWORD cbData, BYTE *pbOut,
             DWORD *pdwOutLen, DWORD dwFlags)
{
    const char *name = "Pkcs::Decrypt";
    TraceScope trace(
        LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", static_cast<void *>(hc),
        reinterpret_cast<void *>(hKey), static_cast<const void *>(pbData), static_cast<unsigned long>(cbData),
        static_cast<void *>(pbOut), static_cast<void *>(pdwOutLen), static_cast<unsigned long>(dwFlags));
    if (!hc || !hc->m_pCurrentContainer || !pbData || !pbOut || !pdwOutLen || !List())
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    CardOperation operation(c);
    if (c->CardGone())
        return Fail(trace, "Carte changee");
    if (dwFlags & CRYPT_SILENT) {
        if (!DoSilentLogin(c))
            return Fail(trace, "Impossible de s'authentifier.");
    } else {
        CK_RV infoRv = CKR_OK;
        if (!isUserLogged(c->m_hSession, &infoRv)) {
            if (infoRv != CKR_OK)
                return FailWith(trace, "Demande de l'etat session impossible. rv: 0x%08lx",
                                static_cast<unsigned long>(infoRv));
            if (!DoLogin(c, dwFlags))
                return Fail(trace, "Impossible de s'authentifier.");
        }
    }
    if (!c->m_hPrivKeyExchange) {
        CK_OBJECT_HANDLE key = 0;
        const CK_RV rv = getPrivateKeyFromX509Cert(c->m_hSession, &key, c->GethCertExchange());
        if (rv != CKR_OK) {
            TraceNoLogout(c->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        c->m_hPrivKeyExchange = key;
    }
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = cbData;
    CK_RV rv = List()->C_DecryptInit(c->m_hSession, &mechanism, c->m_hPrivKeyExchange);
    if (rv == CKR_OK)
        rv = List()->C_Decrypt(c->m_hSession, const_cast<BYTE *>(pbData), cbData, pbOut, &length);
    TraceNoLogout(c->m_hSession);
    if (rv != CKR_OK || length > cbData)
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    *pdwOutLen = length;
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

BOOL DoExportPublicKey(PKCSContainer *container, BYTE *pbData, DWORD *pdwDataLen, DWORD dwKeySpec)
{
    const char *name = "Pkcs::DoExportPublicKey";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%p", static_cast<void *>(container),
                     static_cast<void *>(pbData), static_cast<void *>(pdwDataLen));
    if (!container || !pdwDataLen || !List())
        return Fail(trace, "");
    CardOperation operation(container);
    if (container->CardGone())
        return Fail(trace, "Carte changee");
    const CK_OBJECT_HANDLE hCert = container->GethCertfromKeySpec(dwKeySpec);
    CK_OBJECT_HANDLE pub = 0;
    CK_RV rv = getKeyFromX509Cert(container->m_hSession, &pub, hCert, CKO_PUBLIC_KEY);
    if (rv != CKR_OK)
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    CK_ULONG modulusLength = 0, exponentLength = 0;
    BYTE *modulus = nullptr, *exponent = nullptr;
    BOOL ok = FALSE;
    if (getModulus(container->m_hSession, pub, nullptr, &modulusLength) == CKR_OK && modulusLength &&
        modulusLength <= 4096 &&
        (modulus = static_cast<BYTE *>(csp_alloc(1, static_cast<int>(modulusLength)))) &&
        getModulus(container->m_hSession, pub, modulus, &modulusLength) == CKR_OK &&
        getExponent(container->m_hSession, pub, nullptr, &exponentLength) == CKR_OK && exponentLength &&
        exponentLength <= 8 &&
        (exponent = static_cast<BYTE *>(csp_alloc(1, static_cast<int>(exponentLength)))) &&
        getExponent(container->m_hSession, pub, exponent, &exponentLength) == CKR_OK) {
        // A missing or short buffer gets the size only: the caller decides.
        size_t needed = 0;
        const size_t room = pbData ? *pdwDataLen : 0;
        const uint32_t built = csp::keys::BuildPublicKeyBlob(modulus, modulusLength, exponent, exponentLength,
                                                             pbData, room, &needed);
        ok = built == csp::keys::kOk || built == csp::keys::kErrorMoreData;
        if (ok)
            *pdwDataLen = static_cast<DWORD>(needed);
    }
    csp_free(modulus);
    csp_free(exponent);
    if (!ok)
        return Fail(trace, "");
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

} // namespace Pkcs
