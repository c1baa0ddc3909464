// What the PIN prompts say and what they take from the holder's entry,
// without Windows: the credential prompt's caption and message, the PIN
// dialog's entry error, and the PIN read from a typed password (the typed
// text is wiped whatever it held). Built and tested in every tree.
#ifndef VEL_CSP_PROMPT_TEXTS_H
#define VEL_CSP_PROMPT_TEXTS_H

#include <cstddef>
#include <string>

namespace csp::prompt {

constexpr int kPinDigits = 4;

// True when text is exactly four characters '0'..'9'.
bool IsFourDigitPin(const char *text);

// The credential prompt's texts.
struct CredentialTexts {
    std::wstring caption;
    std::wstring message;    // empty: no message
    bool cardAbsent = false; // the card-absent notice (no PIN asked)
};

// identifiant  the card label; empty for the card-absent notice
// tries        the tries text; empty leaves the message empty
// versionLabel the installed-version label, shown after the tries text
//              unless it names a test package ("TAV")
// retry        the previous entry was not 4 digits: the caption says so
CredentialTexts CredentialPromptTexts(const std::wstring &identifiant, const std::wstring &tries,
                                      const std::wstring &versionLabel, bool retry);

// The PIN dialog's message and caption for an entry that is not 4 digits
// (Windows-1252 in every build).
std::string PinEntryErrorText();
extern const char kPinEntryErrorCaption[];

// The PIN typed into the credential prompt.
//   typed/typedCapacity  the password as unpacked (NUL-terminated within
//                        its capacity or not); wiped before returning
//   pinOut/pinLength     receives 4 digits and a NUL (pinLength > 4), else
//                        is wiped whole
// True when the entry was exactly 4 decimal digits.
bool PinFromTyped(wchar_t *typed, size_t typedCapacity, char *pinOut, size_t pinLength);

// Overwrites memory in a way the compiler may not drop.
void Wipe(void *p, size_t size);

} // namespace csp::prompt

#endif
