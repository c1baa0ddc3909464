// The provider's small rules on their own: card identifier from the token
// label, computer name from a container name, the installed-version label,
// remaining tries, the counting allocator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "csp_globals.h"
#include "handle_container.h"
#include "pkcs_helpers.h"
#include "version_label.h"

namespace {

TEST(ProviderRules, SmartCardGuidFromLabel)
{
    struct Case {
        const char *label;
        bool ok;
        std::string tail; // the last bytes, the rest being zero
    };
    const Case cases[] = {
        {"VEL3v2-2501 MARTIN", true, "\x25\x01"},
        {"VEL3v2-2501", true, "\x25\x01"},
        {"X-12345678901234567890123456789012", true,
         "\x12\x34\x56\x78\x90\x12\x34\x56\x78\x90\x12\x34\x56\x78\x90\x12"},
        {"X-123456789012345678901234567890123", false, ""}, // 33 digits
        {"X-123", false, ""},                               // odd
        {"X- 12", false, ""},                               // empty
        {"X-12a4", false, ""},
        {"NO DASH 1234", false, ""},
        {"VEL3v2-MARTIN JEANNE", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        BYTE guid[16];
        std::memset(guid, 0xEE, sizeof guid);
        EXPECT_EQ(SmartCardGuidFromLabel(c.label, std::strlen(c.label), guid), c.ok);
        if (c.ok) {
            const std::string expected = std::string(16 - c.tail.size(), '\0') + c.tail;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(guid), 16), expected);
        }
    }
    // A label of 32 blank-padded bytes without NUL is read within its bytes only.
    char padded[32];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, "A-42", 4);
    BYTE guid[16];
    EXPECT_TRUE(SmartCardGuidFromLabel(padded, sizeof padded, guid));
    EXPECT_EQ(guid[15], 0x42);
}

TEST(ProviderRules, ComputerNameFromContainer)
{
    struct Case {
        const char *name;
        bool ok;
        const char *computer;
    };
    const std::string longName = "n" + std::string("CName(") + std::string(200, 'c') + ")";
    const Case cases[] = {
        {"010UABCName(PC42)", true, "PC42"},
        {"010UAB(x)", true, ""},
        {"010UAB", true, ""},
        {"CName(", true, ""},
        {"CName()", true, ""},
        {longName.c_str(), false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char out[128] = "stale";
        EXPECT_EQ(ComputerNameFromContainer(c.name, out, sizeof out), c.ok);
        EXPECT_STREQ(out, c.computer);
    }
}

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
