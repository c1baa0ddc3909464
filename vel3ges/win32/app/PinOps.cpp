// PIN presentation, change and unblock, and the PIN prompt of the login.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "AppState.h"
#include "CardConnection.h"
#include "CardPresentation.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "CardTrace.h"
#include "CodeDlg.h"
#include "MainDlg.h"
#include "Operations.h"
#include "PaneWriter.h"

namespace vel {

namespace {
CMainDlg &Dlg()
{
    return *g_mainDlg;
}

const char kPinLengthMessage[] =
    "Le code porteur est un code entre quatre et huit chiffres. Saissisez à nouveau le code porteur.";
const char kUnblockLengthMessage[] =
    "Le code de déblocage est un code à huit chiffres. Saissisez à nouveau le code de déblocage.";
const char kBlockedForGood[] = "Cette carte est définitivement bloquée et doit être remplacée.";
const char kUnblockQuestion[] = "Cette carte est bloquée (3 codes erronés).\nVoulez-vous la débloquer (vous "
                                "devrez saisir le code de déblocage) ?";

const uint32_t kPinAndReadCommands = CmdReadSituations | CmdSelfTest | CmdPresentPin | CmdChangePin;

// The token-information check retries a vanished card this many times.
constexpr int kTokenCheckRetries = 3;

bool IsReopenResult(CK_RV rv)
{
    return rv == CKR_SLOT_ID_INVALID || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED ||
           rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED;
}

// The token flags as the card has them now: the retry messages must count
// the tries left after the failed attempt, not before it. lastRv is kept.
unsigned long FreshTokenFlags()
{
    CK_RV saved = lastRv;
    CK_TOKEN_INFO info{};
    ReadTokenInfo(g_connection.slotID, &info);
    if (lastRv == CKR_OK) {
        g_state.tokenInfo = info;
        g_connection.tokenInfo = info;
        g_card.userPinLocked = (info.flags & CKF_USER_PIN_LOCKED) != 0;
    }
    lastRv = saved;
    return g_state.tokenInfo.flags;
}

// The view (pane or identification) in front when an operation starts.
struct View {
    PaneType pane = PaneNone;
    void Leave()
    {
        pane = g_state.shownPane;
        if (pane != PaneNone) {
            Dlg().HidePane();
            g_state.shownPane = PaneNone;
        } else {
            Dlg().ShowIdentification(false);
        }
    }
    void Restore() const
    {
        if (pane != PaneNone)
            Dlg().ShowPane(pane);
        else
            Dlg().ShowIdentification(true);
    }
};

// Commands off while a card service runs; RestoreCommandState brings them back.
void FreezeCommands(const char *status)
{
    g_state.savedCommandState = g_state.commandState;
    SetCommandsOff(kAllCommands);
    Dlg().SetStatusText(status);
    g_state.cardChange = true;
}

bool AskCode(CCodeDlg::Type type, unsigned maxLength, const char *caption, SecretText &out, size_t keep)
{
    CCodeDlg dlg(maxLength, type, caption);
    if (dlg.DoModal() != IDOK)
        return false;
    char kept[SecretText::Capacity + 1] = {};
    std::memcpy(kept, dlg.Code().c_str(), keep < dlg.Code().size() ? keep : dlg.Code().size());
    out.Assign(kept);
    volatile char *p = kept;
    for (size_t i = 0; i < sizeof kept; ++i)
        p[i] = 0;
    return true;
}

bool PromptNewPin(SecretText &pin, const char *prompt)
{
    return AskCode(CCodeDlg::NewPin, 4, prompt, pin, 4);
}
bool PromptUnblockCode(SecretText &code)
{
    return AskCode(CCodeDlg::UnblockCode, 8, nullptr, code, 8);
}

enum class PinCheck { Accepted, WrongLength, CardProblem };

// A new PIN's length against the token's limits; a card that goes away is
// looked for again a few times (the session re-opened) before giving up. A
// token that cannot be read is the card's problem (lastRv says which), never
// a wrong length.
PinCheck CheckNewPinLength(const SecretText &pin)
{
    if (!g_functions) {
        lastRv = CKR_GENERAL_ERROR;
        return PinCheck::CardProblem;
    }
    for (int attempt = 0; attempt <= kTokenCheckRetries; ++attempt) {
        CK_TOKEN_INFO info{};
        StampCallTime();
        CK_RV rv = g_functions->C_GetTokenInfo(g_connection.slotID, &info);
        lastRv = rv;
        TraceCall(CallGetTokenInfo, rv);
        if (rv == CKR_OK)
            return pin.size() >= info.ulMinPinLen && pin.size() <= info.ulMaxPinLen ? PinCheck::Accepted
                                                                                    : PinCheck::WrongLength;
        if (!IsReopenResult(rv))
            break;
        hSession = kNoSession;
        CK_SESSION_HANDLE session = kNoSession;
        if (g_functions->C_OpenSession(g_connection.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &session) ==
            CKR_OK)
            hSession = session;
    }
    return PinCheck::CardProblem;
}

enum class Entry { Given, Cancelled, CardProblem };

// Asks a new PIN (checked) and its confirmation.
Entry AskNewPinWithConfirmation(SecretText &newPin)
{
    for (;;) {
        if (!PromptNewPin(newPin, "Saisissez le nouveau code porteur"))
            return Entry::Cancelled;
        PinCheck check = CheckNewPinLength(newPin);
        if (check == PinCheck::CardProblem)
            return Entry::CardProblem;
        if (check == PinCheck::Accepted)
            break;
        ShowMessage(kPinLengthMessage, kCaption, MB_OK);
    }
    for (;;) {
        SecretText confirmation;
        if (!PromptNewPin(confirmation, "Confirmez le nouveau code porteur"))
            return Entry::Cancelled;
        PinCheck check = CheckNewPinLength(confirmation);
        if (check == PinCheck::CardProblem)
            return Entry::CardProblem;
        if (check == PinCheck::WrongLength) {
            ShowMessage(kPinLengthMessage, kCaption, MB_OK);
            continue;
        }
        if (confirmation.size() == newPin.size() &&
            std::memcmp(confirmation.c_str(), newPin.c_str(), newPin.size()) == 0)
            return Entry::Given;
        ShowMessage("Code de confirmation erroné.", kCaption, MB_OK);
    }
}

// The unblock code, the new PIN and the unblock service. Given: lastRv holds
// the service's result; CardProblem: the new PIN's check could not read the
// token (lastRv says why).
Entry RunUnblock(bool writeJournalOnce, const std::string &stamp)
{
    SecretText code, newPin;
    for (;;) {
        if (!PromptUnblockCode(code))
            return Entry::Cancelled;
        if (code.size() == 8)
            break;
        ShowMessage(kUnblockLengthMessage, kCaption, MB_OK);
    }
    Entry entry = AskNewPinWithConfirmation(newPin);
    if (entry != Entry::Given)
        return entry;
    View view;
    view.Leave();
    if (writeJournalOnce && !g_state.pinJournal)
        AppendPaneLine(PaneJournal, "%s  Recyclage du code porteur", stamp.c_str());
    g_state.pinJournal = true;
    FreezeCommands("Recyclage en cours...");
    ServiceUnblockPin(code.c_str(), newPin.c_str());
    RestoreCommandState();
    view.Restore();
    return Entry::Given;
}

// A failed change or unblock: a code refused by the card is the holder's
// (the caller asks again), any other failure the card's, told by its state.
// True when it was the card's.
bool CardFailedTheService()
{
    if (PinRefused(lastRv))
        return false;
    if (lastRv == CKR_TOKEN_NOT_RECOGNIZED)
        ResetToCardIntroduction();
    else
        ShowCardProblem();
    return true;
}

void LeaveOnlyUnblock()
{
    SetCommandsOff(kPinAndReadCommands);
    SetCommandState(CmdUnblockPin, true);
}

void BlockedForGood()
{
    SetCommandsOff(kPinAndReadCommands | CmdUnblockPin);
}

// The unblock code is used up: say so and leave nothing the card can do.
void ReportBlockedForGood()
{
    ShowMessage(kBlockedForGood, kCaption, MB_OK);
    BlockedForGood();
}
} // namespace

uint32_t PinPromptCallback(uint32_t promptKind, uint32_t, SecretText &pin)
{
    if (promptKind == kPromptPinLocked)
        return ShowMessage(kUnblockQuestion, kCaption, MB_YESNO | MB_ICONQUESTION) == IDYES
                   ? AnswerGoOn
                   : AnswerDoNotUnblock;
    CCodeDlg dlg(8, CCodeDlg::LoginPin, nullptr, UserPinTries(g_connection.tokenInfo.flags));
    if (dlg.DoModal() != IDOK)
        return AnswerGiveUp;
    pin.Assign(dlg.Code().c_str());
    return AnswerRetry;
}

uint16_t VerifyPin()
{
    CK_TOKEN_INFO info{};
    lastRv = CKR_OK;
    ReadTokenInfo(g_connection.slotID, &info);
    if (lastRv != CKR_OK)
        return PinCardGone;
    g_state.tokenInfo = info;
    if (info.flags & CKF_SO_PIN_LOCKED) {
        ShowMessage(kBlockedForGood, kCaption, MB_OK);
        return PinCardBlockedForGood;
    }
    if (!g_card.userPinLocked) {
        for (;;) {
            View view;
            view.Leave();
            g_state.pinJournal = true;
            FreezeCommands("Vérification du code porteur...     ");
            CK_RV rv = LoginWithPrompt(g_connection);
            lastRv = rv;
            RestoreCommandState();
            if (rv == kHolderUnblocks) {
                view.Restore();
                break; // to the unblock part
            }
            if (rv == kPinFirstRequest) {
                view.Restore();
                return PinBlocked;
            }
            if (rv == kHolderGaveUp) {
                view.Restore();
                return PinGaveUp;
            }
            const bool ok = rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN;
            FreezeCommands(ok ? "Vérification du code porteur...Ok   "
                              : "Vérification du code porteur...Echec");
            RestoreCommandState();
            view.Restore();
            if (ok)
                return PinLoggedIn;
            if (rv == CKR_PIN_INCORRECT) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "Ce code porteur est erroné.\nVous avez au maximum %d "
                              "tentative(s).\nVoulez-vous réessayer ?",
                              (int)UserPinTries(FreshTokenFlags()));
                if (ShowMessage(text, kCaption, MB_YESNO | MB_ICONQUESTION) == IDYES)
                    continue;
                return PinGaveUp;
            }
            if (rv == CKR_DEVICE_ERROR)
                return PinDeviceError;
            // Named after the call that failed: the card may have gone at the
            // token read before the login itself.
            char text[200];
            std::snprintf(text, sizeof text, "Erreur %lu (%lxh) = %s dans %s", (unsigned long)rv,
                          (unsigned long)rv, CkrToText(rv), CallName(lastTracedCall));
            ShowMessage(text, kCaption, MB_OK);
            return PinLoginFailed;
        }
    }
    // Unblock part. A card gone under it ends as one gone before it.
    for (;;) {
        Entry entry = RunUnblock(false, std::string());
        if (entry == Entry::Cancelled)
            return PinBlocked;
        if (entry == Entry::CardProblem)
            return PinCardGone;
        if (lastRv == CKR_OK)
            return PinLoggedIn;
        if (!PinRefused(lastRv))
            return PinCardGone;
        unsigned long flags = FreshTokenFlags();
        if (flags & CKF_SO_PIN_LOCKED) {
            ShowMessage(kBlockedForGood, kCaption, MB_OK);
            return PinCardBlockedForGood;
        }
        char text[160];
        std::snprintf(
            text, sizeof text,
            "Ce code de déblocage est erronéVous avez au maximum %d tentative(s).\nVoulez-vous réessayer ?",
            (int)SoPinTries(flags));
        if (ShowMessage(text, kCaption, MB_YESNO | MB_ICONQUESTION) != IDYES)
            return PinBlocked;
    }
}

void PresentPin()
{
    std::string stamp = NowTimestamp();
    g_state.pinJournal = false;
    switch (VerifyPin()) {
    case PinCardBlockedForGood:
        BlockedForGood();
        break;
    case PinLoginFailed:
        ShowCardProblem();
        break;
    case PinCardGone:
        // As the other PIN verifications end on a card gone.
        ResetToCardIntroduction();
        break;
    case PinBlocked:
        LeaveOnlyUnblock();
        break;
    default:
        break;
    }
    if (g_state.pinJournal)
        AppendPaneLine(PaneJournal, "%s  Présentation du code porteur", stamp.c_str());
}

void ChangePin()
{
    g_state.pinJournal = false;
    if (g_state.tokenInfo.flags & CKF_SO_PIN_LOCKED) {
        ShowMessage("Carte bloquée. Impossible de changer le code porteur.", kCaption, MB_OK);
        BlockedForGood();
        return;
    }
    std::string stamp = NowTimestamp();
    for (;;) {
        SecretText oldPin, newPin;
        for (;;) {
            if (!AskCode(CCodeDlg::OldPin, 4, nullptr, oldPin, 4))
                return;
            if (oldPin.size() == 4)
                break;
            ShowMessage(kPinLengthMessage, kCaption, MB_OK);
        }
        for (;;) {
            if (!PromptNewPin(newPin, "Saisissez le nouveau code porteur"))
                return;
            if (newPin.size() == 4)
                break;
            ShowMessage(kPinLengthMessage, kCaption, MB_OK);
        }
        for (;;) {
            SecretText confirmation;
            if (!PromptNewPin(confirmation, "Confirmez le nouveau code porteur"))
                return;
            if (confirmation.size() != 4) {
                ShowMessage(kPinLengthMessage, kCaption, MB_OK);
                continue;
            }
            if (std::memcmp(confirmation.c_str(), newPin.c_str(), 4) == 0)
                break;
            ShowMessage("Code de confirmation erroné.", kCaption, MB_OK);
        }
        View view;
        view.Leave();
        if (!g_state.pinJournal)
            AppendPaneLine(PaneJournal, "%s  Modification du code porteur", stamp.c_str());
        g_state.pinJournal = true;
        FreezeCommands("Changement de code en cours...");
        ServiceChangePin(oldPin.c_str(), newPin.c_str());
        RestoreCommandState();
        view.Restore();

        if (lastRv == CKR_OK || CardFailedTheService())
            return;
        unsigned long flags = FreshTokenFlags();
        if (flags & CKF_SO_PIN_LOCKED) {
            ReportBlockedForGood();
            return;
        }
        if (g_card.userPinLocked) {
            if (ShowMessage(kUnblockQuestion, kCaption, MB_YESNO | MB_ICONQUESTION) == IDYES)
                UnblockPin();
            else
                LeaveOnlyUnblock();
            return;
        }
        char text[160];
        std::snprintf(
            text, sizeof text,
            "Ce code porteur est erroné.\nVous avez au maximum %d tentative(s).\nVoulez-vous réessayer ?",
            (int)UserPinTries(flags));
        if (ShowMessage(text, kCaption, MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
    }
}

void UnblockPin()
{
    if (g_state.tokenInfo.flags & CKF_SO_PIN_LOCKED) {
        ReportBlockedForGood();
        return;
    }
    std::string stamp = NowTimestamp();
    g_state.pinJournal = false;
    for (;;) {
        Entry entry = RunUnblock(true, stamp);
        if (entry == Entry::Cancelled) {
            LeaveOnlyUnblock();
            return;
        }
        if (entry == Entry::CardProblem) {
            ShowCardProblem();
            return;
        }
        if (lastRv == CKR_OK) {
            // By rule: a "CL" card keeps its read and PIN commands greyed.
            SetCommandsByRule(kPinAndReadCommands);
            SetCommandState(CmdUnblockPin, false);
            return;
        }
        if (CardFailedTheService())
            return;
        unsigned long flags = FreshTokenFlags();
        if (flags & CKF_SO_PIN_LOCKED) {
            ReportBlockedForGood();
            return;
        }
        char text[160];
        std::snprintf(
            text, sizeof text,
            "Ce code de déblocage est erronéVous avez au maximum %d tentative(s).\nVoulez-vous réessayer ?",
            (int)SoPinTries(flags));
        if (ShowMessage(text, kCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) {
            LeaveOnlyUnblock();
            return;
        }
    }
}

} // namespace vel
