// Provider parameters: our own answers (name, version, container, card
// certificates, reader, card identifier, PIN tries, user certificate store),
// the Microsoft context's answers for algorithms and key sizes, and the PIN
// given as a parameter.
#include <cstring>
#include <string>

#include "card/pkcs_helpers.h"
#include "card/pkcs_library.h"
#include "cpinterface/size_answer.h"
#include "globals/csp_globals.h"
#include "handle_container.h"
#include "log_trace.h"
#include "prompt/pin_prompts.h"
#include "registration/registration.h"
#include "trace_scope.h"

using Pkcs::List;

namespace {

constexpr DWORD kImpType = 3; // CRYPT_IMPL_MIXED
constexpr DWORD kVersion = 0x120;
constexpr DWORD kKeySpecs = 3;    // AT_KEYEXCHANGE | AT_SIGNATURE
constexpr DWORD kSuffixSize = 64; // "CName(" + name + ")" and its NUL

} // namespace

BOOL HandleContainer::GetProvParam(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags,
                                   DWORD *pdwError)
{
    const char *name = "HandleContainer::GetProvParam";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%08lx, %p, %p, 0x%08lx",
                     static_cast<unsigned long>(dwParam), static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    *pdwError = 0;
    BOOL ok = FALSE;
    PKCSContainer *c = m_pCurrentContainer;
    if (!pdwDataLen) {
        *pdwError = ERROR_INVALID_PARAMETER;
    } else {
        switch (dwParam) {
        case PP_ENUMALGS:
        case PP_KEYSET_SEC_DESCR:
        case PP_PROVTYPE:
        case PP_KEYSTORAGE:
        case PP_SYM_KEYSIZE:
        case PP_SESSION_KEYSIZE:
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC:
        case PP_ENUMEX_SIGNING_PROT:
        case PP_ENUMALGS_EX:
            ok = CryptGetProvParam(m_hMSProv, dwParam, pbData, pdwDataLen, dwFlags);
            if (!ok)
                *pdwError = GetLastError();
            break;
        case PP_ENUMCONTAINERS:
            ok = HandleEnumContainers(pbData, pdwDataLen, dwFlags, pdwError);
            break;
        case PP_IMPTYPE:
            ok = AnswerDword(kImpType, pbData, pdwDataLen, pdwError);
            break;
        case PP_NAME:
            ok = AnswerText(kProviderName, pbData, pdwDataLen, pdwError);
            break;
        case PP_VERSION:
            ok = AnswerDword(kVersion, pbData, pdwDataLen, pdwError);
            break;
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            if (c && c->m_szContainerName)
                ok = AnswerText(c->m_szContainerName, pbData, pdwDataLen, pdwError);
            else
                *pdwError = static_cast<DWORD>(NTE_FAIL);
            break;
        case PP_CERTCHAIN:
            if (!c) {
                *pdwError = static_cast<DWORD>(NTE_FAIL);
            } else {
                // dwFlags is read as a key spec (2 signature, 0 or 1 exchange,
                // any other none); a certificate the card lacks is no answer.
                const CK_OBJECT_HANDLE key = dwFlags == AT_SIGNATURE     ? c->m_hKeySignature
                                             : dwFlags <= AT_KEYEXCHANGE ? c->m_hKeyExchange
                                                                         : 0;
                const bool exchange = key == c->m_hKeyExchange;
                const BYTE *der = exchange ? c->m_pbCertExchange : c->m_pbCertSignature;
                const DWORD size = exchange ? c->m_cbCertExchange : c->m_cbCertSignature;
                if (der)
                    ok = AnswerBytes(der, size, pbData, pdwDataLen, pdwError);
                else
                    *pdwError = static_cast<DWORD>(NTE_FAIL);
            }
            break;
        case PP_KEYSET_TYPE:
            ok = AnswerDword(m_dwFlags & CRYPT_MACHINE_KEYSET, pbData, pdwDataLen, pdwError);
            break;
        case PP_ADMIN_PIN:
        case PP_KEYEXCHANGE_PIN:
        case PP_SIGNATURE_PIN:
        case PP_SGC_INFO:
            *pdwDataLen = 0;
            *pdwError = ERROR_NOT_SUPPORTED;
            break;
        case PP_USE_HARDWARE_RNG:
            ok = AnswerDword(0, pbData, pdwDataLen, pdwError);
            break;
        case PP_KEYSPEC:
            ok = AnswerDword(kKeySpecs, pbData, pdwDataLen, pdwError);
            break;
        case PP_CRYPT_COUNT_KEY_USE:
            if (!c)
                *pdwError = static_cast<DWORD>(NTE_FAIL);
            else
                ok = AnswerDword(pbData ? GetPinTriesCount() : 0, pbData, pdwDataLen, pdwError);
            break;
        case PP_USER_CERTSTORE:
            ok = GetUserCertStore(pbData, pdwDataLen, pdwError);
            break;
        case PP_SMARTCARD_READER:
            ok = GetSmartCardReader(pbData, pdwDataLen, pdwError);
            break;
        case PP_SMARTCARD_GUID:
            ok = GetSmartCardGUID(pbData, pdwDataLen, pdwError);
            break;
        default:
            *pdwError = static_cast<DWORD>(NTE_BAD_TYPE);
            break;
        }
    }
    const bool endOfList = dwParam == PP_ENUMALGS_EX && *pdwError == ERROR_NO_MORE_ITEMS;
    trace.Return((ok || endOfList) ? TRUE : FALSE, "0x%08lx, %p, %p, 0x%08lx",
                 static_cast<unsigned long>(dwParam), static_cast<void *>(pbData),
                 static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    return ok;
}

DWORD HandleContainer::GetPinTriesCount()
{
    CK_TOKEN_INFO token = {};
    if (!m_pCurrentContainer || !List() ||
        List()->C_GetTokenInfo(m_pCurrentContainer->m_slotID, &token) != CKR_OK)
        return 3;
    if ((token.flags & CKF_USER_PIN_LOCKED) && (token.flags & CKF_SO_PIN_LOCKED))
        return 0xFFFFFFFF;
    if (token.flags & CKF_USER_PIN_LOCKED)
        return 0;
    DWORD tries = 3;
    if (token.flags & CKF_USER_PIN_COUNT_LOW)
        --tries;
    if (token.flags & CKF_USER_PIN_FINAL_TRY)
        --tries;
    return tries;
}

BOOL HandleContainer::HandleEnumContainers(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags, DWORD *pdwError)
{
    if (m_dwFlags == CRYPT_VERIFYCONTEXT) {
        *pdwError = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    const char *name = "HandleContainer::HandleEnumContainers";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%08lx", static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    BOOL ok = FALSE;
    if (dwFlags & ~static_cast<DWORD>(CRYPT_FIRST | CRYPT_NEXT)) {
        *pdwError = static_cast<DWORD>(NTE_BAD_FLAGS);
    } else if (!(dwFlags & CRYPT_FIRST)) {
        *pdwError = ERROR_NO_MORE_ITEMS;
    } else if (m_pCurrentContainer && m_pCurrentContainer->m_szContainerName) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "containerName %s",
                   m_pCurrentContainer->m_szContainerName);
        ok = AnswerText(m_pCurrentContainer->m_szContainerName, pbData, pdwDataLen, pdwError);
    } else {
        *pdwError = ERROR_NO_MORE_ITEMS; // a context without a card lists nothing
    }
    trace.Return(ok, "0x%p, 0x%p, 0x%08lx", static_cast<void *>(pbData), static_cast<void *>(pdwDataLen),
                 static_cast<unsigned long>(dwFlags));
    return ok;
}

bool HandleContainer::PinStillGiven(const BYTE *pbData)
{
    PKCSContainer *c = m_pCurrentContainer;
    if (!c || !pbData)
        return false;
    CardOperation operation(c);
    return c->m_bPinGiven && !CardGone() && isUserLogged(c->m_hSession, nullptr);
}

BOOL HandleContainer::SetProvParam(DWORD dwParam, const BYTE *pbData, DWORD dwFlags, DWORD *pdwError)
{
    // A service or remote-session context whose PIN was given on its current
    // session, still logged in, needs it no more: a PIN given again (the
    // logon asks more than once) neither logs out nor reaches the card's
    // login, and leaves no line of its own. Once that login is gone (the card
    // pulled, another context's log-out), the PIN goes the ordinary way and
    // is checked.
    if (PinStillGiven(pbData)) {
        *pdwError = 0;
        return TRUE;
    }
    const char *name = "HandleContainer::SetProvParam";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%08lx, 0x%p, 0x%08lx",
                     static_cast<unsigned long>(dwParam), static_cast<const void *>(pbData),
                     static_cast<unsigned long>(dwFlags));
    *pdwError = 0;
    BOOL ok = FALSE;
    PKCSContainer *c = m_pCurrentContainer;
    if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN) {
        *pdwError = static_cast<DWORD>(NTE_BAD_TYPE);
    } else if (!c) {
        *pdwError = static_cast<DWORD>(NTE_BAD_KEYSET);
    } else if (!c->m_hKeySignature) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "Contactless container : 0x%08lx",
                   static_cast<unsigned long>(dwParam));
        ok = TRUE;
    } else if (!pbData) {
        *pdwError = ERROR_INVALID_PARAMETER;
    } else if (!IsFourDigitPin(reinterpret_cast<const char *>(pbData))) {
        *pdwError = static_cast<DWORD>(SCARD_E_INVALID_CHV);
    } else {
        char pin[kPinDigits + 1] = {};
        std::memcpy(pin, pbData, kPinDigits);
        CK_RV rv = CKR_OK;
        // The login and the mark that it was given, in one turn on the card.
        CardOperation operation(c);
        ok = Pkcs::CheckPinCode(this, pin, m_dwFlags, &rv);
        WipeMemory(pin, sizeof pin);
        if (!ok) {
            // No card for this context now (out, or another one in its place).
            const bool away = rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED || CardGone();
            *pdwError = away                      ? static_cast<DWORD>(NTE_BAD_KEYSET)
                        : rv == CKR_PIN_INCORRECT ? static_cast<DWORD>(SCARD_W_WRONG_CHV)
                        : rv == CKR_PIN_LOCKED    ? static_cast<DWORD>(SCARD_W_CHV_BLOCKED)
                                                  : static_cast<DWORD>(NTE_FAIL);
        } else if (c->m_szComputerName && c->m_szComputerName[0]) {
            c->m_bPinGiven = TRUE;
        }
    }
    trace.Return(ok, "0x%08lx, 0x%p, 0x%08lx", static_cast<unsigned long>(dwParam),
                 static_cast<const void *>(pbData), static_cast<unsigned long>(dwFlags));
    return ok;
}

namespace {

// Adds one card certificate, bound to our provider, to the store.
bool AddBoundCertificate(HCERTSTORE store, const BYTE *der, DWORD size, const std::wstring &container,
                         DWORD keySpec)
{
    const char *name = "HandleContainer::CryptPropCert";
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size);
    if (!cert) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE,
                   "CertCreateCertificateContext error: 0x%08lx", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    static const wchar_t kProviderNameW[] = L"Ovrane Cryptographic Provider";
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<wchar_t *>(container.c_str());
    info.pwszProvName = const_cast<wchar_t *>(kProviderNameW);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    bool ok = true;
    if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE,
                   "CertSetCertificateContextProperty error: 0x%08lx",
                   static_cast<unsigned long>(GetLastError()));
        ok = false;
    } else if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE,
                   "CertAddCertificateContextToStore error: 0x%08lx",
                   static_cast<unsigned long>(GetLastError()));
        ok = false;
    }
    CertFreeCertificateContext(cert);
    return ok;
}

} // namespace

BOOL HandleContainer::GetUserCertStore(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    const char *name = "HandleContainer::GetUserCertStore";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%p, %p, %p", static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen), static_cast<void *>(pdwError));
    PKCSContainer *c = m_pCurrentContainer;
    BOOL ok = FALSE;
    // The handle has the width of this process.
    const DWORD handleSize = sizeof(HCERTSTORE);
    if (!c) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "m_pCurrentContainer == NULL");
        *pdwError = static_cast<DWORD>(NTE_FAIL);
    } else if (!pbData || *pdwDataLen < handleSize) {
        // A size query or a short buffer builds no store.
        ok = AnswerBytes(nullptr, handleSize, pbData, pdwDataLen, pdwError);
    } else if (!c->m_szContainerName) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "strContainerName == NULL ");
        *pdwError = static_cast<DWORD>(NTE_FAIL);
    } else {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        if (!store) {
            _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "CertOpenStore error: 0x%08lx",
                       static_cast<unsigned long>(GetLastError()));
            *pdwError = static_cast<DWORD>(NTE_FAIL);
        } else {
            std::string binding = c->m_szContainerName;
            char suffix[kSuffixSize] = {};
            if (GetTSEComputerName(suffix, sizeof suffix) && suffix[0])
                binding += suffix;
            std::wstring wide(binding.begin(), binding.end()); // container names are printable ASCII
            DWORD failures = 0;
            if (c->m_pbCertExchange &&
                !AddBoundCertificate(store, c->m_pbCertExchange, c->m_cbCertExchange, wide, AT_KEYEXCHANGE))
                ++failures;
            if (c->m_pbCertSignature &&
                !AddBoundCertificate(store, c->m_pbCertSignature, c->m_cbCertSignature, wide, AT_SIGNATURE))
                ++failures;
            ok = AnswerBytes(&store, handleSize, pbData, pdwDataLen, pdwError);
            if (ok && failures)
                *pdwError = static_cast<DWORD>(NTE_FAIL);
            if (!ok)
                CertCloseStore(store, 0);
        }
    }
    trace.Return(ok, "%p, %p, %p", static_cast<void *>(pbData), static_cast<void *>(pdwDataLen),
                 static_cast<void *>(pdwError));
    return ok;
}

BOOL HandleContainer::GetSmartCardGUID(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    const char *name = "HandleContainer::GetSmartCardGUID";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%p, %p, %p", static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen), static_cast<void *>(pdwError));
    BOOL ok = FALSE;
    BYTE guid[16] = {};
    CK_TOKEN_INFO token = {};
    CK_RV rv = CKR_OK;
    if (!pbData) {
        ok = AnswerBytes(nullptr, sizeof guid, nullptr, pdwDataLen, pdwError);
    } else if (!m_pCurrentContainer || !List() ||
               (rv = List()->C_GetTokenInfo(m_pCurrentContainer->m_slotID, &token)) != CKR_OK) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%p, %p, %p, 0x%08lx",
                   static_cast<void *>(pbData), static_cast<void *>(pdwDataLen),
                   static_cast<void *>(pdwError), static_cast<unsigned long>(rv));
        *pdwError = static_cast<DWORD>(NTE_FAIL);
    } else if (!SmartCardGuidFromLabel(reinterpret_cast<const char *>(token.label), sizeof token.label,
                                       guid)) {
        *pdwError = static_cast<DWORD>(NTE_FAIL);
    } else {
        ok = AnswerBytes(guid, sizeof guid, pbData, pdwDataLen, pdwError);
    }
    trace.Return(ok, "%p, %p, %p", static_cast<void *>(pbData), static_cast<void *>(pdwDataLen),
                 static_cast<void *>(pdwError));
    return ok;
}

BOOL HandleContainer::GetSmartCardReader(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    CK_SLOT_INFO info = {};
    if (!m_pCurrentContainer || !List() ||
        List()->C_GetSlotInfo(m_pCurrentContainer->m_slotID, &info) != CKR_OK) {
        *pdwError = static_cast<DWORD>(NTE_FAIL);
        return FALSE;
    }
    char reader[64] = {};
    std::memcpy(reader, info.slotDescription, 63);
    for (int i = 62; i >= 0 && (reader[i] == ' ' || reader[i] == '\0'); --i)
        reader[i] = '\0';
    return AnswerText(reader, pbData, pdwDataLen, pdwError);
}

DWORD HandleContainer::GetKeyLengthFromCert(DWORD dwKeySpec, DWORD *pdwError)
{
    const char *name = "HandleContainer::GetKeyLengthFromCert";
    PKCSContainer *c = m_pCurrentContainer;
    const BYTE *der = nullptr;
    DWORD size = 0;
    if (c && dwKeySpec == AT_KEYEXCHANGE) {
        der = c->m_pbCertExchange;
        size = c->m_cbCertExchange;
    } else if (c && dwKeySpec == AT_SIGNATURE) {
        der = c->m_pbCertSignature;
        size = c->m_cbCertSignature;
    }
    if (!der) {
        *pdwError = static_cast<DWORD>(NTE_FAIL);
        return 0;
    }
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, size);
    if (!cert) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE,
                   "CertCreateCertificateContext error: 0x%08lx", static_cast<unsigned long>(GetLastError()));
        *pdwError = static_cast<DWORD>(NTE_FAIL);
        return 0;
    }
    const DWORD bytes = CertGetPublicKeyLength(X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo) / 8;
    CertFreeCertificateContext(cert);
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "Modulus Bits = %lu",
               static_cast<unsigned long>(bytes));
    if (!bytes)
        *pdwError = static_cast<DWORD>(NTE_FAIL);
    return bytes;
}
