// The PIN prompts as the holder sees them, driven under the display: the
// provider's PIN dialog (wrong form, wrong PIN, cancel) and the card-absent
// message box of an acquire through CryptoAPI.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "Driver.h"
#include "csp_globals.h"
#include "csp_test_support.h"
#include "pin_prompts.h"
#include "pkcs_container.h"
#include "pkcs_helpers.h"

using namespace csp_test;

namespace {

const char kPinCaption[] = "Saisissez votre Code Porteur";
constexpr DWORD kWindowMs = 10000;

class PinPrompts : public CardTest {
protected:
    static void SetUpTestSuite()
    {
        CardTest::SetUpTestSuite();
        // The dialog's template lives in the provider library.
        g_hModule = LoadLibraryA(ProviderPath().c_str());
        ASSERT_NE(g_hModule, nullptr);
        ASSERT_EQ(initFuncList(), CKR_OK);
    }
    static void TearDownTestSuite() { Pkcs::FreePkcs(nullptr); }
    void SetUp() override
    {
        CardTest::SetUp();
        // The provider library in this process finalises the card's library
        // with its last release: initialise again for each test.
        const CK_RV rv = initialize(nullptr);
        ASSERT_TRUE(rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) << std::hex << rv;
        Pkcs::SetInitialized(true);
        CK_SLOT_ID slots[15];
        CK_ULONG count = 15;
        ASSERT_EQ(pFunctionList.load()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
        ASSERT_GE(count, 1u);
        PKCSContainer *c = nullptr;
        ASSERT_TRUE(Pkcs::CreateContainerfromSlot(slots[0], nullptr, &c));
        container_ = c;
        pFunctionList.load()->C_Logout(container_->m_hSession);
    }
    void TearDown() override { delete container_; }

    HWND WaitPinDialog() { return driver::WaitWindow(GetCurrentProcessId(), kPinCaption, kWindowMs, true); }

    PKCSContainer *container_ = nullptr;
};

TEST_F(PinPrompts, WrongFormThenWrongPinThenRightPin)
{
    BOOL loggedIn = FALSE;
    std::thread holder([&] { loggedIn = Pkcs::DoLogin(container_, 0); });

    HWND dialog = WaitPinDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(driver::ItemText(dialog, kTriesTextId),
              "Il vous reste 3 tentative(s) pour la carte VEL3v2-MARTIN JEANNE");
    // Three digits: the error box, the field emptied, the dialog stays.
    driver::SetItemText(dialog, kPinEditId, "123");
    driver::Click(dialog, IDOK);
    HWND box = driver::WaitWindow(GetCurrentProcessId(), "Erreur de saisie du code porteur", kWindowMs, true);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(driver::MessageText(box).find("Votre code porteur doit contenir 4 chiffres."),
              std::string::npos);
    driver::Click(box, IDOK);
    ASSERT_TRUE(driver::WaitUntil([&] { return !IsWindow(box); }, kWindowMs));
    EXPECT_EQ(driver::ItemText(dialog, kPinEditId), "");
    EXPECT_EQ(CountCalls("C_Login"), 0);

    // A wrong PIN: asked again, with one try less.
    driver::SetItemText(dialog, kPinEditId, "0000");
    driver::Click(dialog, IDOK);
    ASSERT_TRUE(driver::WaitUntil([&] { return CountCalls("C_Login") == 1; }, kWindowMs));
    HWND again = nullptr;
    ASSERT_TRUE(driver::WaitUntil(
        [&] {
            again = driver::WaitWindow(GetCurrentProcessId(), kPinCaption, 100, true);
            return again && driver::ItemText(again, kTriesTextId).find("reste 2 ") != std::string::npos;
        },
        kWindowMs));
    driver::SetItemText(again, kPinEditId, "1234");
    driver::Click(again, IDOK);
    holder.join();
    EXPECT_TRUE(loggedIn);
    EXPECT_EQ(CountCalls("C_Login"), 2);
    EXPECT_EQ(CallLog().find("1234"), std::string::npos) << "PINs reach no log";
}

TEST_F(PinPrompts, CancelNeverLogsIn)
{
    CK_RV rv = CKR_OK;
    std::thread holder([&] {
        CK_TOKEN_INFO token = {};
        pFunctionList.load()->C_GetTokenInfo(container_->m_slotID, &token);
        PreparePinPrompt(token, 0);
        rv = login(container_->m_hSession, nullptr, 0, 0);
    });
    HWND dialog = WaitPinDialog();
    ASSERT_NE(dialog, nullptr);
    driver::SetItemText(dialog, kPinEditId, "1234");
    driver::Click(dialog, IDCANCEL);
    holder.join();
    EXPECT_EQ(rv, CKR_FUNCTION_CANCELED);
    EXPECT_EQ(CountCalls("C_Login"), 0);
}

TEST_F(PinPrompts, BlockedCardShowsNoDialog)
{
    delete container_;
    container_ = nullptr;
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-blocked"), 0);
    CK_SLOT_ID slot = 1;
    PKCSContainer *c = nullptr;
    ASSERT_TRUE(Pkcs::CreateContainerfromSlot(slot, nullptr, &c));
    container_ = c;
    EXPECT_FALSE(Pkcs::DoLogin(container_, 0));
    EXPECT_EQ(CountCalls("C_Login"), 0);
}

TEST_F(PinPrompts, CardAbsentBoxOkTriesAgainCancelGivesUp)
{
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-cl"), 0);
    const char caption[] = "Carte non présente";

    // Cancel: the acquire fails with NTE_BAD_KEYSET.
    Acquired a = {};
    std::thread app([&] { a = Acquire(kAuthContainer, 0); });
    HWND box = driver::WaitWindow(GetCurrentProcessId(), caption, kWindowMs, true);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(driver::MessageText(box).find("Introduire la carte correspondante"), std::string::npos);
    driver::Click(box, IDCANCEL);
    app.join();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));

    // OK after the right card went in: the acquire goes on and succeeds.
    std::thread app2([&] { a = Acquire(kAuthContainer, 0); });
    box = driver::WaitWindow(GetCurrentProcessId(), caption, kWindowMs, true);
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-default"), 0);
    driver::Click(box, IDOK);
    app2.join();
    EXPECT_TRUE(a.ok) << std::hex << a.error;
    if (a.ok) {
        EXPECT_TRUE(Release(a.prov));
    }
}

TEST_F(PinPrompts, ContextBeingSetUpIsNeverHandedOut)
{
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-cl"), 0);
    // A's set-up waits on the card-absent box.
    Acquired a = {};
    std::thread app([&] { a = Acquire(kAuthContainer, 0); });
    HWND box = driver::WaitWindow(GetCurrentProcessId(), "Carte non présente", kWindowMs, true);
    ASSERT_NE(box, nullptr);
    // Meanwhile B asks for the same name: it gets a context of its own, set
    // up on the card, not A's half-built one.
    const int lookups = CountCalls("C_GetSlotList");
    Acquired b = Acquire(kAuthContainer, CRYPT_SILENT);
    ASSERT_TRUE(b.ok) << std::hex << b.error;
    EXPECT_EQ(CountCalls("C_GetSlotList"), lookups + 1);
    driver::Click(box, IDCANCEL);
    app.join();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));
    // A's failed set-up went; B's context is whole.
    Param name = GetParam(b.prov, PP_NAME);
    EXPECT_TRUE(name.ok) << std::hex << name.error;
    DWORD error = 0;
    EXPECT_TRUE(Release(b.prov, &error)) << std::hex << error;
}

} // namespace
