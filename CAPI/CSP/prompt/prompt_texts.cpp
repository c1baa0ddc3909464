#include "prompt_texts.h"

#include <cstdio>
#include <cwchar>

namespace csp::prompt {

namespace {

const wchar_t kCaption[] = L"Saisissez votre Code Porteur";
const wchar_t kAbsentCaption[] = L"Certificat non trouv\u00e9";
const wchar_t kAbsentMessage[] = L"Carte absente ou ne contenant pas le certificat s\u00e9lectionn\u00e9.";

} // namespace

const char kPinEntryErrorCaption[] = "Erreur de saisie du code porteur";

bool IsFourDigitPin(const char *text)
{
    if (!text)
        return false;
    for (int i = 0; i < kPinDigits; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return text[kPinDigits] == '\0';
}

CredentialTexts CredentialPromptTexts(const std::wstring &identifiant, const std::wstring &tries,
                                      const std::wstring &versionLabel, bool retry)
{
    CredentialTexts texts;
    texts.caption = kCaption;
    if (identifiant.empty()) {
        texts.caption = kAbsentCaption;
        texts.message = kAbsentMessage;
        texts.cardAbsent = true;
        return texts;
    }
    if (tries.empty())
        return texts;
    texts.message = tries;
    if (retry) {
        wchar_t formatted[96];
        std::swprintf(formatted, 96, L"%ls (sur %d chiffres)", kCaption, kPinDigits);
        texts.caption = formatted;
    }
    if (versionLabel.find(L"TAV") == std::wstring::npos)
        texts.message += L"  ( " + versionLabel + L" )";
    return texts;
}

std::string PinEntryErrorText()
{
    char text[96];
    std::snprintf(text, sizeof text, "Votre code porteur doit contenir %d chiffres.", kPinDigits);
    return text;
}

bool PinFromTyped(wchar_t *typed, size_t typedCapacity, char *pinOut, size_t pinLength)
{
    bool ok = false;
    if (pinOut && pinLength > static_cast<size_t>(kPinDigits) && typed &&
        wcsnlen(typed, typedCapacity) == static_cast<size_t>(kPinDigits)) {
        for (int i = 0; i < kPinDigits; ++i)
            pinOut[i] = (typed[i] >= L'0' && typed[i] <= L'9') ? static_cast<char>(typed[i]) : 'x';
        pinOut[kPinDigits] = '\0';
        ok = IsFourDigitPin(pinOut);
    }
    if (!ok && pinOut)
        Wipe(pinOut, pinLength);
    if (typed)
        Wipe(typed, typedCapacity * sizeof *typed);
    return ok;
}

void Wipe(void *p, size_t size)
{
    volatile unsigned char *bytes = static_cast<volatile unsigned char *>(p);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

} // namespace csp::prompt
