// Card introduction and change, data reading and the situations.
#include <windows.h>

#include "AppState.h"
#include "CardConnection.h"
#include "CardPresentation.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "CardTrace.h"
#include "MainDlg.h"
#include "OperationSupport.h"
#include "Operations.h"
#include "PaneWriter.h"
#include "SmallDialogs.h"

namespace vel {

namespace {
CMainDlg &Dlg()
{
    return *g_mainDlg;
}

// Leaves the pane or the identification view before an operation.
void LeaveView()
{
    if (g_state.shownPane != PaneNone) {
        Dlg().HidePane();
        g_state.shownPane = PaneNone;
    } else {
        Dlg().ShowIdentification(false);
    }
}

bool Stop()
{
    return g_state.cancelRequested || lastRv != CKR_OK;
}

} // namespace

void ShowCardProblem()
{
    ForgetCardIdentity();
    Dlg().ShowIdentification(false);
    ShowCardState(CardStateFromLastRv());
    Dlg().ShowIdentification(true);
}

void CardIntroduction()
{
    if (g_card.cardPresent) {
        ChangeCard();
        return;
    }
    AppendJournal("Introduction carte");
    LeaveView();
    g_state.savedCommandState = g_state.commandState;
    SetCommandsOff(kAllCommands);
    g_state.cardChange = true;
    Dlg().SetStatusText("Introduction carte en cours...");
    uint16_t state = ScanReaders(nullptr);
    if (state == StateReady || state == StateBlocked) {
        ReadNameRecord();
        ReadIdRecord();
        ReadInfoRecord();
        BuildIdentityTexts();
        state = StateAfterIdentityReads(state);
    }
    RestoreCommandState();
    if (g_state.shownPane != PaneNone) {
        Dlg().HidePane();
        g_state.shownPane = PaneNone;
    }
    Dlg().ShowIdentification(true);
    ShowCardState(state);
}

void ResetToCardIntroduction()
{
    SetCommandsOff(kCardCommands);
    SetCommandsByRule(kPaneAndQuitCommands);
    g_state.savedCommandState = g_state.commandState;
    SetCardButtonImages(CmdCardIntro, "Introduction carte");
    SetCommandState(CmdCardIntro, true);
    ForgetCardData();
    g_card.cardPresent = false;
    // The emptied identity on screen, where no pane covers it.
    if (g_state.shownPane == PaneNone)
        Dlg().ShowIdentification(true);
}

void RestoreCommandState()
{
    if (!g_state.cardChange)
        return;
    Dlg().ShowStatus("");
    ::ShowWindow(Dlg().GetDlgItem(1062), SW_HIDE);
    Dlg().PumpMessages();
    SetCommandsByRule(g_state.savedCommandState);
    g_state.cardChange = false;
}

int ChangeCard()
{
    AppendJournal("Changement carte");
    CIntroCarteDlg prompt(CIntroCarteDlg::ChangeCard, g_state.readerName);
    if (prompt.DoModal() != IDOK)
        return 0;
    g_state.savedCommandState = g_state.commandState;
    SetCommandsOff(kAllCommands);
    Dlg().SetStatusText("Veuillez patienter le temps de prendre en compte le changement de carte...");
    g_state.cardChange = true;
    if (g_functions && hSession != kNoSession) {
        StampCallTime();
        CK_RV rv = g_functions->C_CloseSession(hSession);
        lastRv = rv;
        TraceCall(CallCloseSession, rv);
    }
    hSession = kNoSession;
    LeaveView();
    g_card.cardPresent = false;
    g_state.readerChosen = true;
    ForgetCardData();
    uint16_t state = ScanReaders(nullptr);
    RestoreCommandState();
    g_state.readerChosen = false;
    if (state == StateError)
        ShowMessage("La carte dans le lecteur n'est pas une carte PS", kCaption, MB_OK);
    ShowCardState(state);
    if (state == StateReady || state == 262 || state == StateBlocked) {
        ReadCardData();
        // The new card gone under its reads: its state, as a data read shows it.
        if (CardOrSessionGone(lastRv))
            ShowCardProblem();
    }
    // The new card, or the reader line of a refused one: never an empty window.
    Dlg().ShowIdentification(true);
    return 1;
}

void ReadCardData()
{
    ForgetCardIdentity();
    Dlg().BeginLongOperation(3, true);
    Dlg().SetStatusText("Services PKCS en cours (1/3): LectureInfosPS2");
    ReadInfoRecord();
    Dlg().StepProgressTo(1);
    if (!Stop()) {
        Dlg().SetStatusText("Services PKCS en cours (2/3): LectureInfosPorteur");
        ReadNameRecord();
        Dlg().StepProgressTo(2);
    }
    if (!Stop()) {
        Dlg().SetStatusText("Services PKCS en cours (3/3): LectureInfosCarte");
        ReadIdRecord();
        Dlg().StepProgressTo(3);
    }
    Dlg().EndLongOperation();
    WriteHolderInfo();
}

void OnReadDataCommand()
{
    AppendJournal("Lecture données");
    LeaveView();
    ReadCardData();
    Dlg().ShowIdentification(false);
    if (lastRv != CKR_OK)
        ShowCardProblem();
    else
        Dlg().ShowPane(PaneData);
}

void ReadSituations()
{
    userLoggedIn = 0;
    CK_SESSION_INFO info{};
    CK_RV rv = g_functions && hSession != kNoSession ? g_functions->C_GetSessionInfo(hSession, &info)
                                                     : CKR_SESSION_HANDLE_INVALID;
    // The check's own result: an older failure (a refused PIN change) must
    // not stop the reads of a logged-in session.
    lastRv = rv;
    if (rv == CKR_OK && (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS ||
                         info.state == CKS_RW_SO_FUNCTIONS)) {
        userLoggedIn = 1;
    } else {
        switch (VerifyPin()) {
        case PinGaveUp:
            return;
        case PinCardBlockedForGood:
            SetCommandsOff(CmdReadSituations | CmdSelfTest | CmdPresentPin | CmdUnblockPin | CmdChangePin);
            return;
        case PinCardGone:
            ResetToCardIntroduction();
            return;
        case PinBlocked:
            SetCommandsOff(CmdReadSituations | CmdSelfTest | CmdPresentPin | CmdChangePin);
            SetCommandState(CmdUnblockPin, true);
            return;
        case PinLoggedIn:
            break;
        case PinDeviceError:
            // No message came with it: the card state says what became of the card.
            ShowCardProblem();
            return;
        default:
            // The login failed and was reported: nothing can be read. A
            // card gone under it shows its state, not the commands of a
            // card still there.
            if (CardOrSessionGone(lastRv))
                ShowCardProblem();
            return;
        }
    }
    AppendJournal("Lecture des situations");
    if (g_state.shownPane != PaneNone) {
        Dlg().HidePane();
        g_state.shownPane = PaneNone;
    }
    Dlg().ShowIdentification(false);
    Dlg().BeginLongOperation(18, true);
    ClearSituations();
    Dlg().ClearPane(PaneDataLower);
    Dlg().StepProgressTo(1);
    if (!Stop()) {
        Dlg().SetStatusText("Services PKCS = VELGES_Situations");
        g_card.activityCount = CountActivityObjects(hSession);
        for (unsigned i = 0; i < g_card.activityCount && i < kMaxActivities; ++i)
            ReadActivityRecord(hSession, i);
        Dlg().StepProgressTo(17);
    }
    if (!Stop()) {
        Dlg().SetStatusText("Services PKCS = VELGES_LectSitFacturation");
        ReadBillingSituations(hSession);
        g_card.billingRead = g_card.billingRead && lastRv == CKR_OK;
        Dlg().StepProgressTo(18);
    }
    Dlg().EndLongOperation();
    WriteSituations();
    if (lastRv == CKR_OK)
        Dlg().ShowPane(PaneData);
    else
        ShowCardProblem();
}

} // namespace vel
