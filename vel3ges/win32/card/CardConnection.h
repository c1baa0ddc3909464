// The card connection: the program-wide record of the library, the chosen
// slot and the current session, and the routines that find the card, open a
// session on it and log the holder in with a PIN asked through the dialog.
// Also the program-wide values every card service reports through.
#ifndef VEL3GES_CARD_CARDCONNECTION_H
#define VEL3GES_CARD_CARDCONNECTION_H

#include <cstddef>
#include <cstdint>

#include "CardUi.h"
#include "pkcs11.h"

namespace vel {

constexpr CK_ULONG kNoSession = 0xFFFFFFFFUL;
constexpr CK_ULONG kNoSlot = 0xFFFFFFFFUL;

// The card manager's own status codes (never returned by the library).
enum : CK_RV {
    kPromptPin = 0x80000001, // also: onChooseLogin gave an unknown answer
    kPromptPinCountLow = 0x80000002,
    kPromptPinFinalTry = 0x80000003,
    kPromptPinLocked = 0x80000004, // also: no function list
    kPromptNormal = 0x80000005,    // also: no slot at all / device error on the chosen slot
    kPromptCountLow = 0x80000006,  // also: slots but no token
    kPromptFinalTry = 0x80000007,  // also: session open, not logged in
    kHolderGaveUp = 0x80000008,
    kHolderUnblocks = 0x80000011,
    kPinFirstRequest = 0x80000012, // also: the holder declined to unblock
    kPinLengthOutOfRange = 0x80000013,
    kPinMissing = 0x80000014,
    kPinWrong = 0x80000015,
    kModePinPrompts = 0x80000021,    // prompt kinds 0x80000001..3
    kModeStatusPrompts = 0x80000022, // prompt kinds 0x80000005..7
};

// How many times a routine re-opens the session after the library reports
// the card or the reader gone before it gives the result up to the caller.
constexpr int kMaxReopenRetries = 3;

struct CardConnection {
    CK_FUNCTION_LIST *functionList = nullptr;
    CK_SLOT_ID slotID = kNoSlot;
    CK_SESSION_HANDLE hSession = kNoSession;
    CK_SESSION_INFO sessionInfo{};
    CK_TOKEN_INFO tokenInfo{};
    CK_UTF8CHAR wantedReader[64]{}; // slot description, compared whole without its trailing blanks
    // Set when the wanted reader was no longer plugged in: the session went
    // to the first slot with a token and the reader choice is to be dropped.
    bool wantedReaderGone = false;
    CK_ULONG slotCount = 0;
    bool checkPinLength = true;
    bool readPinState = true;
    CK_RV mode = kModeStatusPrompts;
    CK_RV promptKind = kPromptPin;
    CK_RV pinStatus = kPinFirstRequest;
    // The four prompts (reader, card, login kind, PIN); installed by the slot scan.
    CardUi *prompts = nullptr;
};

extern CardConnection g_connection;
// The current session, kept in the connection record.
extern CK_SESSION_HANDLE &hSession;
// The start-up's function list (session services call through it).
extern CK_FUNCTION_LIST *g_functions;
// Result of the last PKCS#11 call or wrapper status.
extern CK_RV lastRv;
// 1 when the PIN change found or left the session logged in.
extern uint32_t userLoggedIn;

// Binds the loaded library: the start-up's pointer and the connection's copy.
void BindFunctionList(CK_FUNCTION_LIST *functions);
// Back to the state of a program that has not yet bound a library.
void ResetCardLayer();

// True when two blank-padded slot descriptions name the same reader: their
// texts compared whole (PaddedFieldText).
bool SameReader(const CK_UTF8CHAR *a, const CK_UTF8CHAR *b, size_t width);

// A result that says the card, its reader or the session on it is gone:
// what an operation reports as the card's state, never as its own refusal.
bool CardOrSessionGone(CK_RV rv);
// The card's refusal of a code typed by the holder (wrong, malformed, of the
// wrong length, blocked): any other failure of a PIN operation is the card's.
bool PinRefused(CK_RV rv);

// Each returns 0, a library result or one of the status codes above. The
// caller stores the result in lastRv when it judges by it.
CK_RV FindTokenSlot(CardConnection &c);
CK_RV ReadPinState(CardConnection &c);
CK_RV OpenTokenSession(CardConnection &c);
CK_RV ConnectToken(CardConnection &c);
CK_RV LoginWithPrompt(CardConnection &c);

// The reader a card is asked for when no slot holds one: the wanted reader
// (the one chosen or used last) while it is plugged in, else the first
// reader listed. Its slot information into `info` (traced); false when no
// reader is listed or none can be described.
bool AwaitedReader(CardConnection &c, CK_SLOT_INFO &info);

} // namespace vel

#endif
