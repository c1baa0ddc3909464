// The credential prompt through the stand-in credui (loaded in place of
// Wine's stubs): what the holder is shown, badly formed entries asked again,
// cancels and failures as a cancel, the card-absent notice.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "globals/csp_globals.h"
#include "loaded_library.h"
#include "prompt/pin_prompts.h"
#include "card/pkcs_helpers.h"

namespace {

const char kTries[] = "Il vous reste 3 tentative(s) pour la carte VEL3v2-MARTIN JEANNE";

class CredentialPrompt : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        script_ = std::string(dir) + "credui-" + std::to_string(GetCurrentProcessId()) + ".script";
        SetEnvironmentVariableA("VEL_CREDUI_SCRIPT", script_.c_str());
        softcard_test::removeFile(script_ + ".log");
        std::strcpy(CurrentPromptTexts().VersionLabel, "SorveloVEL 3.9 64b - v03.09.00 64b");
    }
    void Script(const std::string &lines) { softcard_test::writeFile(script_, lines); }
    std::string Shown() { return softcard_test::readFile(script_ + ".log"); }
    std::string script_;
};

TEST_F(CredentialPrompt, Answers)
{
    struct Case {
        const char *what;
        const char *script;
        int result;
        const char *pin;
        int prompts;
    };
    const Case cases[] = {
        {"four digits", "pin 1234\n", 1, "1234", 1},
        {"five digits, then cancel", "pin 12345\ncancel\n", 2, "", 2},
        {"a letter, then four digits", "pin 12a4\npin 0042\n", 1, "0042", 2},
        {"nothing typed", "pin \ncancel\n", 2, "", 2},
        {"cancel", "cancel\n", 2, "", 1},
        {"the prompt fails twice", "fail 0x57\nfail 0x57\n", 2, "", 2},
        {"the prompt fails once, then a PIN", "fail 0x57\npin 9876\n", 1, "9876", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Script(c.script);
        softcard_test::removeFile(script_ + ".log");
        char pin[8] = "stale";
        EXPECT_EQ(MngtCredsSpartan(pin, sizeof pin, "VEL3v2-MARTIN JEANNE", kTries), c.result);
        EXPECT_STREQ(pin, c.pin) << "no PIN but a typed one is ever handed back";
        const std::string shown = Shown();
        int prompts = 0;
        for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 1))
            ++prompts;
        EXPECT_EQ(prompts, c.prompts) << shown;
        EXPECT_NE(shown.find(std::string("Saisissez votre Code Porteur|") + kTries +
                             "  ( SorveloVEL 3.9 64b - v03.09.00 64b )|"),
                  std::string::npos)
            << shown;
        EXPECT_NE(shown.find("|VEL3v2-MARTIN JEANNE\n"), std::string::npos) << shown;
    }
    // A badly formed entry brings the caption that says how many digits.
    Script("pin 123\ncancel\n");
    softcard_test::removeFile(script_ + ".log");
    char pin[8] = {};
    EXPECT_EQ(MngtCredsSpartan(pin, sizeof pin, "VEL3v2-MARTIN JEANNE", kTries), 2);
    EXPECT_NE(Shown().find("Saisissez votre Code Porteur (sur 4 chiffres)|"), std::string::npos) << Shown();
}

TEST_F(CredentialPrompt, FallbackLabelIsNotShown)
{
    std::strcpy(CurrentPromptTexts().VersionLabel, "TAV - v03.09.00 64b");
    Script("cancel\n");
    char pin[8] = {};
    EXPECT_EQ(MngtCredsSpartan(pin, sizeof pin, "VEL3v2-MARTIN JEANNE", kTries), 2);
    EXPECT_NE(Shown().find(std::string("Saisissez votre Code Porteur|") + kTries + "|"), std::string::npos)
        << Shown();
}

TEST_F(CredentialPrompt, CardAbsentNotice)
{
    for (const char *answer : {"pin 1234\n", "cancel\n"}) {
        SCOPED_TRACE(answer);
        Script(answer);
        softcard_test::removeFile(script_ + ".log");
        EXPECT_EQ(MngtCredsSpartan(nullptr, 0, nullptr, nullptr), 2);
        EXPECT_NE(
            Shown().find(
                u8"Certificat non trouvé|Carte absente ou ne contenant pas le certificat sélectionné.|"),
            std::string::npos)
            << Shown();
    }
}

} // namespace
