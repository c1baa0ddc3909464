// The self-test and the certificate saving on the software card, as the
// program runs them. The signatures and certificates are left in a folder
// for the host-side check with openssl (check_with_openssl.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "CardConnection.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "Certificates.h"
#include "SelfTest.h"
#include "loaded_library.h"
#include "operations_fixture.h"
#include "softcard_session.h"

namespace vel {
namespace {

using namespace softcard_ops;

const char kAuthLabel[] = "Certificat d'Authentification VEL";
const char kSignLabel[] = "Certificat de Signature VEL";
const char kTechLabel[] = "Certificat Technique VEL";

class OnSoftwareCard : public ::testing::Test {
protected:
    OperationsUi ui;
    ScriptedHost host;

    static void SetUpTestSuite()
    {
        softcard_test::usePrivateState("operations");
        ClearArtifacts();
    }
    void SetUp() override { StartOn("vel3-default"); }
    void TearDown() override { CloseCardSession(); }

    void StartOn(const char *card)
    {
        CloseCardSession();
        softcard_test::control("reset");
        if (std::string(card) != "vel3-default")
            InsertCard(card);
        ui = OperationsUi{};
        host = ScriptedHost{};
        ASSERT_TRUE(OpenCardSession(ui));
        host.verifyPin = LogInWithDefaultPin;
        softcard_test::functions()->C_GetTokenInfo(g_connection.slotID, &host.token);
    }
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
            if (l == text)
                return true;
        return false;
    }
    // Data, signatures and certificates of a self-test for the openssl check.
    void LeaveSignatures(const std::string &sub, const std::vector<CK_BYTE> &data)
    {
        std::string dir = ArtifactFolder(sub);
        const auto &trace = ui.Lines(PaneTrace);
        std::vector<CK_BYTE> auth = HexAfter(trace, "   Valeur d'Authentification :", 0);
        ASSERT_EQ(256u, auth.size());
        WriteArtifact(dir + "/raw.bin", std::vector<CK_BYTE>(data.begin(), data.begin() + RawLength(data)));
        WriteArtifact(dir + "/data.bin", data);
        WriteArtifact(dir + "/auth.sig", auth);
        WriteArtifact(dir + "/sha1.sig", HexAfter(trace, "   Valeur de la signature :", 0));
        WriteArtifact(dir + "/sha256.sig", HexAfter(trace, "   Valeur de la signature :", 2));
        WriteArtifact(dir + "/auth.crt", CardCertificate(kAuthLabel));
        WriteArtifact(dir + "/sign.crt", CardCertificate(kSignLabel));
    }
    static size_t RawLength(const std::vector<CK_BYTE> &data)
    {
        return std::min<size_t>(data.size(), 256 * 2 / 5);
    }
};

std::vector<CK_BYTE> SampleBytes(size_t n)
{
    std::vector<CK_BYTE> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<CK_BYTE>("VEL3 essai "[i % 11] + i / 11 % 3);
    return v;
}

TEST_F(OnSoftwareCard, DefaultCardSelfTestSignsAndVerifiesWithBothKeyPairs)
{
    std::string coffre = ArtifactFolder("coffre");
    std::vector<CK_BYTE> sample = SampleBytes(1300);
    WriteArtifact(coffre + "/ACR_STANDARD_20130625.cer", sample);
    host.coffre = coffre + "/";
    TestServices(host);

    EXPECT_EQ(1, host.verifyPinCalls);
    EXPECT_EQ(17u, host.beginSteps); // three situations
    EXPECT_EQ("Service PKCS (16) = C_GenerateRandom", ui.statuses.back());
    EXPECT_EQ(2, ServiceCount("C_Verify"));
    EXPECT_EQ(1, ServiceCount("C_Verify (Authent)"));
    EXPECT_TRUE(TraceHas("   Longueur de l'Authentification = 256"));
    EXPECT_TRUE(TraceHas("   Données signées : ACR_STANDARD_20130625.cer (1300 octets)"));
    EXPECT_TRUE(TraceHas("   Longueur défi : 8"));
    // Every verification succeeded: no failing record in the diagnostic pane.
    for (const std::string &l : ui.Lines(PaneDiagnostic))
        EXPECT_NE(std::string::npos, l.find("...OK")) << l;
    EXPECT_EQ(3, g_card.activityCount);
    EXPECT_TRUE(g_card.billingRead);
    LeaveSignatures("default", sample);
}

TEST_F(OnSoftwareCard, SelfTestWithoutSampleFileSignsTheBuiltInSample)
{
    host.coffre = ArtifactFolder("empty-coffre") + "/";
    std::remove((host.coffre + "ACR_STANDARD_20130625.cer").c_str());
    TestServices(host);
    EXPECT_TRUE(
        TraceHas("   Fichier ACR_STANDARD_20130625.cer absent : données d'essai intégrées (700 octets)"));
    LeaveSignatures("builtin", std::vector<CK_BYTE>(BuiltInSample(), BuiltInSample() + kBuiltInSampleLength));
}

TEST_F(OnSoftwareCard, SampleFileEmptyOrShortIsReported)
{
    struct Case {
        size_t size;
        const char *line;
    };
    for (Case c :
         {Case{0, "   Fichier ACR_STANDARD_20130625.cer vide : données d'essai intégrées (700 octets)"},
          Case{40, "   Fichier ACR_STANDARD_20130625.cer trop court : 40 octets signés au lieu de 102"}}) {
        StartOn("vel3-default");
        std::string coffre = ArtifactFolder("coffre-" + std::to_string(c.size));
        WriteArtifact(coffre + "/ACR_STANDARD_20130625.cer", SampleBytes(c.size));
        host.coffre = coffre + "/";
        TestServices(host);
        EXPECT_TRUE(TraceHas(c.line)) << c.size;
        EXPECT_EQ(2, ServiceCount("C_Verify")) << c.size;
        if (c.size == 40)
            LeaveSignatures("short", SampleBytes(40));
    }
}

TEST_F(OnSoftwareCard, SingleCertificateCardAsksNoPin)
{
    StartOn("vel3-cl");
    TestServices(host);
    EXPECT_EQ(0, host.verifyPinCalls);
    EXPECT_EQ(14u, host.beginSteps);
    EXPECT_EQ(1, ServiceCount("C_FindObjects (A)"));
    EXPECT_EQ(0, ServiceCount("C_FindObjects (S)"));
    EXPECT_EQ(1, ServiceCount("C_Sign (Authent)"));
    EXPECT_EQ(0, ServiceCount("VELGES_LecSituationPS(0)"));
    EXPECT_EQ("Service PKCS (7) = C_GenerateRandom", ui.statuses.back());
}

TEST_F(OnSoftwareCard, CancelDuringTheSituationsEndsEachLaterStepAfterOneService)
{
    ui.cancelAtStatus = "VELGES_LecSituationPS(1)";
    TestServices(host);
    EXPECT_EQ(0, ServiceCount("VELGES_LecSituationPS(2)"));
    EXPECT_EQ(0, ServiceCount("VELGES_LecSituationFacturation"));
    EXPECT_EQ(0, ServiceCount("C_Verify (Authent)"));
    EXPECT_EQ(0, ServiceCount("C_Verify"));
    EXPECT_EQ(1, ServiceCount("C_Sign"));
    EXPECT_EQ(1, ServiceCount("C_GenerateRandom"));
    EXPECT_EQ("End", host.calls[host.calls.size() - 2]);
}

TEST_F(OnSoftwareCard, InjectedSigningFailureSkipsTheLaterMechanism)
{
    // The first C_SignFinal is the SHA-1 signature's length query.
    ASSERT_EQ(0, softcard_test::control("inject C_SignFinal 1 0x30"));
    TestServices(host);
    EXPECT_EQ(1, ServiceCount("C_Sign"));
    EXPECT_EQ(0, ServiceCount("C_Verify"));
    EXPECT_TRUE(TraceHas("   Mécanisme : SHA1_RSA_PKCS"));
    EXPECT_FALSE(TraceHas("   Mécanisme : SHA256_RSA_PKCS"));
    EXPECT_EQ(1, ServiceCount("C_GenerateRandom"));
}

// Identifiers of 40 bytes cannot be kept: the key of no certificate is
// known, so nothing is signed (the key search would take any key).
TEST_F(OnSoftwareCard, CertificatesWithUnusableIdentifiersSignNothing)
{
    StartOn("vel3-longid");
    TestServices(host);
    EXPECT_TRUE(TraceHas("   Authentification non effectuée : identifiant du certificat inutilisable"));
    EXPECT_TRUE(TraceHas("   Signature non effectuée : identifiant du certificat inutilisable"));
    EXPECT_FALSE(TraceHas("   Mécanisme : RSA_PKCS"));
    EXPECT_EQ(0, ServiceCount("C_Verify"));
    EXPECT_EQ(1, ServiceCount("C_GenerateRandom"));
    EXPECT_LE(ui.positions.back(), host.beginSteps);
}

TEST_F(OnSoftwareCard, BothCertificatesAreSavedAsTheCardHoldsThem)
{
    ReadIdRecord(); // the card number names the files
    std::string dir = ArtifactFolder("saved");
    host.yesNo = {true, true};
    host.savePaths = {dir + "/auth.crt", dir + "/sign.crt"};
    ReadCertificate(host);

    EXPECT_EQ((std::vector<std::string>{"2500012345-Auth", "2500012345-Sign"}), host.proposedNames);
    EXPECT_TRUE(host.errors.empty());
    std::vector<CK_BYTE> auth = CardCertificate(kAuthLabel), sign = CardCertificate(kSignLabel);
    EXPECT_FALSE(auth.empty());
    EXPECT_EQ(auth, ops::ReadWholeFile(dir + "/auth.crt"));
    EXPECT_EQ(sign, ops::ReadWholeFile(dir + "/sign.crt"));
}

TEST_F(OnSoftwareCard, SingleCertificateCardSavesItsTechnicalCertificateUnderTheSerialNumber)
{
    StartOn("vel3-cl");
    std::string dir = ArtifactFolder("saved");
    host.yesNo = {true};
    host.savePaths = {dir + "/tech.crt"};
    ReadCertificate(host);

    EXPECT_EQ(std::vector<std::string>{"12345678-Auth_CL"}, host.proposedNames);
    EXPECT_EQ(CardCertificate(kTechLabel), ops::ReadWholeFile(dir + "/tech.crt"));
}

} // namespace
} // namespace vel
