// The two ways the provider asks the holder for the PIN: its own dialog
// (template 101 in the provider library) and the credential prompt, used in
// AppContainer processes.
#ifndef VEL_CSP_PIN_PROMPTS_H
#define VEL_CSP_PIN_PROMPTS_H

#include <windows.h>

#include "prompt_texts.h"

using csp::prompt::IsFourDigitPin;
using csp::prompt::kPinDigits;
constexpr int kPinDialogId = 101;
constexpr int kPinEditId = 1000;
constexpr int kTriesTextId = 1001;
constexpr int kVersionTextId = 1002;

// Texts of one PIN prompt. Kept per thread: two threads prompting at once
// never see each other's texts, and no PIN is ever kept here.
struct PinPromptTexts {
    char CardLabel[64];
    char TriesText[128]; // the longest text with a 32-character label needs 76 bytes
    char VersionLabel[64];
};
PinPromptTexts &CurrentPromptTexts();

// The PIN dialog with the given texts. 1 (IDOK) with 4 digits and a NUL in
// pin; any other result (cancel, or a dialog that could not be shown) leaves
// pin zeroed. The typed text never outlives the call.
INT_PTR ShowPinDialog(const PinPromptTexts &texts, char (&pin)[kPinDigits + 1]);

// The credential prompt.
//   pinOut/pinLen  receives 4 digits and a NUL (pinLen >= 5), or NULL for the
//                  card-absent notice
//   identifiant    the card label (32 characters used) or NULL (notice)
//   message        the tries text (128 characters used) or NULL
// 1 when a 4-digit PIN was written, else 2 (cancel, failure, notice).
int MngtCredsSpartan(char *pinOut, int pinLen, const char *identifiant, const char *message);

// 1 when the process token is an AppContainer token, else 0.
int IsAppContainerApp();

#endif
