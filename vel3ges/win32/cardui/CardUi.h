// What the card layer needs from the card manager's dialog: the log panes,
// the status line, progress and message pumping, and the four prompts that the
// card connection asks (reader, card, login kind, PIN). The program implements
// it with real windows; tests implement it with scripted answers.
//
// The program installs its implementation with SetCardUi (carddata/PaneWriter.h)
// for the panes and status, and as g_connection.prompts (card/CardConnection.h)
// for the prompts, which the slot scan does once.
//
// Platform-free on purpose (no Windows header): the decoders and presentation
// that write to the panes also build in the native and fuzz trees.
#ifndef VEL3GES_CARD_CARDUI_H
#define VEL3GES_CARD_CARDUI_H

#include <cstddef>
#include <cstdint>

#include "SecretText.h"

namespace vel {

// Log panes of the main dialog. Appending takes 1, 3, 4, 5 or 6; 2 names the
// whole data log (3 then 4) for showing, saving and printing.
enum PaneType : uint16_t {
    PaneNone = 0,
    PaneJournal = 1,    // "VEL-JOUR.TXT"
    PaneData = 2,       // "VEL-INFO.TXT", both data parts
    PaneDataUpper = 3,  // holder and card
    PaneDataLower = 4,  // practice and billing situations
    PaneTrace = 5,      // "VEL-TRAC.TXT"
    PaneDiagnostic = 6, // "VEL-DIAG.TXT"
};

// Answers of the prompts (see CardUi::OnPinRequest).
enum PromptAnswer : uint32_t {
    AnswerGiveUp = 0,       // cancel / "&Annuler"
    AnswerRetry = 1,        // reader or card prompt: "&Valider"; PIN prompt: a PIN was typed
    AnswerGoOn = 2,         // login kind: go on with the PIN; PIN prompt: unblock the blocked card
    AnswerDoNotUnblock = 3, // PIN prompt on a blocked card: do not unblock
};

class CardUi {
public:
    virtual ~CardUi() = default;

    // ---- log panes ----
    // Appends one line (at most 255 characters, no line end) to pane 1, 3, 4,
    // 5 or 6; the pane trims its oldest lines itself when full.
    virtual void AppendPaneLine(PaneType type, const char *line) = 0;
    // Number of lines of a pane (its line counter).
    virtual unsigned PaneLineCount(PaneType type) = 0;
    // Removes lines first..last (0-based, both included) of a pane.
    virtual void TrimPane(PaneType type, unsigned first, unsigned last) = 0;
    // Pushes the trace pane's current line count onto the stack of service
    // start lines (called right after the blank line that opens a call record).
    virtual void PushTraceServiceStart() = 0;
    // The pane on display (PaneNone when the identification is shown).
    virtual PaneType ShownPane() = 0;
    // Shows or hides the identification statics with the current identity texts.
    virtual void ShowIdentification(bool show) = 0;

    // ---- status line, progress, message pumping ----
    virtual void SetStatusText(const char *text) = 0;   // shows it and pumps messages
    virtual void StepProgressTo(unsigned position) = 0; // 20 ms steps, then pumps
    virtual void PumpMessages() = 0;
    virtual bool CancelRequested() = 0;

    // ---- prompts of the card connection ----
    // Reader missing / card missing: AnswerGiveUp or AnswerRetry.
    virtual uint32_t OnNoReader() = 0;
    virtual uint32_t OnNoCard() = 0;
    // Login kind: AnswerGiveUp, or AnswerGoOn (the program always answers 2).
    virtual uint32_t OnChooseLogin() = 0;
    // PIN request with the prompt kind (0x80000001..0x80000007, 0x80000004 =
    // blocked card) and the PIN status (0x80000012..0x80000015). Answers:
    // AnswerGiveUp, AnswerGoOn (unblock), AnswerDoNotUnblock, or AnswerRetry
    // with the typed PIN in `pin` (left empty when none was typed). The card
    // layer wipes `pin` once used.
    virtual uint32_t OnPinRequest(uint32_t promptKind, uint32_t pinStatus, SecretText &pin) = 0;
};

} // namespace vel

#endif
