// Start-up, reader scan, card state and the PKCS#11 clean-up at quit.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "AppState.h"
#include "CardConnection.h"
#include "CardPresentation.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "CardTrace.h"
#include "DataFolder.h"
#include "MainDlg.h"
#include "OperationSupport.h"
#include "Operations.h"
#include "PaneWriter.h"
#include "padded_field.h"
#include "pkcs11_loader.h"
#include "resource.h"

namespace vel {

namespace {
// A blank-padded PKCS#11 text as a C string, cut to the buffer first.
void CopyTrimmed(char *dst, size_t dstSize, const CK_UTF8CHAR *src, size_t srcLength)
{
    const size_t n = PaddedFieldLength(src, srcLength < dstSize - 1 ? srcLength : dstSize - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

uint16_t CardStateFromLastRv()
{
    return CardStateFromRv(lastRv, g_connection.slotCount != 0);
}

uint16_t StartCardManager()
{
    CMainDlg &dlg = *g_mainDlg;
    // 1. Reset the card and its panes.
    g_card.cardPresent = false;
    ClearCardData();
    BuildIdentityTexts();
    if (dlg.PaneLineCount(PaneDataUpper) > 4)
        dlg.TrimPane(PaneDataUpper, 4, dlg.PaneLineCount(PaneDataUpper) - 1);
    dlg.ClearPane(PaneDataLower);
    // (The trace keeps its text, its line count and its record starts together.)

    // 2.-3. Commands: only the panes and quit.
    g_state.commandState = 0;
    g_state.sampleFilePath = DataFolderPrefix(DataFolderKind::Coffre) + "ACR_STANDARD_20130625.cer";
    g_sampleFilePath = g_state.sampleFilePath;
    SetCommandsByRule(kPaneAndQuitCommands);

    // 4.
    dlg.BeginLongOperation(7, false);
    dlg.SetStatusText("Initialisation en cours");
    WritePaneHeaders();
    dlg.StepProgressTo(1);
    dlg.StepProgressTo(2);

    // 5. Bind and initialise the library once.
    g_state.initialiseFailed = false;
    if (!g_state.libraryInitialised) {
        CK_FUNCTION_LIST *functions = nullptr;
        StampCallTime();
        CK_RV rv = ThePkcs11Loader().Bind(&functions);
        TraceServiceHeader(CallGetFunctionList, rv);
        AppendPaneLine(PaneTrace, "   CK_RV = 0x%08lx", (unsigned long)rv);
        if (rv != CKR_OK) {
            // Leave a window the holder can still use: the panes and quit.
            lastRv = rv;
            dlg.EndLongOperation();
            dlg.ShowIdentification(true);
            return 0;
        }
        BindFunctionList(functions);
        StampCallTime();
        rv = functions->C_Initialize(nullptr);
        lastRv = rv;
        TraceCall(CallInitialize, rv);
        if (rv != CKR_OK) {
            g_state.initialiseFailed = true;
            dlg.EndLongOperation();
            return 3;
        }
        g_state.libraryInitialised = true;
    }

    // 6.-8.
    dlg.StepProgressTo(3);
    uint16_t result = 2;
    uint16_t state = ScanReaders(&result);
    if (state == StateReady || state == StateBlocked) {
        dlg.StepProgressTo(5);
        ReadNameRecord();
        ReadIdRecord();
        ReadInfoRecord();
        BuildIdentityTexts();
        state = StateAfterIdentityReads(state);
    }
    ShowCardState(state);
    dlg.StepProgressTo(7);
    dlg.EndLongOperation();
    dlg.ShowIdentification(true);
    return result;
}

uint16_t StateAfterIdentityReads(uint16_t state)
{
    if (!CardOrSessionGone(lastRv))
        return state;
    ForgetCardIdentity();
    return CardStateFromLastRv();
}

uint16_t ScanReaders(uint16_t *resultCode)
{
    CMainDlg &dlg = *g_mainDlg;
    g_card.newCard = false;
    lastRv = CKR_OK;
    if (!g_state.readerChosen && !g_state.holderChoseReader)
        g_connection.slotID = kNoSlot;
    if (g_state.reselect) {
        g_connection.slotID = g_state.pickedSlot;
        // The count of the list the holder chose from: a reader plugged in
        // since the last scan is in it.
        if (g_state.listedSlotCount > 1) {
            CK_SLOT_INFO info{};
            ReadSlotInfo(g_connection.slotID, &info);
            if (lastRv == CKR_OK) {
                CopyTrimmed(g_state.readerName, sizeof g_state.readerName, info.slotDescription,
                            sizeof info.slotDescription);
                std::memcpy(g_connection.wantedReader, info.slotDescription,
                            sizeof g_connection.wantedReader);
            }
        }
    }
    g_state.reselect = false;
    hSession = kNoSession;
    if (!g_connection.prompts)
        g_connection.prompts = &dlg;
    g_connection.checkPinLength = true;
    g_connection.readPinState = true;
    g_connection.promptKind = kPromptPin;
    CK_RV rv = ConnectToken(g_connection);
    if (rv == kPromptFinalTry) // a session is open, the PIN not yet presented
        rv = CKR_OK;
    lastRv = rv;
    // The reader the holder chose is unplugged: the scan took the first card
    // found, and later scans do the same until a reader is chosen again.
    if (g_connection.wantedReaderGone)
        g_state.holderChoseReader = false;
    uint16_t state = CardStateFromLastRv();

    if (state != StateNoReader) {
        std::snprintf(g_state.readerLine, sizeof g_state.readerLine, "LECTEUR EN COURS : ");
        if (g_connection.slotID != kNoSlot) {
            // The reader is named whatever the scan met: a failed card is
            // reported with the reader that holds it. The scan's result stays.
            CK_SLOT_INFO info{};
            const CK_RV scanRv = lastRv;
            lastRv = CKR_OK;
            ReadSlotInfo(g_connection.slotID, &info);
            const bool described = lastRv == CKR_OK;
            lastRv = scanRv;
            char description[65] = "";
            if (described)
                CopyTrimmed(description, sizeof description, info.slotDescription,
                            sizeof info.slotDescription);
            if (description[0]) {
                std::snprintf(g_state.readerName, sizeof g_state.readerName, "%s", description);
                std::memcpy(g_connection.wantedReader, info.slotDescription,
                            sizeof g_connection.wantedReader);
            }
            // A description that cannot be read: the reader known so far.
            std::snprintf(g_state.readerLine, sizeof g_state.readerLine, "LECTEUR EN COURS : %s",
                          g_state.readerName);
            if (state != StateNoCard) {
                CK_TOKEN_INFO token{};
                ReadTokenInfo(g_connection.slotID, &token);
                if (lastRv == CKR_OK) {
                    g_state.tokenInfo = token;
                    if (token.flags & CKF_USER_PIN_LOCKED)
                        state = StateBlocked;
                    g_card.newCard = LabelNamesNewCard(token.label, sizeof token.label);
                }
            }
        }
    }
    if (state == StateNoCard && g_connection.slotID == kNoSlot)
        // The card asked for and not given: the reader it was asked in.
        std::snprintf(g_state.readerLine, sizeof g_state.readerLine, "LECTEUR EN COURS : %s",
                      g_state.readerName);
    if (state == StateReady || state == StateBlocked) {
        g_state.confirmedSlotCount = g_connection.slotCount;
        g_card.cardPresent = true;
    }
    if (resultCode)
        *resultCode = ScanResultCode(lastRv);
    return state;
}

void SetCardButtonImages(uint32_t command, const char *text)
{
    CMainDlg &dlg = *g_mainDlg;
    HMENU menu = dlg.GetMenu();
    if (command == CmdCardIntro) {
        dlg.CardButton().LoadBitmapSet(std::strcmp(text, "Changer carte") == 0 ? "CHANGECARTE"
                                                                               : "INTROCARTE");
        if (menu)
            ::ModifyMenuA(menu, IDC_INTROCARTE, MF_BYCOMMAND | MF_STRING, IDC_INTROCARTE, text);
        dlg.CardButton().RedrawWindow(RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE);
    } else if (command == CmdChooseReader) {
        dlg.ReaderButton().LoadBitmapSet(std::strcmp(text, "Changer lecteur ") == 0 ? "CHANGELECT"
                                                                                    : "CHOIXLECT");
        if (menu)
            ::ModifyMenuA(menu, IDC_CHANGELECT, MF_BYCOMMAND | MF_STRING, IDC_CHANGELECT, text);
        dlg.ReaderButton().RedrawWindow(RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE);
    }
    // ModifyMenu resets the item's state: keep it as the command bit says.
    SetCommandState(command, (g_state.commandState & command) != 0);
}

void ShowCardState(uint16_t state)
{
    switch (state) {
    case StateReady:
        SetCommandsByRule(kCardCommands);
        SetCommandState(CmdUnblockPin, false);
        SetCardButtonImages(CmdCardIntro, "Changer carte");
        break;
    case StateBlocked:
        SetCommandsByRule(kCardCommands);
        SetCommandsOff(CmdReadSituations | CmdPresentPin | CmdChangePin);
        SetCardButtonImages(CmdCardIntro, "Changer carte");
        break;
    case StateError:
    case StateIncident: {
        char text[200];
        std::snprintf(text, sizeof text,
                      "Carte inutilisable suite %s un incident lors de son actualisation.\n"
                      "Veuillez effectuer une nouvelle actualisation de votre carte.",
                      "à");
        ShowMessage(text, kCaption, MB_OK);
        SetCommandsOff(kCardCommands);
        SetCommandsOn(CmdCardIntro | CmdChooseReader);
        SetCardButtonImages(CmdCardIntro, "Changer carte");
        SetCardButtonImages(CmdChooseReader, "Changer lecteur ");
        break;
    }
    case StateNoReader:
    case StateNoCard:
        if (state == StateNoReader)
            ShowMessage("Vérifier que le lecteur est bien connecté", "Erreur de transmission",
                        MB_ICONEXCLAMATION);
        else
            ShowMessage("Impossible de mettre la carte sous tension", kCaption, MB_OK);
        SetCommandsOff(kCardCommands);
        SetCommandsOn(CmdCardIntro | CmdChooseReader);
        SetCardButtonImages(CmdChooseReader, "Changer lecteur ");
        SetCardButtonImages(CmdCardIntro, "Introduction carte");
        g_card.cardPresent = false;
        break;
    default:
        ShowMessage("Erreur fatale dans Introduction Carte", kCaption, MB_OK);
        break;
    }
}

void ShutDownCardLayer()
{
    if (g_state.noCleanup || !g_functions)
        return;
    if (hSession != kNoSession) {
        StampCallTime();
        CK_RV rv = g_functions->C_CloseSession(hSession);
        TraceCall(CallCloseSession, rv);
        if (rv == CKR_OK)
            hSession = kNoSession;
    }
    if (g_state.libraryInitialised) {
        StampCallTime();
        CK_RV rv = g_functions->C_Finalize(nullptr);
        TraceCall(CallFinalize, rv);
        if (rv == CKR_OK)
            g_state.libraryInitialised = false;
    }
}

} // namespace vel
