// The card manager's decision rules that need no window: which command bits
// a rule switches on, the card state of a result, the new-card label, the
// remaining PIN tries and the section moves of the situations pane.
#ifndef VEL3GES_APP_COMMANDRULES_H
#define VEL3GES_APP_COMMANDRULES_H

#include <cstddef>
#include <cstdint>

namespace vel {

// Command bits (one per menu command or button).
enum CommandBit : uint32_t {
    CmdReadSituations = 0x1,
    CmdReadData = 0x2,
    CmdUnblockPin = 0x4,
    CmdPresentPin = 0x8,
    CmdChangePin = 0x10,
    CmdUnused20 = 0x20,
    CmdSelfTest = 0x40,
    CmdCardIntro = 0x80,
    CmdChooseReader = 0x100,
    CmdTestReader = 0x200,
    CmdJournal = 0x400,
    CmdTrace = 0x800,
    CmdDiagnostic = 0x1000,
    CmdData = 0x2000,
    CmdQuit = 0x4000,
    Cmd8000 = 0x8000,
    Cmd10000 = 0x10000,
    CmdCertificates = 0x20000,
};
constexpr uint32_t kAllCommands = 0x3FFFF;
constexpr uint32_t kCardCommands = 0x383FF; // 0x1..0x200, 0x8000, 0x10000, 0x20000
constexpr uint32_t kPaneAndQuitCommands = 0x7C00;

// The enabling rule: bits 0x20, 0x200, 0x8000 and 0x10000 never; the read
// and PIN commands 0x1, 0x2, 0x8, 0x10 not on a card whose token label
// (32 blank-padded bytes) contains "CL"; every other bit yes.
bool CommandOnByRule(uint32_t bit, const unsigned char *label, size_t labelLength);

// Card states.
enum CardState : uint16_t {
    StateReady = 257,
    StateError = 258,
    StateNoReader = 259,
    StateNoCard = 261,
    StateBlocked = 263,
    StateIncident = 264,
};
// The state of a last result; `slotCounted` tells a cancelled prompt with
// readers (no usable card) from one without (no reader).
uint16_t CardStateFromRv(uint32_t rv, bool slotCounted);
// The scan's result code: 3 for 6 or 0x50, 0 for 0x32, 1 for 0xB1, else 2.
uint16_t ScanResultCode(uint32_t rv);

// Token label (32 bytes, blank-padded): the part of its first 30 characters
// before the first '-' or '_', read as "VEL<generation>v<version>", names a
// new card when generation > 2 and version > 1. No '-' or '_': not a new card.
bool LabelNamesNewCard(const unsigned char *label, size_t labelLength);

// Remaining tries from the token flags.
unsigned UserPinTries(unsigned long flags);
unsigned SoPinTries(unsigned long flags);

// Situations pane moves: S[0..15] the first line of each situation block,
// `count` the number of blocks, `first` the first visible line. The line to
// scroll to, or -1 to stay.
int PreviousSectionLine(int first, const unsigned *sections, unsigned count);
int NextSectionLine(int first, const unsigned *sections, unsigned count);

} // namespace vel

#endif
