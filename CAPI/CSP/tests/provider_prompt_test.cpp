// The PIN prompts as the holder sees them, driven under the display: the
// provider's PIN dialog on the road of a signature through CryptoAPI (typed,
// cancelled, wrong until the card blocks) and on the card object's login
// (wrong form, wrong PIN, cancel), and the card-absent message box of an
// acquire through CryptoAPI.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "Driver.h"
#include "globals/csp_globals.h"
#include "csp_test_support.h"
#include "container/handle_container.h"
#include "prompt/pin_prompts.h"
#include "card/card_turns.h"
#include "card/pkcs_container.h"
#include "card/pkcs_helpers.h"
#include "card/pkcs_library.h"

using namespace csp_test;

namespace {

const char kPinCaption[] = "Saisissez votre Code Porteur";
constexpr DWORD kWindowMs = 10000;
// One card state for the whole program: the card's library, once loaded in
// this process, stays with the state it was loaded on.
const char kCardState[] = "csp_prompt";

// The signature road, the holder played by this thread while another signs:
// each PIN dialog shown gets the next answer, a PIN to type and validate, or
// "" to cancel; once the answers run out, a dialog is cancelled. (This suite
// comes first: the provider library finalises the card's library at its
// last release, before the suites below initialise it in this process.)
class PinDialogOnTheSignatureRoad : public CardTest {
protected:
    static void SetUpTestSuite() { SetUpCard(kCardState); }
    void TearDown() override { Ctl("reset"); }

    // Acquires a context on the card, signs a SHA-1 hash, releases, on a
    // thread of its own while the holder answers here: the signature's
    // result, its last error in *error; *shown the dialogs answered.
    BOOL SignOnce(std::deque<std::string> answers, DWORD *error, int *shown)
    {
        return Answering(std::move(answers), shown, [&] { return Sign(error); });
    }
    // The same with a context kept by the caller.
    BOOL SignWith(HCRYPTPROV prov, std::deque<std::string> answers, DWORD *error, int *shown)
    {
        return Answering(std::move(answers), shown, [&] { return SignHash(prov, error); });
    }

    // Runs work() on a thread of its own while the holder answers here.
    template <class Work> BOOL Answering(std::deque<std::string> answers, int *shown, Work work)
    {
        std::atomic<bool> done{false};
        BOOL ok = FALSE;
        std::thread signer([&] {
            ok = work();
            done = true;
        });
        *shown = 0;
        while (!done) {
            HWND dialog = driver::WaitWindow(GetCurrentProcessId(), kPinCaption, 100, true);
            if (!dialog || done)
                continue;
            ++*shown;
            if (answers.empty() || answers.front().empty()) {
                driver::Click(dialog, IDCANCEL);
            } else {
                driver::SetItemText(dialog, kPinEditId, answers.front());
                driver::Click(dialog, IDOK);
            }
            if (!answers.empty())
                answers.pop_front();
            // The next dialog found is a new one.
            EXPECT_TRUE(driver::WaitUntil([&] { return !IsWindow(dialog); }, kWindowMs));
        }
        signer.join();
        return ok;
    }

    static BOOL Sign(DWORD *error)
    {
        HCRYPTPROV prov = 0;
        SetLastError(0xdeadbeef);
        if (!CryptAcquireContextA(&prov, "DEFAULT_CONTAINER", kProvider, PROV_RSA_FULL, 0)) {
            ADD_FAILURE() << "acquire: 0x" << std::hex << GetLastError();
            return FALSE;
        }
        const BOOL ok = SignHash(prov, error);
        CryptReleaseContext(prov, 0);
        return ok;
    }

    static BOOL SignHash(HCRYPTPROV prov, DWORD *error)
    {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        BYTE sig[512];
        DWORD len = sizeof(sig);
        SetLastError(0xdeadbeef);
        const BOOL ok = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
        *error = GetLastError();
        CryptDestroyHash(hash);
        return ok;
    }
};

TEST_F(PinDialogOnTheSignatureRoad, TypedPinSigns)
{
    DWORD error = 0;
    int shown = 0;
    EXPECT_TRUE(SignOnce({"1234"}, &error, &shown)) << std::hex << error;
    EXPECT_EQ(1, shown);
}

TEST_F(PinDialogOnTheSignatureRoad, CancelledPromptSignsNothingAndTriesNoPin)
{
    ClearLog();
    DWORD error = 0;
    int shown = 0;
    EXPECT_FALSE(SignOnce({""}, &error, &shown));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(1, shown);
    EXPECT_EQ(CountCalls("C_Login"), 0);
    EXPECT_EQ(CountCalls("C_Sign"), 0);
}

TEST_F(PinDialogOnTheSignatureRoad, WrongPinsUntilTheCardBlocks)
{
    // Three tries: asked again after each wrong PIN, the last time once only.
    DWORD error = 0;
    int shown = 0;
    EXPECT_FALSE(SignOnce({"0000", "0000", "0000", "1234"}, &error, &shown));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(3, shown);
    // Blocked: no prompt at all any more, even with the right PIN ready.
    EXPECT_FALSE(SignOnce({"1234"}, &error, &shown));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(0, shown);
}

TEST_F(PinDialogOnTheSignatureRoad, AKeptContextAsksOnceWhenItsCardIsBack)
{
    // As crypt32 keeps a certificate's context for a mail application.
    Acquired kept = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(kept.ok) << std::hex << kept.error;
    DWORD error = 0;
    int shown = 0;
    EXPECT_TRUE(SignWith(kept.prov, {"1234"}, &error, &shown)) << std::hex << error;
    EXPECT_EQ(1, shown);
    // The holder signs with the card out: a clean failure, no prompt.
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    EXPECT_FALSE(SignWith(kept.prov, {}, &error, &shown));
    EXPECT_EQ(DWORD(NTE_BAD_KEYSET), error);
    EXPECT_EQ(0, shown);
    // Puts it back and signs again: the card forgot the login, so one prompt.
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-default"), 0);
    EXPECT_TRUE(SignWith(kept.prov, {"1234"}, &error, &shown))
        << "after the card came back: 0x" << std::hex << error;
    EXPECT_EQ(1, shown);
    EXPECT_TRUE(SignWith(kept.prov, {}, &error, &shown)) << std::hex << error;
    EXPECT_EQ(0, shown);
    EXPECT_TRUE(Release(kept.prov));
}

class PinPrompts : public CardTest {
protected:
    static void SetUpTestSuite()
    {
        SetUpCard(kCardState);
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

TEST_F(PinPrompts, ACancelAnswersTheOperationsWaitingBehindIt)
{
    // Two contexts on the card's two names, four signatures at once, the
    // card not logged in.
    PKCSContainer *second = nullptr;
    ASSERT_TRUE(Pkcs::CreateContainerfromSlot(container_->m_slotID, kSignContainer, &second));
    HandleContainer contexts[2];
    contexts[0].m_pCurrentContainer = container_;
    contexts[1].m_pCurrentContainer = second;
    container_ = nullptr; // the contexts own both now
    const CK_SLOT_ID slot = second->m_slotID;
    static const BYTE info[51] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::atomic<int> done{0};
    const auto sign = [&](HandleContainer *hc) {
        BYTE sig[256];
        DWORD len = sizeof sig;
        const BOOL ok = Pkcs::DoSign(hc, sizeof info, info, AT_SIGNATURE, sig, &len);
        ++done;
        return ok;
    };
    BOOL results[4] = {TRUE, TRUE, TRUE, TRUE};
    std::vector<std::thread> operations;
    for (int i = 0; i < 4; ++i)
        operations.emplace_back([&, i] { results[i] = sign(&contexts[i % 2]); });
    HWND dialog = WaitPinDialog();
    ASSERT_NE(dialog, nullptr);
    // The three others wait their turn on the card behind this prompt.
    ASSERT_TRUE(driver::WaitUntil([&] { return OperationsWaitingFor(slot) == 3; }, kWindowMs));
    driver::Click(dialog, IDCANCEL);
    // The click is posted: the prompt may still be on screen for a moment,
    // and must not be counted as a second one.
    ASSERT_TRUE(driver::WaitUntil([&] { return !IsWindow(dialog); }, kWindowMs));
    int shown = 1;
    while (done.load() < 4) {
        HWND again = driver::WaitWindow(GetCurrentProcessId(), kPinCaption, 100, true);
        if (!again)
            continue;
        ++shown;
        driver::Click(again, IDCANCEL);
        EXPECT_TRUE(driver::WaitUntil([&] { return !IsWindow(again); }, kWindowMs));
    }
    for (std::thread &t : operations)
        t.join();
    EXPECT_EQ(1, shown) << "the cancel answered every operation waiting behind it";
    for (BOOL ok : results)
        EXPECT_FALSE(ok);
    EXPECT_EQ(CountCalls("C_Login"), 0);

    // An operation that starts afterwards asks again.
    BOOL later = FALSE;
    std::thread again([&] { later = sign(&contexts[0]); });
    dialog = WaitPinDialog();
    ASSERT_NE(dialog, nullptr);
    driver::SetItemText(dialog, kPinEditId, "1234");
    driver::Click(dialog, IDOK);
    again.join();
    EXPECT_TRUE(later);
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
