// What the PIN prompts say, and the PIN taken from a typed password.
#include "prompt_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace csp::prompt;

namespace {

TEST(PromptTexts, FourDigitPins)
{
    struct Case {
        const char *text;
        bool pin;
    } cases[] = {
        {"1234", true}, {"0000", true},  {"123", false},  {"12345", false}, {"12a4", false},
        {"", false},    {" 123", false}, {"12/4", false}, {"12:4", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsFourDigitPin(c.text), c.pin) << c.text;
    EXPECT_FALSE(IsFourDigitPin(nullptr));
}

TEST(PromptTexts, CredentialPromptCaptionAndMessage)
{
    const std::wstring tries = L"Il vous reste 3 tentative(s) pour la carte ABCDE";
    const std::wstring label = L"SorveloVEL 3.9 64b - v03.09.00 64b";
    struct Case {
        const char *what;
        std::wstring identifiant, tries, label;
        bool retry;
        std::wstring caption, message;
        bool absent;
    };
    const Case cases[] = {
        {"first prompt", L"ABCDE", tries, label, false, L"Saisissez votre Code Porteur",
         tries + L"  ( " + label + L" )", false},
        {"after an entry of another form", L"ABCDE", tries, label, true,
         L"Saisissez votre Code Porteur (sur 4 chiffres)", tries + L"  ( " + label + L" )", false},
        {"a test package's label is not shown", L"ABCDE", tries, L"TAV - v03.09.00 64b", false,
         L"Saisissez votre Code Porteur", tries, false},
        {"no tries text: no message, no retry caption", L"ABCDE", L"", label, true,
         L"Saisissez votre Code Porteur", L"", false},
        {"no card", L"", tries, label, true, L"Certificat non trouv\u00e9",
         L"Carte absente ou ne contenant pas le certificat s\u00e9lectionn\u00e9.", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const CredentialTexts t = CredentialPromptTexts(c.identifiant, c.tries, c.label, c.retry);
        EXPECT_EQ(t.caption, c.caption);
        EXPECT_EQ(t.message, c.message);
        EXPECT_EQ(t.cardAbsent, c.absent);
    }
}

TEST(PromptTexts, PinDialogEntryError)
{
    EXPECT_EQ(PinEntryErrorText(), "Votre code porteur doit contenir 4 chiffres.");
    EXPECT_STREQ(kPinEntryErrorCaption, "Erreur de saisie du code porteur");
}

TEST(PromptTexts, PinFromTypedKeepsFourDigitsAndWipesTheEntry)
{
    struct Case {
        const wchar_t *typed;
        bool pin;
    } cases[] = {
        {L"1234", true}, {L"123", false},       {L"12345", false}, {L"12a4", false},
        {L"", false},    {L"\u0661234", false}, // a digit of another script is not a PIN digit
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::wstring(c.typed).size());
        wchar_t typed[128] = {};
        std::wcsncpy(typed, c.typed, 127);
        char pin[8];
        std::memset(pin, 'Z', sizeof pin);
        EXPECT_EQ(PinFromTyped(typed, 128, pin, sizeof pin), c.pin);
        for (wchar_t w : typed)
            ASSERT_EQ(w, L'\0') << "the typed text outlives the call";
        if (c.pin) {
            EXPECT_STREQ(pin, "1234");
        } else {
            for (char b : pin)
                ASSERT_EQ(b, '\0') << "a refused entry leaves no part of a PIN";
        }
    }
    // No room for a PIN and its NUL: refused, still wiped.
    wchar_t typed[128] = L"1234";
    char small[4] = {'Z', 'Z', 'Z', 'Z'};
    EXPECT_FALSE(PinFromTyped(typed, 128, small, sizeof small));
    EXPECT_EQ(typed[0], L'\0');
    EXPECT_EQ(std::string(small, 4), std::string(4, '\0'));
    // A password filling its whole buffer without NUL is read within it.
    wchar_t full[4] = {L'1', L'2', L'3', L'4'};
    char pin[5];
    EXPECT_TRUE(PinFromTyped(full, 4, pin, sizeof pin));
    EXPECT_STREQ(pin, "1234");
    EXPECT_EQ(full[3], L'\0');
}

} // namespace
