#include "pkcs_helpers.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "certificate_search.h"
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "padded_field.h"
#include "prompt/pin_prompts.h"
#include "registration/version_label.h"
#include "trace_scope.h"

std::atomic<CK_FUNCTION_LIST_PTR> pFunctionList{nullptr};

namespace {

// A search whose session is busy waits in steps of 250 ms, 10 s at most.
constexpr DWORD kSearchPollMs = 250;
constexpr int kSearchPolls = 40;

CK_FUNCTION_LIST_PTR List()
{
    return pFunctionList.load();
}

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

CK_RV initFuncList()
{
    TraceScope trace(LOG_LEVEL_DETAIL, "initFuncList", FALSE, "%p", static_cast<void *>(&pFunctionList));
    CK_FUNCTION_LIST_PTR list = nullptr;
    CK_RV rv = C_GetFunctionList(&list);
    if (rv == CKR_OK && !list)
        rv = CKR_GENERAL_ERROR;
    if (rv == CKR_OK)
        pFunctionList.store(list);
    trace.Return(rv, "%p, rc=%lu", static_cast<void *>(list), static_cast<unsigned long>(rv));
    return rv;
}

CK_RV initialize(const char *pReserved)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "initialize", FALSE, "%p, %p", static_cast<void *>(List()),
                     static_cast<const void *>(pReserved));
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "initialize", 0, FALSE, "%p, %s", static_cast<void *>(List()),
               pReserved ? pReserved : "NULL");
    CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    if (List()) {
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = const_cast<char *>(pReserved);
        rv = List()->C_Initialize(&args);
    }
    trace.Return(rv, "%p, %p, 0x%08lX", static_cast<void *>(List()), static_cast<const void *>(pReserved),
                 static_cast<unsigned long>(rv));
    return rv;
}

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

int isUserLogged(CK_SESSION_HANDLE s, CK_RV *rv)
{
    CK_SESSION_INFO info = {};
    CK_RV r = List() ? List()->C_GetSessionInfo(s, &info) : CKR_CRYPTOKI_NOT_INITIALIZED;
    if (rv)
        *rv = r;
    if (r != CKR_OK) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isUserLogged", 0, FALSE,
                   "Demande de l'etat session impossible");
        return 0;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isUserLogged", 0, FALSE, "Session.state : 0x%08lX",
               static_cast<unsigned long>(info.state));
    if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isUserLogged", 0, FALSE, "Deja authentifie.");
        return 1;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isUserLogged", 0, FALSE, "Il faut s'authentifier.");
    return 0;
}

namespace {

// Asks the holder for the PIN. 1 with 4 digits in pin, else no PIN.
INT_PTR getCodePorteur(char (&pin)[kPinDigits + 1])
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "getCodePorteur", FALSE, "0x%p, %u", static_cast<void *>(pin),
                     kPinDigits);
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "getCodePorteur", 0, FALSE, "g_hModule=%p",
               static_cast<void *>(g_hModule));
    PinPromptTexts &texts = CurrentPromptTexts();
    INT_PTR result;
    if (IsAppContainerApp())
        result = MngtCredsSpartan(pin, sizeof pin, texts.CardLabel, texts.TriesText);
    else
        result = ShowPinDialog(texts, pin);
    // Anything but a typed PIN is a cancel: a dialog that failed to open
    // must never lead to a login with an empty or stale PIN.
    if (result != IDOK || !IsFourDigitPin(pin)) {
        WipeMemory(pin, sizeof pin);
        result = IDCANCEL;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "getCodePorteur", 0, FALSE,
               "Affichage de la boite de dialogue du code porteur - Fin: %d", static_cast<int>(result));
    trace.Return(result == IDOK ? 0 : ERROR_CANCELLED, "0x%p, %u", static_cast<void *>(pin), kPinDigits);
    return result;
}

} // namespace

CK_RV login(CK_SESSION_HANDLE s, const char *pin, CK_ULONG pinLength, DWORD dwFlags)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "login", FALSE, "0x%p, %lu, 0x%p, 0x%08lx",
                     static_cast<void *>(List()), static_cast<unsigned long>(s),
                     static_cast<const void *>(pin), static_cast<unsigned long>(dwFlags));
    char typed[kPinDigits + 1] = {};
    const char *usedPin = pin;
    CK_ULONG usedLength = pinLength;
    CK_RV rv;
    if (!List()) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
        goto done;
    }
    if (!pin && (dwFlags & CRYPT_SILENT)) {
        CK_RV infoRv = CKR_OK;
        if (isUserLogged(s, &infoRv)) {
            rv = CKR_USER_ALREADY_LOGGED_IN;
            goto done;
        }
        if (infoRv != CKR_OK) {
            rv = infoRv;
            goto done;
        }
        usedLength = 0; // the library decides whether it can log in without a PIN
    } else if (!pin) {
        if (getCodePorteur(typed) != IDOK) {
            rv = CKR_FUNCTION_CANCELED;
            goto done;
        }
        usedPin = typed;
        usedLength = kPinDigits;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "login", 0, FALSE, "0x%p, %lu, 0x%p, %lu",
               static_cast<void *>(List()), static_cast<unsigned long>(s), static_cast<const void *>(usedPin),
               static_cast<unsigned long>(usedLength));
    rv = List()->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(usedPin)),
                         usedLength);
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "login", 0, FALSE, "0x%p, %lu, 0x%p, %lu, 0x%08lx",
               static_cast<void *>(List()), static_cast<unsigned long>(s), static_cast<const void *>(usedPin),
               static_cast<unsigned long>(usedLength), static_cast<unsigned long>(rv));
    if (rv == CKR_USER_ALREADY_LOGGED_IN)
        rv = CKR_OK;
done:
    WipeMemory(typed, sizeof typed);
    trace.Return(rv, "0x%p, %lu, 0x%08lX", static_cast<void *>(List()), static_cast<unsigned long>(s),
                 static_cast<unsigned long>(rv));
    return rv;
}

CK_RV FindSlot(const CK_SLOT_ID *slots, CK_ULONG count, const char *readerName, CK_SLOT_ID *slot, int *found)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "FindSlot", FALSE, "0x%p, %s", static_cast<void *>(List()),
                     readerName ? readerName : "NULL");
    if (!slots || !slot || !found || !readerName || !List()) {
        trace.Return(CKR_ARGUMENTS_BAD, "0x%p", static_cast<void *>(List()));
        return CKR_ARGUMENTS_BAD;
    }
    CK_RV rv = CKR_OK;
    int match = 0;
    for (CK_ULONG i = 0; i < count && !match; ++i) {
        CK_SLOT_INFO info = {};
        rv = List()->C_GetSlotInfo(slots[i], &info);
        if (rv != CKR_OK || !(info.flags & CKF_TOKEN_PRESENT))
            continue;
        const std::string description =
            vel::PaddedFieldText(info.slotDescription, sizeof info.slotDescription);
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "FindSlot", 0, FALSE, "Looking for \"%s\", found : \"%s\"",
                   readerName, description.c_str());
        if (description == readerName) {
            *slot = slots[i];
            match = 1;
        }
    }
    *found = match;
    trace.Return(rv, "0x%p, %s", static_cast<void *>(List()), readerName);
    return rv;
}

int TriesFromFlags(CK_FLAGS flags)
{
    int tries = 3;
    for (CK_FLAGS f : {CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED})
        if (flags & f)
            --tries;
    return tries;
}

void PreparePinPrompt(const CK_TOKEN_INFO &token, DWORD dwFlags)
{
    PinPromptTexts &texts = CurrentPromptTexts();
    const std::string label = vel::PaddedFieldText(token.label, sizeof token.label);
    std::snprintf(texts.CardLabel, sizeof texts.CardLabel, "%s", label.c_str());
    const int tries = TriesFromFlags(token.flags);
    if (tries > 0)
        std::snprintf(texts.TriesText, sizeof texts.TriesText,
                      "Il vous reste %d tentative(s) pour la carte %s", tries, texts.CardLabel);
    if (!(dwFlags & (CRYPT_SILENT | CRYPT_MACHINE_KEYSET))) {
        DWORD capacity = sizeof texts.VersionLabel;
        getSorveloVersion(&capacity, texts.VersionLabel);
    }
}
