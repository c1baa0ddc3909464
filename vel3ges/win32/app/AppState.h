// Program-wide state of the card manager's dialog layer: the command bits and
// their saved copy, the shown pane, the flags of the long operations, the
// start-up and scan state, and the main dialog through which every operation
// reaches the windows.
#ifndef VEL3GES_APP_APPSTATE_H
#define VEL3GES_APP_APPSTATE_H

#include <cstdint>
#include <string>

#include "CardConnection.h"
#include "CardUi.h"
#include "CommandRules.h"
#include "pkcs11.h"

namespace vel {

class CMainDlg;
extern CMainDlg *g_mainDlg;

constexpr const char kVersion[] = "06.09.00";
constexpr const char kCaption[] = "VEL-GESTION";

struct ProgramState {
    uint32_t commandState = 0;
    uint32_t savedCommandState = 0;
    PaneType shownPane = PaneNone;
    bool cancelRequested = false;
    bool noCleanup = false; // start-up asked to quit: no PKCS#11 clean-up
    bool libraryInitialised = false;
    bool initialiseFailed = false; // C_Initialize refused: the program ends
    bool cardChange = false;       // all commands are off until RestoreCommandState
    bool pinJournal = false;       // a PIN operation was started during this command
    bool readerChosen = false;     // the next scan keeps the current slot
    bool reselect = false;         // the next scan takes pickedSlot
    CK_SLOT_ID pickedSlot = kNoSlot;
    CK_ULONG listedSlotCount = 0;    // slots in the reader choice's list
    bool holderChoseReader = false;  // later scans keep the reader the holder chose
    CK_ULONG confirmedSlotCount = 0; // slot count of the last successful scan
    CK_TOKEN_INFO tokenInfo{};       // the current card (its label drives the "CL" rule)
    char readerLine[96] = {};
    char readerName[65] = {};
    std::string sampleFilePath;
};
extern ProgramState g_state;

// Switches one command bit: its menu item and button follow, and the
// command-state word with them.
void SetCommandState(uint32_t bit, bool on);
// The enabling rule on each bit of `mask`, lowest first.
void SetCommandsByRule(uint32_t mask);
// Every bit of `mask` off, lowest first.
void SetCommandsOff(uint32_t mask);
// Every bit of `mask` on, lowest first.
void SetCommandsOn(uint32_t mask);

// "%s  <action>" to the journal with the current time.
void AppendJournal(const char *action);
std::string NowTimestamp();

// Message box over the main dialog.
int ShowMessage(const char *text, const char *caption, unsigned type);

} // namespace vel

#endif
