// The session services and the card connection against the in-memory token:
// the exact records, the PIN flag sequence to blocked and back, the results
// for a missing, removed, blocked or unrecognised card, and no PIN in a log.
#include "layer_fixture.h"

#include <algorithm>
#include <cstring>

#include "CardObjects.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "CardTrace.h"

using namespace vel;
using Lines = std::vector<std::string>;

namespace {

const char kPin[] = "4821";
const char kNewPin[] = "9035";
const char kUnblock[] = "73915062";

void ExpectNoSecret(const std::string &all)
{
    for (const char *secret : {kPin, kNewPin, kUnblock, "1234", "12345678"})
        EXPECT_EQ(std::string::npos, all.find(secret)) << secret;
}

} // namespace

class Services : public Layer {
protected:
    void SetUp() override
    {
        Layer::SetUp();
        token.userPin = kPin;
        token.soPin = kUnblock;
    }
};

TEST_F(Services, UnblockRecordsAndSequence)
{
    Connect();
    token.userTries = 0; // blocked
    CK_SESSION_HANDLE first = hSession;
    ServiceUnblockPin(kUnblock, kNewPin);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ(kNewPin, token.userPin);
    EXPECT_TRUE(token.userLoggedIn);
    EXPECT_EQ((Lines{"C_CloseSession", "C_OpenSession", "C_Login", "C_InitPIN", "C_Logout", "C_CloseSession",
                     "C_OpenSession", "C_Login"}),
              token.calls);
    CK_SESSION_HANDLE rw = first + 1, ro = first + 2;
    auto no = [](CK_SESSION_HANDLE h) { return "   No Session : " + std::to_string(h); };
    EXPECT_EQ((Lines{" ",
                     "TS   C_CloseSession",
                     no(first),
                     "   CK_RV = OK",
                     " ",
                     "TS   C_OpenSession",
                     no(rw),
                     "   CK_RV = OK",
                     "   slotID = 7",
                     "   flags = 0x00000006",
                     " ",
                     "TS   C_Login",
                     no(rw),
                     "   CK_RV = OK",
                     "   SOLogin = TRUE",
                     " ",
                     "TS   C_InitPIN",
                     no(rw),
                     "   CK_RV = OK",
                     "   pPin = ****",
                     " ",
                     "TS   C_Logout",
                     no(rw),
                     "   CK_RV = OK",
                     "   hSession = " + Hex(rw),
                     " ",
                     "TS   C_CloseSession",
                     no(rw),
                     "   CK_RV = OK",
                     " ",
                     "TS   C_OpenSession",
                     no(ro),
                     "   CK_RV = OK",
                     "   slotID = 7",
                     "   flags = 0x00000004",
                     " ",
                     "TS   C_Login",
                     no(ro),
                     "   CK_RV = OK",
                     "   SOLogin = FALSE",
                     "   Code recyclage : ********",
                     "   Nouveau code porteur : ****"}),
              Trace());
    EXPECT_EQ(8u, ui.Lines(PaneDiagnostic).size());
    ExpectNoSecret(ui.AllText());
}

TEST_F(Services, UnblockFailures)
{
    Connect();
    // A wrong unblock code: ends after the SO login, no summary lines.
    ServiceUnblockPin("00000000", kNewPin);
    EXPECT_EQ(CKR_PIN_INCORRECT, lastRv);
    EXPECT_EQ((Lines{"C_CloseSession", "C_OpenSession", "C_Login"}), token.calls);
    EXPECT_EQ("   CK_RV = Code porteur incorrect", Trace().back());

    // C_InitPIN refused: logout, close and re-open still run, no user login.
    token.calls.clear();
    fake::Force("C_InitPIN", CKR_PIN_LEN_RANGE);
    ServiceUnblockPin(kUnblock, kNewPin);
    EXPECT_EQ(CKR_PIN_LEN_RANGE, lastRv);
    EXPECT_EQ((Lines{"C_CloseSession", "C_OpenSession", "C_Login", "C_InitPIN", "C_Logout", "C_CloseSession",
                     "C_OpenSession"}),
              token.calls);
    EXPECT_EQ(kPin, token.userPin);

    token.calls.clear();
    ServiceUnblockPin(nullptr, kNewPin);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    hSession = 0;
    ServiceUnblockPin(kUnblock, kNewPin);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    EXPECT_TRUE(token.calls.empty());
    ExpectNoSecret(ui.AllText());
}

TEST_F(Services, ChangePin)
{
    Connect();
    // Not logged in: login with the old PIN, change, logout, login with the new.
    ServiceChangePin(kPin, kNewPin);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ(kNewPin, token.userPin);
    EXPECT_EQ(1u, userLoggedIn);
    EXPECT_EQ((Lines{"C_GetSessionInfo", "C_Login", "C_GetSessionInfo", "C_SetPIN", "C_Logout", "C_Login"}),
              token.calls);
    Lines t = Trace();
    EXPECT_EQ((Lines{"   Ancien code porteur : ****", "   Nouveau code porteur : ****"}),
              Lines(t.end() - 2, t.end()));
    EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "   pOldPin = ****"));
    EXPECT_NE(t.end(), std::find(t.begin(), t.end(), "   pNewPin = ****"));

    // Already logged in: no first login.
    token.calls.clear();
    ServiceChangePin(kNewPin, kPin);
    EXPECT_EQ((Lines{"C_GetSessionInfo", "C_SetPIN", "C_Logout", "C_Login"}), token.calls);
    EXPECT_EQ(kPin, token.userPin);
    ExpectNoSecret(ui.AllText());
}

TEST_F(Services, ChangePinWithWrongOldPinCostsOneTry)
{
    Connect();
    ServiceChangePin("0000", kNewPin);
    EXPECT_EQ(CKR_PIN_INCORRECT, lastRv);
    EXPECT_EQ(2, token.userTries); // one try, not two
    EXPECT_EQ(0u, userLoggedIn);
    EXPECT_EQ((Lines{"C_GetSessionInfo", "C_Login", "C_GetSessionInfo"}), token.calls);
    EXPECT_EQ(kPin, token.userPin);
    EXPECT_EQ(0, token.Count("C_SetPIN"));
}

TEST_F(Services, SignAndVerifyInParts)
{
    AddCardObjects();
    Connect();
    LogIn();
    CK_OBJECT_HANDLE key = HandleOf(CKO_PRIVATE_KEY, {0xB2});
    CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> data(600, 0x41), sig(512);
    CK_ULONG sigLen = sig.size();
    SignInParts(hSession, 600, data.data(), &sigLen, sig.data(), &mech, key);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ(256u, sigLen);
    EXPECT_EQ((std::vector<CK_ULONG>{256, 256, 88}), token.dataLengths);

    token.dataLengths.clear();
    VerifyInParts(hSession, 512, data.data(), sigLen, sig.data(), &mech, HandleOf(CKO_PUBLIC_KEY, {0xB2}));
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ((std::vector<CK_ULONG>{256, 256}), token.dataLengths);
    Lines t = Trace();
    EXPECT_EQ("TS   C_VerifyFinal", t[t.size() - 3]);

    SignInParts(hSession, 0, data.data(), &sigLen, sig.data(), &mech, key);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
}

TEST_F(Services, SignSampleRawLengthFollowsTheModulus)
{
    AddCardObjects();
    Connect();
    LogIn();
    SelectCertificate(false); // 2048-bit key
    std::vector<CK_BYTE> sig(1024);
    CK_ULONG sigLen = sig.size();
    token.dataLengths.clear();
    SignSample(hSession, &sigLen, sig.data(), CKM_RSA_PKCS, 2);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ((std::vector<CK_ULONG>{102, 102}), token.dataLengths);

    SelectCertificate(true); // 1024-bit key
    token.dataLengths.clear();
    VerifySample(hSession, sigLen, sig.data(), CKM_RSA_PKCS, 2);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ((std::vector<CK_ULONG>{51}), token.dataLengths);

    // Mode 1 in parts: the built-in 700-byte sample.
    token.dataLengths.clear();
    sigLen = sig.size();
    SignSample(hSession, &sigLen, sig.data(), CKM_SHA1_RSA_PKCS, 1);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ((std::vector<CK_ULONG>{256, 256, 188}), token.dataLengths);

    SignSample(hSession, &sigLen, sig.data(), CKM_SHA1_RSA_PKCS, 2);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    const CK_BYTE *sample = BuiltInSample();
    EXPECT_EQ('\n', sample[651]);
    EXPECT_EQ(std::vector<CK_BYTE>(48, 0), std::vector<CK_BYTE>(sample + 652, sample + 700));
}

TEST_F(Services, SignatureBufferTooSmallEndsTheOperation)
{
    AddCardObjects();
    Connect();
    LogIn();
    SelectCertificate(true);
    std::vector<CK_BYTE> sig(256, 0xEE);
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS}) {
        CK_ULONG sigLen = 100;
        SignSample(hSession, &sigLen, sig.data(), m, 1);
        EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
        EXPECT_EQ(100u, sigLen);
        EXPECT_EQ(0xEE, sig[0]); // nothing written
        EXPECT_FALSE(token.sessions[hSession].signing) << m;
    }
    // The next signature starts normally.
    CK_ULONG sigLen = 256;
    SignSample(hSession, &sigLen, sig.data(), CKM_SHA256_RSA_PKCS, 1);
    EXPECT_EQ(CKR_OK, lastRv);
}

TEST_F(Services, SlotAndTokenInformation)
{
    Connect();
    CK_SLOT_INFO slot;
    lastRv = CKR_PIN_INCORRECT;
    ReadSlotInfo(7, &slot);
    EXPECT_EQ(CKR_PIN_INCORRECT, lastRv);
    EXPECT_TRUE(token.calls.empty());
    EXPECT_TRUE(ui.Lines(PaneTrace).empty());

    lastRv = kHolderUnblocks;
    ReadSlotInfo(7, &slot);
    EXPECT_EQ(CKR_OK, lastRv);
    Lines t = Trace();
    EXPECT_EQ(
        (Lines{"   slotIdentifiant = 7", "   slotDescription = Lecteur de test 0" + std::string(26, ' ')}),
        Lines(t.end() - 2, t.end()));

    EXPECT_EQ("Lecteur de test 0", PaddedFieldText(slot.slotDescription, sizeof slot.slotDescription));
    std::memset(slot.slotDescription, 'R', sizeof slot.slotDescription); // no blank, no zero
    EXPECT_EQ(std::string(64, 'R'), PaddedFieldText(slot.slotDescription, sizeof slot.slotDescription));

    ui.panes.clear();
    token.userTries = 1;
    CK_TOKEN_INFO info;
    ReadTokenInfo(7, &info);
    t = Trace();
    Lines expected = {"   label = VEL3v2-TEST" + std::string(21, ' '),
                      "   modele = VEL3            ",
                      "   n° de serie = 80250000        ",
                      "   flags = 0x0002040D",
                      "    CKF_LOGIN_REQUIRED",
                      "    CKF_TOKEN_INITIALIZED",
                      "    CKF_USER_PIN_FINAL_TRY"};
    EXPECT_EQ(expected, Lines(t.end() - expected.size(), t.end()));
    EXPECT_FALSE(g_card.userPinLocked);
    ReadTokenInfo(7, nullptr);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
}

TEST_F(Services, MissingReaderAndMissingCard)
{
    token.readerPresent = false;
    EXPECT_EQ(kPromptNormal, FindTokenSlot(g_connection));
    token.readerPresent = true;
    token.cardPresent = false;
    EXPECT_EQ(kPromptCountLow, FindTokenSlot(g_connection));

    // The card prompt: give up, or insert the card and try again.
    ui.cardAnswers = {AnswerGiveUp};
    EXPECT_EQ(kHolderGaveUp, ConnectToken(g_connection));

    struct InsertingUi : ScriptedUi {
        uint32_t OnNoCard() override
        {
            fake::State().cardPresent = true;
            return AnswerRetry;
        }
    } inserting;
    g_connection.prompts = &inserting;
    SetCardUi(&inserting);
    EXPECT_EQ(kPromptFinalTry, ConnectToken(g_connection)); // public session open
    EXPECT_EQ(7u, g_connection.slotID);
    EXPECT_NE(kNoSession, hSession);
}

TEST_F(Services, RemovedAndUnrecognisedCardsEndAfterBoundedRetries)
{
    Connect();
    // The card leaves: the session keeps failing; the retries stop.
    fake::Force("C_GetSessionInfo", CKR_DEVICE_REMOVED, 20);
    std::memcpy(g_connection.wantedReader, "Lecteur de test 0", 17);
    std::memset(g_connection.wantedReader + 17, ' ', 64 - 17);
    EXPECT_EQ(CKR_DEVICE_REMOVED, OpenTokenSession(g_connection));
    EXPECT_EQ(1 + kMaxReopenRetries, token.Count("C_GetSessionInfo"));

    // A card that is not recognised: no session can be opened.
    token.calls.clear();
    token.forced.clear();
    g_connection.slotID = kNoSlot;
    fake::Force("C_OpenSession", CKR_TOKEN_NOT_RECOGNIZED, 20);
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, OpenTokenSession(g_connection));
    EXPECT_EQ(1 + kMaxReopenRetries, token.Count("C_OpenSession"));

    // The token information of the PIN state keeps failing: bounded too.
    token.calls.clear();
    token.forced.clear();
    fake::Force("C_GetTokenInfo", CKR_TOKEN_NOT_PRESENT, 20);
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, ReadPinState(g_connection));
    EXPECT_EQ(1 + kMaxReopenRetries, token.Count("C_GetTokenInfo"));
}

TEST_F(Services, DeviceErrorOnTheChosenSlot)
{
    Connect();
    fake::Force("C_GetSessionInfo", CKR_DEVICE_ERROR);
    std::memcpy(g_connection.wantedReader, "Lecteur de test 0", 17);
    EXPECT_EQ(kPromptNormal, OpenTokenSession(g_connection));
    EXPECT_EQ(0u, g_connection.slotCount);
}

TEST_F(Services, LoginThroughTheFlagSequenceToBlockedAndBackByUnblock)
{
    // Three wrong PINs: the prompt kinds follow the token flags
    // (normal, few tries left, last try, then blocked).
    ui.pinAnswers = {{AnswerRetry, "1111"}, {AnswerRetry, "2222"}, {AnswerRetry, "3333"}, {AnswerGoOn, ""}};
    EXPECT_EQ(kHolderUnblocks, LoginWithPrompt(g_connection));
    ASSERT_EQ(4u, ui.pinRequests.size());
    EXPECT_EQ(kPromptNormal, ui.pinRequests[0].kind);
    EXPECT_EQ(kPinFirstRequest, ui.pinRequests[0].status);
    EXPECT_EQ(kPromptCountLow, ui.pinRequests[1].kind);
    EXPECT_EQ(kPinWrong, ui.pinRequests[1].status);
    EXPECT_EQ(kPromptFinalTry, ui.pinRequests[2].kind);
    EXPECT_EQ(kPromptPinLocked, ui.pinRequests[3].kind);
    EXPECT_EQ(kPinWrong, ui.pinRequests[3].status);
    EXPECT_TRUE(token.Flags() & CKF_USER_PIN_LOCKED);

    // Declining to unblock.
    ui.pinRequests.clear();
    ui.pinAnswers = {{AnswerDoNotUnblock, ""}};
    EXPECT_EQ(kPinFirstRequest, LoginWithPrompt(g_connection));

    // Unblock with the unblock code, then the new PIN logs in.
    ServiceUnblockPin(kUnblock, kNewPin);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_FALSE(token.Flags() & CKF_USER_PIN_LOCKED);
    ui.pinRequests.clear();
    ui.pinAnswers = {{AnswerRetry, kNewPin}};
    EXPECT_EQ(CKR_OK, LoginWithPrompt(g_connection));
    EXPECT_EQ(kPromptNormal, ui.pinRequests[0].kind);
    ExpectNoSecret(ui.AllText());
}

TEST_F(Services, LoginPinChecks)
{
    // A 3-digit PIN on a token asking 4 to 8: no login, asked again with the
    // length status; an empty PIN: the no-PIN status; then the right PIN.
    ui.pinAnswers = {{AnswerRetry, "123"}, {AnswerRetry, ""}, {AnswerRetry, kPin}};
    EXPECT_EQ(CKR_OK, LoginWithPrompt(g_connection));
    ASSERT_EQ(3u, ui.pinRequests.size());
    EXPECT_EQ(kPinLengthOutOfRange, ui.pinRequests[1].status);
    EXPECT_EQ(kPinMissing, ui.pinRequests[2].status);
    EXPECT_EQ(1, token.Count("C_Login"));
    Lines t = Trace();
    // The session opened for the login names its slot before its result.
    auto open = std::find(t.begin(), t.end(), "TS   C_OpenSession");
    ASSERT_NE(t.end(), open);
    EXPECT_EQ("   slotIdentifiant = 7", *(open + 2));
    EXPECT_EQ("   CK_RV = OK", *(open + 3));

    // Cancel, and a login kind of 0.
    ui.pinAnswers.clear();
    EXPECT_EQ(kHolderGaveUp, LoginWithPrompt(g_connection));
    ui.loginAnswers = {AnswerGiveUp};
    EXPECT_EQ(kHolderGaveUp, LoginWithPrompt(g_connection));
    ui.loginAnswers = {7};
    EXPECT_EQ(kPromptPin, LoginWithPrompt(g_connection));

    // A session lost during the login is re-opened and the login repeated, a bounded number of times.
    token.calls.clear();
    fake::Force("C_Login", CKR_SESSION_HANDLE_INVALID, 20);
    ui.pinAnswers = {{AnswerRetry, kPin}};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, LoginWithPrompt(g_connection));
    EXPECT_EQ(1 + kMaxReopenRetries, token.Count("C_Login"));
    ExpectNoSecret(ui.AllText());
}

TEST_F(Services, SlotListingLimits)
{
    Connect();
    // No slot bears the wanted reader's name: it is taken for unplugged and
    // the first slot with a token is opened (here the one chosen).
    std::memcpy(g_connection.wantedReader, "Autre lecteur", 13);
    EXPECT_EQ(kPromptFinalTry, OpenTokenSession(g_connection));
    EXPECT_EQ(7u, g_connection.slotID);
    EXPECT_TRUE(g_connection.wantedReaderGone);

    // More than 20 slots with a slot chosen: the listing's result is returned.
    fake::Force("C_GetSlotList", CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, OpenTokenSession(g_connection));

    // A slot list that keeps growing: at most five calls with a list.
    token.calls.clear();
    fake::Functions()->C_GetSlotList = [](CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) -> CK_RV {
        fake::State().calls.push_back("C_GetSlotList");
        CK_ULONG wanted = *count + 1;
        *count = wanted;
        return list ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    };
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, FindTokenSlot(g_connection));
    EXPECT_EQ(1 + 5, token.Count("C_GetSlotList"));
}

TEST(SlotDescriptions, SameReaderComparesTheWholeNameWithoutTrailingBlanks)
{
    auto field = [](const std::string &text, char pad) {
        std::vector<CK_UTF8CHAR> f(64, static_cast<CK_UTF8CHAR>(pad));
        std::memcpy(f.data(), text.data(), std::min<size_t>(text.size(), f.size()));
        return f;
    };
    const std::string scm = "SCM Microsystems Inc. SCR33x USB Smart Card Reader ";
    struct Case {
        std::string a;
        char padA;
        std::string b;
        char padB;
        bool same;
    } cases[] = {
        {scm + "0", ' ', scm + "0", ' ', true},
        {scm + "0", ' ', scm + "1", ' ', false}, // 51 characters in common
        {scm + "0", ' ', scm + "0", '\0', true}, // blank or zero padding
        {"Lecteur A", ' ', "Lecteur A ", ' ', true},
        {"Lecteur A", ' ', "Lecteur AB", ' ', false},
        {"Lecteur A", ' ', "", '\0', false},
        {std::string(64, 'R'), ' ', std::string(63, 'R') + "S", ' ', false},
        {std::string(64, 'R'), ' ', std::string(64, 'R'), '\0', true},
        {"", ' ', "", '\0', true},
    };
    for (const Case &c : cases) {
        std::vector<CK_UTF8CHAR> a = field(c.a, c.padA), b = field(c.b, c.padB);
        EXPECT_EQ(c.same, SameReader(a.data(), b.data(), 64)) << "\"" << c.a << "\" / \"" << c.b << "\"";
        EXPECT_EQ(c.same, SameReader(b.data(), a.data(), 64)) << "\"" << c.b << "\" / \"" << c.a << "\"";
    }
}
