// The self-test sequence on the in-memory token with a scripted dialog.
#include <gtest/gtest.h>

#include <algorithm>

#include "CardConnection.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "SelfTest.h"
#include "operations_fixture.h"

namespace vel {
namespace {

using ops::CardKind;

class SelfTest : public ::testing::Test {
protected:
    OperationsUi ui;
    ScriptedHost host;

    void SetUpCardKind(CardKind kind)
    {
        ops::SetUpCard(kind, ui);
        host.verifyPin = ops::LogInOnToken;
    }
    void SetUp() override { SetUpCardKind(CardKind::Default); }

    int StatusCount(const std::string &text) const
    {
        return static_cast<int>(
            std::count_if(ui.statuses.begin(), ui.statuses.end(),
                          [&](const std::string &s) { return s.find(text) != std::string::npos; }));
    }
    // Status lines of exactly this service.
    int ServiceCount(const std::string &service) const
    {
        std::string tail = ") = " + service;
        return static_cast<int>(
            std::count_if(ui.statuses.begin(), ui.statuses.end(), [&](const std::string &s) {
                return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
            }));
    }
    bool TraceHas(const std::string &text)
    {
        for (const std::string &l : ui.Lines(PaneTrace))
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    unsigned HighestPosition() const
    {
        return ui.positions.empty() ? 0 : *std::max_element(ui.positions.begin(), ui.positions.end());
    }
};

TEST_F(SelfTest, DefaultCardRunsEveryServiceInOrderAndEndsOnTheDiagnosticPane)
{
    TestServices(host);

    const std::vector<std::string> expected = {
        "Service PKCS (1) = LectureInfosCarte",
        "Service PKCS (2) = LectureInfosPorteur",
        "Service PKCS (3) = LectureInfosPS2",
        "Service PKCS (4) = VELGES_LecSituationPS(0)",
        "Service PKCS (5) = VELGES_LecSituationPS(1)",
        "Service PKCS (6) = VELGES_LecSituationPS(2)",
        "Service PKCS (7) = VELGES_LecSituationFacturation",
        "Service PKCS (8) = C_FindObjects (A)",
        "Service PKCS (9) = C_Sign (Authent)",
        "Service PKCS (10) = C_Verify (Authent)",
        "Service PKCS (11) = C_FindObjects (S)",
        "Service PKCS (12) = C_Sign",
        "Service PKCS (13) = C_Verify",
        "Service PKCS (14) = C_Sign",
        "Service PKCS (15) = C_Verify",
        "Service PKCS (16) = C_GenerateRandom",
    };
    EXPECT_EQ(expected, ui.statuses);
    EXPECT_EQ(1, host.verifyPinCalls);
    EXPECT_EQ(17u, host.beginSteps); // three situations + 14
    EXPECT_EQ("Begin 17 cancellable", host.calls.front());
    EXPECT_EQ("ShowPane 6", host.calls.back());
    EXPECT_EQ("End", host.calls[host.calls.size() - 2]);

    // The authentication key signs raw, the signature key both digests.
    std::vector<CK_OBJECT_HANDLE> keys = {ops::g_keys.authPrivate, ops::g_keys.sigPrivate,
                                          ops::g_keys.sigPrivate};
    EXPECT_EQ(keys, ops::g_watch.signKeys);
    std::vector<CK_MECHANISM_TYPE> mechanisms = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS};
    EXPECT_EQ(mechanisms, ops::g_watch.signMechanisms);
    EXPECT_TRUE(TraceHas("   Mécanisme : RSA_PKCS"));
    EXPECT_TRUE(TraceHas("   Mécanisme : SHA256_RSA_PKCS"));
    EXPECT_TRUE(TraceHas("   Longueur de l'Authentification = 256"));
    EXPECT_TRUE(TraceHas("   Longueur de la Signature = 256"));

    // The challenge: one record without a result line, its 8 bytes on one line.
    EXPECT_EQ(1, ops::g_watch.randomCalls);
    const auto &trace = ui.Lines(PaneTrace);
    auto it = std::find(trace.begin(), trace.end(), "   Longueur défi : 8");
    ASSERT_NE(trace.end(), it);
    EXPECT_EQ(0u, (it - 1)->find("   No Session : "));
    EXPECT_NE(std::string::npos, (it - 2)->find("   C_GenerateRandom"));
    EXPECT_EQ("   Défi : ", *(it + 1));
    EXPECT_EQ("      a0 a1 a2 a3 a4 a5 a6 a7 ", *(it + 2));

    EXPECT_TRUE(g_card.idRead && g_card.nameRead && g_card.infoRead && g_card.billingRead);
    EXPECT_EQ(3, g_card.activityCount);
    ASSERT_FALSE(ui.Lines(PaneJournal).empty());
    EXPECT_NE(std::string::npos, ui.Lines(PaneJournal).back().find("  Test des services VEL"));
    EXPECT_LE(HighestPosition(), host.beginSteps);
}

TEST_F(SelfTest, SingleCertificateCardAsksNoPinAndSignsOnceWithTheTechnicalKey)
{
    SetUpCardKind(CardKind::SingleTechnical);
    // A single-certificate card shows its key without the PIN; the token
    // here hides private objects of a public session, so open it up.
    fake::State().userLoggedIn = true;
    TestServices(host);

    EXPECT_EQ(0, host.verifyPinCalls);
    EXPECT_EQ(14u, host.beginSteps);
    const std::vector<std::string> expected = {
        "Service PKCS (1) = LectureInfosCarte", "Service PKCS (2) = LectureInfosPorteur",
        "Service PKCS (3) = LectureInfosPS2",   "Service PKCS (4) = C_FindObjects (A)",
        "Service PKCS (5) = C_Sign (Authent)",  "Service PKCS (6) = C_Verify (Authent)",
        "Service PKCS (7) = C_GenerateRandom",
    };
    EXPECT_EQ(expected, ui.statuses);
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{ops::g_keys.techPrivate}, ops::g_watch.signKeys);
    EXPECT_EQ(1, ops::g_watch.randomCalls);
}

// What each VerifyPin result other than "logged in" does: nothing starts; a
// card that failed under the login (pulled, in error) shows its state.
TEST_F(SelfTest, PinResultsOtherThanLoggedInEndTheTestBeforeItsProgress)
{
    struct Case {
        uint16_t result;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {0x501, {}},
        {0x502, {"Bit 1 off", "Bit 40 off", "Bit 8 off", "Bit 4 off", "Bit 10 off"}},
        {0x503, {"ShowCardState 258"}},
        {0x504, {"ResetToCardIntroduction"}},
        {0x505, {"ShowCardState 258"}},
        {0x506, {}},
    };
    for (const Case &c : cases) {
        SetUpCardKind(CardKind::Default);
        host = ScriptedHost{};
        host.cardState = 258;
        host.verifyPin = [&] { return c.result; };
        TestServices(host);
        EXPECT_EQ(c.calls, host.calls) << std::hex << c.result;
        EXPECT_TRUE(ui.statuses.empty()) << std::hex << c.result;
        EXPECT_TRUE(ops::g_watch.signKeys.empty());
    }
}

TEST_F(SelfTest, CancelDuringTheSecondSituationSkipsBillingAndEndsEachLaterStepAfterOneService)
{
    ui.cancelAtStatus = "VELGES_LecSituationPS(1)";
    TestServices(host);

    const std::vector<std::string> expected = {
        "Service PKCS (1) = LectureInfosCarte",
        "Service PKCS (2) = LectureInfosPorteur",
        "Service PKCS (3) = LectureInfosPS2",
        "Service PKCS (4) = VELGES_LecSituationPS(0)",
        "Service PKCS (5) = VELGES_LecSituationPS(1)",
        "Service PKCS (6) = C_FindObjects (A)",
        "Service PKCS (7) = C_Sign (Authent)",
        "Service PKCS (8) = C_FindObjects (S)",
        "Service PKCS (9) = C_Sign",
        "Service PKCS (10) = C_GenerateRandom",
    };
    EXPECT_EQ(expected, ui.statuses);
    EXPECT_FALSE(g_card.billingRead);
    EXPECT_TRUE(ui.Lines(PaneDataLower).empty()); // situations not presented
    EXPECT_EQ(1, ops::g_watch.randomCalls);
    EXPECT_EQ("End", host.calls[host.calls.size() - 2]);
}

// The card gone under the services (the last call says so): its state and
// its identity forgotten, not the results of a card no longer there; a
// failure of a card still there keeps the diagnostic pane.
TEST_F(SelfTest, CardGoneUnderTheServicesShowsItsStateNotTheDiagnostic)
{
    struct Case {
        CK_RV rv;
        bool gone;
    } cases[] = {
        {CKR_DEVICE_REMOVED, true}, {CKR_TOKEN_NOT_PRESENT, true}, {CKR_SESSION_HANDLE_INVALID, true},
        {CKR_DEVICE_ERROR, true},   {CKR_FUNCTION_FAILED, false},  {CKR_OK, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rv);
        SetUpCardKind(CardKind::Default);
        host = ScriptedHost{};
        host.verifyPin = ops::LogInOnToken;
        host.cardState = 261;
        ops::g_watch.randomResult = c.rv;
        TestServices(host);
        ASSERT_FALSE(host.calls.empty());
        EXPECT_EQ(c.gone ? "ShowCardState 261" : "ShowPane 6", host.calls.back());
        EXPECT_EQ(!c.gone, g_card.nameRead);
        EXPECT_EQ(!c.gone, g_card.idRead);
    }
}

TEST_F(SelfTest, FailedSha1SigningSkipsItsVerificationAndTheSha256Test)
{
    fake::Force("C_SignFinal", CKR_DEVICE_ERROR); // only the signing in parts ends with C_SignFinal
    TestServices(host);

    EXPECT_EQ(1, StatusCount("= C_Sign (Authent)"));
    EXPECT_EQ(1, ServiceCount("C_Sign"));
    std::vector<CK_MECHANISM_TYPE> mechanisms = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS};
    EXPECT_EQ(mechanisms, ops::g_watch.signMechanisms);
    EXPECT_EQ(0, ServiceCount("C_Verify"));
    EXPECT_EQ("Service PKCS (14) = C_GenerateRandom", ui.statuses.back());
    EXPECT_FALSE(TraceHas("Longueur de la Signature"));
}

TEST_F(SelfTest, CardWithoutSignatureCertificateNeverSignsWithTheAuthenticationKey)
{
    SetUpCardKind(CardKind::NoSignature);
    TestServices(host);

    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{ops::g_keys.authPrivate}, ops::g_watch.signKeys);
    EXPECT_TRUE(TraceHas("   Signature non effectuée : certificat absent de la carte"));
    EXPECT_EQ(1, ops::g_watch.randomCalls);
    EXPECT_LE(HighestPosition(), host.beginSteps);
}

TEST_F(SelfTest, ProgressNeverPassesItsRangeWhenBothCertificateSearchesEndInError)
{
    ops::g_watch.failCertificateSearchFinal = true;
    TestServices(host);

    EXPECT_EQ(17u, host.beginSteps);
    EXPECT_EQ(17u, HighestPosition());
    EXPECT_EQ(17u, ui.positions.back());
}

TEST_F(SelfTest, SecondRunReadsOnlyWhatWasNotReadButShowsEveryReadStatus)
{
    TestServices(host);
    ops::g_watch.dataLabelsSearched.clear();
    ui.statuses.clear();
    TestServices(host);

    EXPECT_EQ(1, StatusCount("LectureInfosCarte"));
    EXPECT_EQ(0, StatusCount("VELGES_LecSituationFacturation"));
    const std::vector<std::string> &labels = ops::g_watch.dataLabelsSearched;
    for (const char *label : {"VEL_ID_CARD", "VEL_NAME_PS", "VEL_INFO_PS", "VEL_SIT_FACT"})
        EXPECT_EQ(labels.end(), std::find(labels.begin(), labels.end(), label)) << label;
}

// The raw signature signs 0.4 of the key length (102 bytes of a 2048-bit
// key) from the sample file, never more than the file holds; the file's
// state is said in the trace.
TEST_F(SelfTest, SampleFileAbsentEmptyShortOrWholeIsReportedAndNeverOverRead)
{
    std::string folder = ops::NewTempFolder("sample");
    std::string path = folder + "/ACR_STANDARD_20130625.cer";
    struct Case {
        const char *name;
        bool exists;
        size_t size;
        CK_ULONG rawSigned, partSigned;
        const char *line;
    };
    const Case cases[] = {
        {"absent", false, 0, 102, 700,
         "   Fichier ACR_STANDARD_20130625.cer absent : données d'essai intégrées (700 octets)"},
        {"empty", true, 0, 102, 700,
         "   Fichier ACR_STANDARD_20130625.cer vide : données d'essai intégrées (700 octets)"},
        {"short", true, 40, 40, 40,
         "   Fichier ACR_STANDARD_20130625.cer trop court : 40 octets signés au lieu de 102"},
        {"whole", true, 1300, 102, 1300, "   Données signées : ACR_STANDARD_20130625.cer (1300 octets)"},
    };
    for (const Case &c : cases) {
        SetUpCardKind(CardKind::Default);
        std::remove(path.c_str());
        if (c.exists)
            ops::WriteWholeFile(path, std::string(c.size, 'x'));
        host.coffre = folder + "/";
        TestServices(host);

        EXPECT_EQ(std::vector<CK_ULONG>{c.rawSigned}, ops::g_watch.rawSignedLengths) << c.name;
        EXPECT_EQ(2 * c.partSigned, ops::g_watch.partSignedBytes) << c.name; // SHA-1 and SHA-256
        EXPECT_TRUE(TraceHas(c.line)) << c.name;
    }
}

} // namespace
} // namespace vel
