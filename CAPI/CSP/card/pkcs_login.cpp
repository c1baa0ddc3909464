// The holder's login: whether a session is logged in, the PIN asked of the
// holder and the texts its prompt shows, the login itself, a container's
// interactive and silent logins and the PIN given as a parameter.
#include "pkcs_helpers.h"

#include <cstdio>
#include <initializer_list>
#include <string>

#include "container/handle_container.h"
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "padded_field.h"
#include "pkcs_container.h"
#include "pkcs_library.h"
#include "prompt/pin_prompts.h"
#include "registration/version_label.h"
#include "trace_scope.h"

using csp::card::Fail;
using csp::card::FailWith;
using csp::card::TraceNoLogout;
using Pkcs::List;

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

namespace Pkcs {

BOOL DoSilentLogin(PKCSContainer *container)
{
    const char *name = "Pkcs::DoSilentLogin";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p", static_cast<void *>(container));
    if (!container)
        return Fail(trace, "");
    const CK_RV rv = login(container->m_hSession, nullptr, 0, CRYPT_SILENT);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        trace.Return(TRUE, "Logged successfully: 0x%p", static_cast<void *>(container));
        return TRUE;
    }
    TraceNoLogout(container->m_hSession);
    if (rv == CKR_PIN_INCORRECT)
        return FailWith(trace, "Incorrect Pin: 0x%08lx", static_cast<unsigned long>(rv));
    return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
}

BOOL DoLogin(PKCSContainer *container, DWORD dwFlags)
{
    const char *name = "Pkcs::DoLogin";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%08lx", static_cast<void *>(container),
                     static_cast<unsigned long>(dwFlags));
    if (!container || !List())
        return Fail(trace, "");
    CardOperation operation(container);
    // The holder cancelled the prompt this operation waited behind: that
    // answer is this operation's too.
    if (operation.PromptCancelledMeanwhile())
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(CKR_FUNCTION_CANCELED));
    CK_TOKEN_INFO token = {};
    if (List()->C_GetTokenInfo(container->m_slotID, &token) != CKR_OK || (token.flags & CKF_USER_PIN_LOCKED))
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(dwFlags));
    bool finalTry = false;
    for (;;) {
        PreparePinPrompt(token, dwFlags);
        const CK_RV rv = login(container->m_hSession, nullptr, 0, dwFlags);
        if (rv != CKR_HOST_MEMORY && rv != CKR_CRYPTOKI_NOT_INITIALIZED)
            operation.PromptEnded(rv == CKR_FUNCTION_CANCELED); // else no prompt was shown
        if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
            trace.Return(TRUE, "Logged successfully: 0x%p, 0x%08lx", static_cast<void *>(container),
                         static_cast<unsigned long>(dwFlags));
            return TRUE;
        }
        if (rv != CKR_PIN_INCORRECT || finalTry) {
            TraceNoLogout(container->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        if (List()->C_GetTokenInfo(container->m_slotID, &token) != CKR_OK) {
            TraceNoLogout(container->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        if (token.flags & CKF_USER_PIN_LOCKED)
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(CKR_PIN_LOCKED));
        finalTry = (token.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    }
}

BOOL CheckPinCode(HandleContainer *hc, const char *pin, DWORD dwFlags, CK_RV *rv)
{
    const char *name = "Pkcs::CheckPinCode";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%08lx", static_cast<void *>(hc),
                     static_cast<const void *>(pin), static_cast<unsigned long>(dwFlags));
    if (!hc || !hc->m_pCurrentContainer || !rv || !pin || !List())
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    // The log-out and log-in are one step for every context of the card.
    CardOperation operation(c);
    if (c->CardGone()) {
        *rv = CKR_TOKEN_NOT_RECOGNIZED;
        return Fail(trace, "Carte changee");
    }
    const CK_RV out = List()->C_Logout(c->m_hSession);
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "logout", 0, FALSE, "0x%p, 0x%08lx, 0x%08lx, 0x%08lx",
               static_cast<void *>(List()), static_cast<unsigned long>(c->m_hSession),
               static_cast<unsigned long>(dwFlags), static_cast<unsigned long>(out));
    // The session may also be gone with the card that was pulled meanwhile.
    const bool sessionGone = out == CKR_SESSION_HANDLE_INVALID || out == CKR_SESSION_CLOSED ||
                             out == CKR_DEVICE_REMOVED || out == CKR_TOKEN_NOT_PRESENT;
    if (sessionGone && (!c->m_szComputerName || !c->m_szComputerName[0])) {
        // A new session, on the container's own card only: the holder's PIN
        // goes to no other card.
        switch (RecheckCard(c)) {
        case CardCheck::Absent:
            *rv = CKR_TOKEN_NOT_PRESENT;
            return FailWith(trace, "Failed to open a session for slotID (%lu)",
                            static_cast<unsigned long>(c->m_slotID));
        case CardCheck::Changed:
            *rv = CKR_TOKEN_NOT_RECOGNIZED;
            return Fail(trace, "Carte changee");
        default:
            break;
        }
    }
    *rv = login(c->m_hSession, pin, 4, dwFlags);
    if (*rv == CKR_OK || *rv == CKR_USER_ALREADY_LOGGED_IN) {
        trace.Return(TRUE, "%s", "");
        return TRUE;
    }
    if (*rv != CKR_PIN_INCORRECT && *rv != CKR_PIN_LOCKED)
        TraceNoLogout(c->m_hSession);
    return FailWith(trace, "0x%08lx", static_cast<unsigned long>(*rv));
}

} // namespace Pkcs
