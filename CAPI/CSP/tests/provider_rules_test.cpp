// The provider's small rules on their own: the installed-version label,
// remaining tries, the counting allocator. (The parts read from names and
// labels are tested natively with names/.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "globals/csp_globals.h"
#include "container/handle_container.h"
#include "card/pkcs_helpers.h"
#include "prompt/pin_prompts.h"
#include "registration/version_label.h"

namespace {

TEST(ProviderRules, VersionLabelFromProductName)
{
    const std::string width = ProviderWidthMark();
    struct Case {
        const char *product;
        std::string label;
    };
    const Case cases[] = {
        {"VEL SorveloVEL 3.9 (x64)", "SorveloVEL 3.9 64b - v03.09.00" + width},
        {"VEL SorveloVEL 3.9", "SorveloVEL 3.9 32b - v03.09.00" + width},
        {"Autre produit", "Autre produit"},
        // A long package name is cut so that the marks always show.
        {"VEL Un nom de paquet vraiment beaucoup trop long pour le pied de page (x64)",
         "Un nom de paquet vraiment beaucoup trop long64b - v03.09.00" + width},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        char label[64];
        std::memset(label, 'Z', sizeof label);
        DWORD length = 0;
        LabelFromProductName(c.product, label, sizeof label, &length);
        EXPECT_EQ(std::string(label), c.label);
        EXPECT_LT(std::strlen(label), sizeof label);
    }
}

TEST(ProviderRules, TriesFromFlags)
{
    EXPECT_EQ(TriesFromFlags(0), 3);
    EXPECT_EQ(TriesFromFlags(CKF_USER_PIN_COUNT_LOW), 2);
    EXPECT_EQ(TriesFromFlags(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY), 1);
    EXPECT_EQ(TriesFromFlags(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), 0);

    // No tries left keeps the previous text.
    CK_TOKEN_INFO token = {};
    std::memset(token.label, ' ', sizeof token.label);
    std::memcpy(token.label, "ABCDE", 5);
    PreparePinPrompt(token, CRYPT_SILENT);
    EXPECT_STREQ(CurrentPromptTexts().CardLabel, "ABCDE");
    EXPECT_STREQ(CurrentPromptTexts().TriesText, "Il vous reste 3 tentative(s) pour la carte ABCDE");
    token.flags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
    std::memcpy(token.label, "FGHIJ", 5);
    PreparePinPrompt(token, CRYPT_SILENT);
    EXPECT_STREQ(CurrentPromptTexts().TriesText, "Il vous reste 3 tentative(s) pour la carte ABCDE");
    // A full 32-byte label fits the text whole.
    std::memset(token.label, 'L', sizeof token.label);
    token.flags = 0;
    PreparePinPrompt(token, CRYPT_SILENT);
    EXPECT_EQ(std::string(CurrentPromptTexts().TriesText),
              "Il vous reste 3 tentative(s) pour la carte " + std::string(32, 'L'));
}

TEST(ProviderRules, CountingAllocator)
{
    const long before = CspAllocCount();
    unsigned char *p = static_cast<unsigned char *>(csp_alloc(3, 7));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 21; ++i)
        EXPECT_EQ(p[i], 0);
    EXPECT_EQ(CspAllocCount(), before + 1);
    csp_free(p);
    csp_free(nullptr);
    EXPECT_EQ(CspAllocCount(), before);
    EXPECT_EQ(csp_alloc(-1, 4), nullptr);
    EXPECT_EQ(csp_alloc(0x10000, 0x10000), nullptr) << "an overflowing size is refused";
    EXPECT_EQ(CspAllocCount(), before);
}

} // namespace

namespace {

const char kUpgradeKey[] = "Software\\Classes\\Installer\\UpgradeCodes\\0D3C7A91B2E84F5A9C61D07E4B28F3A5";
const char kProductKey[] = "Software\\Classes\\Installer\\Products\\A1B2C3D4";

void SetText(const char *key, const char *name, const char *value, DWORD length)
{
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), length),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST(ProviderRules, VersionLabelFromTheInstallerRegistry)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUpgradeKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
    char label[64] = "unchanged";
    DWORD capacity = sizeof label;
    EXPECT_EQ(getSorveloVersion(&capacity, label), 0) << "no upgrade code";
    EXPECT_STREQ(label, "unchanged");
    EXPECT_EQ(getSorveloVersion(nullptr, label), 0);

    SetText(kUpgradeKey, "A1B2C3D4", "", 1);
    // The product name stored without its terminating NUL.
    const char name[] = "VEL SorveloVEL 3.9 (x64)";
    SetText(kProductKey, "ProductName", name, sizeof name - 1);
    capacity = sizeof label;
    EXPECT_EQ(getSorveloVersion(&capacity, label), 1);
    EXPECT_EQ(std::string(label), std::string("SorveloVEL 3.9 64b - v03.09.00") + ProviderWidthMark());
    EXPECT_EQ(capacity, std::strlen(label));

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
    capacity = sizeof label;
    EXPECT_EQ(getSorveloVersion(&capacity, label), 1);
    EXPECT_STREQ(label, "") << "a product without a readable name leaves the label empty";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUpgradeKey);
}

} // namespace
