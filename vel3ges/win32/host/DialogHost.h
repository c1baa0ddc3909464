// What the self-test, the certificate reading and the reader choice need
// from the main dialog beyond the card layer's CardUi: the brackets of a long
// operation, the command bits, the panes, the PIN presentation, the card
// state, the questions and the save dialog, the slot list and the start-up.
// The program implements it over its own routines; tests script it.
//
// Platform-free on purpose: the operations that call it build and are tested
// in the native tree too.
#ifndef VEL3GES_HOST_DIALOGHOST_H
#define VEL3GES_HOST_DIALOGHOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "CardUi.h"
#include "pkcs11.h"

namespace vel {

// One reader of the slot list built for the reader choice.
struct ReaderEntry {
    CK_SLOT_ID slot;
    bool named;       // false: the slot description could not be read
    std::string name; // slot description without its trailing blanks
};

class DialogHost {
public:
    virtual ~DialogHost() = default;

    // ---- long operations ----
    virtual void BeginLongOperation(unsigned steps, bool cancellable) = 0;
    virtual void EndLongOperation() = 0;

    // ---- commands and panes ----
    // Switches one command bit (menu item, button and the command-state word).
    virtual void SetCommandState(uint32_t bit, bool on) = 0;
    // Hides the pane on display; no pane is on display afterwards.
    virtual void HidePane() = 0;
    virtual void ShowPane(PaneType type) = 0;

    // ---- card state ----
    // The PIN presentation; 0x500 logged in ... 0x506 PIN blocked.
    virtual uint16_t VerifyPin() = 0;
    virtual void ResetToCardIntroduction() = 0;
    virtual uint16_t CardStateFromRv() = 0;
    virtual void ShowCardState(uint16_t state) = 0;
    // The token information of the current card (the start-up's copy).
    virtual const CK_TOKEN_INFO &CurrentTokenInfo() = 0;

    // ---- questions, messages, files ----
    // A Yes/No question with the question icon, caption "VEL-GESTION": true for Yes.
    virtual bool AskYesNo(const char *text) = 0;
    // A message with the error icon.
    virtual void ShowError(const char *text, const char *caption) = 0;
    // The save dialog for a certificate: default extension ".crt", the
    // proposed name, overwrite prompt. False when cancelled.
    virtual bool AskCertificatePath(const char *proposedName, std::string &path) = 0;
    // The data folder's `coffre` subfolder, with its trailing separator;
    // empty when there is none.
    virtual std::string CoffreFolder() = 0;

    // ---- reader choice and start-up ----
    // Builds the slot list, the session and the card left as they are: 257
    // when a slot is listed, else 259.
    virtual uint16_t RefreshSlotList() = 0;
    // The slot list just built, handed over: the program's buffers are freed.
    virtual std::vector<ReaderEntry> TakeReaderList() = 0;
    // The reader dialog ("Choix d'un lecteur"): true for "&Valider"; `chosen`
    // receives the slot picked, and is left alone when nothing is selected.
    virtual bool ChooseReaderDialog(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen) = 0;
    // The slot the next scan takes (the reader choice's result, once made).
    virtual void SetChosenSlot(CK_SLOT_ID slot) = 0;
    // The start-up sequence again, on the chosen slot: its own result (0 to 3).
    virtual uint16_t StartCardManager() = 0;
};

// The program's host; null until the main dialog installs it.
void SetDialogHost(DialogHost *host);
DialogHost *GetDialogHost();

} // namespace vel

#endif
