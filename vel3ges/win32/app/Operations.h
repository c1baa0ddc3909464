// The card manager's operations behind the main dialog's commands.
#ifndef VEL3GES_APP_OPERATIONS_H
#define VEL3GES_APP_OPERATIONS_H

#include <cstdint>

#include "CardUi.h"

namespace vel {

// ---- start-up, reader scan and card state ----
// 0: the library could not be bound; 3: C_Initialize failed (then
// g_state.initialiseFailed is set and the program ends); otherwise the scan's
// result code (3 too for a scan that met CKR_FUNCTION_FAILED or
// CKR_FUNCTION_CANCELED).
uint16_t StartCardManager();
// The card state; with `resultCode` also the scan's result code.
uint16_t ScanReaders(uint16_t *resultCode);
void ShowCardState(uint16_t state);
// The state of a card found ready or blocked once its identity is read: the
// card gone under the reads (lastRv says so) has the state of that result and
// no identity left; otherwise `state`.
uint16_t StateAfterIdentityReads(uint16_t state);
uint16_t CardStateFromLastRv();
// command 0x80 with "Changer carte" / "Introduction carte", 0x100 with
// "Changer lecteur " / anything else.
void SetCardButtonImages(uint32_t command, const char *text);
// Closes the session and finalises the library (quit), unless start-up asked
// to quit without clean-up.
void ShutDownCardLayer();

// ---- card introduction, reading, situations ----
void CardIntroduction(); // command 1021
void ResetToCardIntroduction();
void RestoreCommandState();
int ChangeCard();
void ReadCardData();
void ReadSituations();
void OnReadDataCommand(); // command 1025: journal, reading, pane or state
// A card gone or failing under an operation (lastRv says how): its identity
// forgotten, its state shown (message and commands), then the identification
// with the reader line, never an empty window.
void ShowCardProblem();

// ---- PIN ----
enum VerifyResult : uint16_t {
    PinLoggedIn = 0x500,
    PinGaveUp = 0x501,
    PinCardBlockedForGood = 0x502,
    PinDeviceError = 0x503,
    PinCardGone = 0x504,
    PinLoginFailed = 0x505,
    PinBlocked = 0x506,
};
uint16_t VerifyPin();
void PresentPin();
void ChangePin();
void UnblockPin();
// The PIN prompt of the login service (onPinRequest).
uint32_t PinPromptCallback(uint32_t promptKind, uint32_t pinStatus, SecretText &pin);

// ---- session logs ----
void WritePaneHeaders();
int SavePaneToFile(PaneType type); // 0 saved, 1 failed
int SaveChosenLogs(uint32_t flags);
void ChooseAndSaveLogs();
void PrintPane();
// True from the print dialog to the end of the job: the main dialog's
// commands are not run then (its print loop passes messages on).
bool PrintInProgress();

} // namespace vel

#endif
