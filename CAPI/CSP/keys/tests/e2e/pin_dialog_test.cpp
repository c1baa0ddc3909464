// The PIN dialog on the road of a signature, under Xvfb: the holder types the
// PIN, cancels, or types a wrong PIN until the card blocks. The dialog runs
// modally on the signing thread; a thread timer, which fires inside its
// message loop, plays the holder's part.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <deque>
#include <string>

#include "provider_fixture.h"

using namespace keys_test;

namespace {

const char kCaption[] = "Saisissez votre Code Porteur";
const int kPinEdit = 1000;

// The holder's answers, one per dialog shown: a PIN to type and validate, or
// "" to cancel.
std::deque<std::string> answers;
int dialogsShown = 0;
const char kAnswered[] = "vel-test-answered"; // marks a dialog window already answered

void CALLBACK Holder(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dlg = FindWindowA(nullptr, kCaption);
    if (!dlg || !IsWindowVisible(dlg) || GetPropA(dlg, kAnswered))
        return;
    SetPropA(dlg, kAnswered, reinterpret_cast<HANDLE>(1));
    ++dialogsShown;
    if (answers.empty()) {
        SendMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    const std::string pin = answers.front();
    answers.pop_front();
    if (pin.empty()) {
        SendMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    SetDlgItemTextA(dlg, kPinEdit, pin.c_str());
    SendMessageA(dlg, WM_COMMAND, IDOK, 0);
}

class PinDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { csp_test::SetUpCard("keys-pin"); }

    void SetUp() override
    {
        csp_test::Ctl("reset");
        csp_test::Ctl("log on");
        answers.clear();
        dialogsShown = 0;
        timer = SetTimer(nullptr, 0, 50, Holder);
        ASSERT_NE(0u, timer);
    }
    void TearDown() override
    {
        KillTimer(nullptr, timer);
        csp_test::Ctl("reset");
    }

    // Acquires a context on the card, signs a SHA-1 hash, releases: the
    // signature's result, its last error in *error.
    BOOL SignOnce(DWORD *error)
    {
        HCRYPTPROV prov = 0;
        HCRYPTHASH hash = 0;
        SetLastError(0xdeadbeef);
        if (!CryptAcquireContextA(&prov, "DEFAULT_CONTAINER", csp_test::kProvider, PROV_RSA_FULL, 0)) {
            ADD_FAILURE() << "acquire: 0x" << std::hex << GetLastError();
            return FALSE;
        }
        EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        BYTE sig[512];
        DWORD len = sizeof(sig);
        SetLastError(0xdeadbeef);
        const BOOL ok = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
        *error = GetLastError();
        CryptDestroyHash(hash);
        CryptReleaseContext(prov, 0);
        return ok;
    }

    UINT_PTR timer = 0;
};

TEST_F(PinDialog, TypedPinSigns)
{
    answers = {"1234"};
    DWORD error = 0;
    EXPECT_TRUE(SignOnce(&error)) << std::hex << error;
    EXPECT_EQ(1, dialogsShown);
}

TEST_F(PinDialog, CancelledPromptSignsNothingAndTriesNoPin)
{
    answers = {""};
    csp_test::ClearLog();
    DWORD error = 0;
    EXPECT_FALSE(SignOnce(&error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(1, dialogsShown);
    for (const std::string &call : CallNames()) {
        EXPECT_NE("C_Login", call);
        EXPECT_NE("C_Sign", call);
    }
}

TEST_F(PinDialog, WrongPinsUntilTheCardBlocks)
{
    // Three tries: asked again after each wrong PIN, the last time once only.
    answers = {"0000", "0000", "0000", "1234"};
    DWORD error = 0;
    EXPECT_FALSE(SignOnce(&error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(3, dialogsShown);
    // Blocked: no prompt at all any more, even with the right PIN ready.
    dialogsShown = 0;
    EXPECT_FALSE(SignOnce(&error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    EXPECT_EQ(0, dialogsShown);
}

} // namespace
