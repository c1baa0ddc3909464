// Reading the certificates into the trace and saving them, with the file
// names of the save dialog and a save that never leaves a partial file.
#include <gtest/gtest.h>

#include <cstring>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "CardConnection.h"
#include "CardRecords.h"
#include "Certificates.h"
#include "SafeFileWrite.h"
#include "operations_fixture.h"

namespace vel {
namespace {

using ops::CardKind;

CK_TOKEN_INFO TokenWithSerial(const char *serial)
{
    CK_TOKEN_INFO t{};
    std::memset(t.serialNumber, ' ', sizeof t.serialNumber);
    std::memcpy(t.serialNumber, serial, std::min(std::strlen(serial), sizeof t.serialNumber));
    return t;
}

TEST(CertificateFileName, FollowsTheCardAndTheCertificate)
{
    struct Case {
        CertificateKind kind;
        bool single;
        const char *serial;
        const char *cardNumber; // 10 characters, or fewer then NUL
        const char *name;
    };
    const Case cases[] = {
        {CertificateKind::Authentication, true, "80250000", "", "80250000-Auth_CL"},
        {CertificateKind::Authentication, true, "1234567890ABCDEF", "", "1234567890ABCDEF-Auth_CL"},
        {CertificateKind::Authentication, true, "12 34", "", "12-Auth_CL"},
        {CertificateKind::Authentication, false, "80250000", "8025000001", "8025000001-Auth"},
        {CertificateKind::Signature, false, "80250000", "8025000001", "8025000001-Sign"},
        {CertificateKind::Signature, true, "80250000", "8025000001", "8025000001-Sign"},
        {CertificateKind::Authentication, false, "", "80/2:0*?<|", "80_2_0____-Auth"},
        {CertificateKind::Authentication, false, "", "802", "802-Auth"},
        {CertificateKind::Authentication, false, "", "", "-Auth"},
    };
    for (const Case &c : cases) {
        char number[10] = {};
        std::memcpy(number, c.cardNumber, std::strlen(c.cardNumber));
        EXPECT_EQ(c.name, CertificateFileName(c.kind, c.single, TokenWithSerial(c.serial), number)) << c.name;
    }
}

class Certificates : public ::testing::Test {
protected:
    OperationsUi ui;
    ScriptedHost host;
    std::string folder;

    void SetUpCardKind(CardKind kind)
    {
        ops::SetUpCard(kind, ui);
        host = ScriptedHost{};
        host.token = TokenWithSerial("80250000");
        std::memcpy(g_card.id.cardNumber, "8025000001", 10);
        g_card.idRead = true;
        folder = ops::NewTempFolder("certs");
    }
    void SetUp() override { SetUpCardKind(CardKind::Default); }
    std::string PathOf(const char *name) const { return folder + "/" + name; }
};

TEST_F(Certificates, BothCertificatesAreTracedAndSavedByteForByte)
{
    host.yesNo = {true, true};
    host.savePaths = {PathOf("a.crt"), PathOf("s.crt")};
    ReadCertificate(host);

    EXPECT_EQ((std::vector<std::string>{"Souhaitez-vous enregistrer votre certificat d'authentification ?",
                                        "Souhaitez-vous enregistrer votre certificat de signature ?"}),
              host.questions);
    EXPECT_EQ((std::vector<std::string>{"8025000001-Auth", "8025000001-Sign"}), host.proposedNames);
    EXPECT_EQ(ops::AuthenticationCertificate(), ops::ReadWholeFile(PathOf("a.crt")));
    EXPECT_EQ(ops::SignatureCertificate(), ops::ReadWholeFile(PathOf("s.crt")));
    EXPECT_EQ(2u, ops::FilesIn(folder).size()); // no temporary file left
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ("Begin 2 cancellable", host.calls.front());
    EXPECT_EQ("End", host.calls.back());

    // 1500 bytes: the length, then one line of the first 16 bytes.
    const auto &trace = ui.Lines(PaneTrace);
    auto it = std::find(trace.begin(), trace.end(), "   Longeur du Certificat X.509 = 1500");
    ASSERT_NE(trace.end(), it);
    EXPECT_EQ("   Valeur du certificat X.509 :", *(it + 1));
    EXPECT_EQ(6 + 16 * 3u, (it + 2)->size());
    EXPECT_EQ(0u, (it + 2)->find("      30 82 "));
    EXPECT_EQ("   TypeCle: A", *(it + 3));
    EXPECT_NE(trace.end(), std::find(trace.begin(), trace.end(), "   TypeCle: S"));

    const auto &journal = ui.Lines(PaneJournal);
    ASSERT_EQ(2u, journal.size());
    EXPECT_NE(std::string::npos, journal[0].find(" Données du certificat X.509 de "));
    EXPECT_NE(std::string::npos, journal[0].find(" en authentificaton"));
    EXPECT_NE(std::string::npos, journal[1].find(" en signature"));
    EXPECT_EQ(true, ui.identificationShown.back());
}

TEST_F(Certificates, AnsweringNoTwiceWritesBothJournalLinesAndNoFile)
{
    ReadCertificate(host);
    EXPECT_EQ(2u, host.questions.size());
    EXPECT_TRUE(host.proposedNames.empty());
    EXPECT_EQ(2u, ui.Lines(PaneJournal).size());
    EXPECT_TRUE(ops::FilesIn(folder).empty());
}

TEST_F(Certificates, SingleCertificateCardOffersItsTechnicalCertificateUnderTheSerialNumber)
{
    SetUpCardKind(CardKind::SingleTechnical);
    host.yesNo = {true};
    host.savePaths = {PathOf("t.crt")};
    ReadCertificate(host);

    EXPECT_EQ("Begin 1 cancellable", host.calls.front());
    EXPECT_EQ(std::vector<std::string>{"80250000-Auth_CL"}, host.proposedNames);
    EXPECT_EQ(1u, host.questions.size());
    EXPECT_EQ(ops::TechnicalCertificate(), ops::ReadWholeFile(PathOf("t.crt")));
    ASSERT_EQ(2u, ui.Lines(PaneJournal).size());
    EXPECT_NE(std::string::npos, ui.Lines(PaneJournal)[1].find(" en signature"));
}

TEST_F(Certificates, FailedReadAsksNothingAndShowsTheCardState)
{
    fake::Force("C_FindObjectsInit", CKR_OK);             // HasSingleCertificate
    fake::Force("C_FindObjectsInit", CKR_DEVICE_REMOVED); // the authentication certificate
    fake::Force("C_FindObjectsFinal", CKR_OK);
    fake::Force("C_FindObjectsFinal", CKR_DEVICE_REMOVED);
    host.cardState = 259;
    ReadCertificate(host);

    EXPECT_TRUE(host.questions.empty());
    EXPECT_EQ("ShowCardState 259", host.calls.back());
    EXPECT_FALSE(g_card.idRead);
    EXPECT_EQ(1u, ui.Lines(PaneJournal).size());
}

TEST_F(Certificates, CancelAfterTheFirstCertificateSkipsItsQuestionAndTheSecond)
{
    ui.cancelAtStatus = "VELGES_LectureX509(A)";
    ReadCertificate(host);
    EXPECT_TRUE(host.questions.empty());
    EXPECT_EQ(1u, ui.statuses.size());
}

TEST_F(Certificates, SaveIntoAMissingFolderShowsTheWriteErrorAndWritesNothing)
{
    host.savePaths = {PathOf("absent/a.crt")};
    const std::vector<CK_BYTE> bytes = ops::AuthenticationCertificate();
    SaveCertificate(host, "8025000001-Auth", bytes.data(), bytes.size());
    EXPECT_EQ(
        std::vector<std::string>{"Erreur d'écriture: Impossible d'enregister le certificat sur le disque"},
        host.errors);
    EXPECT_TRUE(ops::FilesIn(folder).empty());
}

TEST_F(Certificates, SaveOverAnExistingFileReplacesItWhole)
{
    ops::WriteWholeFile(PathOf("a.crt"), std::string(5000, 'o'));
    host.savePaths = {PathOf("a.crt")};
    const std::vector<CK_BYTE> bytes = ops::AuthenticationCertificate();
    SaveCertificate(host, "x", bytes.data(), bytes.size());
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(bytes, ops::ReadWholeFile(PathOf("a.crt")));
    EXPECT_EQ(1u, ops::FilesIn(folder).size());
}

TEST_F(Certificates, CancelledSaveDialogWritesNothing)
{
    const std::vector<CK_BYTE> bytes = ops::AuthenticationCertificate();
    SaveCertificate(host, "x", bytes.data(), bytes.size());
    EXPECT_EQ(std::vector<std::string>{"x"}, host.proposedNames);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(ops::FilesIn(folder).empty());
}

#if !defined(_WIN32)
// A disk that fills up during the write: the file already under the chosen
// name stays as it was and no partial file is left beside it.
TEST_F(Certificates, WriteFailureMidwayLeavesTheChosenNameUntouched)
{
    ops::WriteWholeFile(PathOf("a.crt"), "previous");
    host.savePaths = {PathOf("a.crt")};
    const std::vector<CK_BYTE> bytes = ops::AuthenticationCertificate();

    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    SaveCertificate(host, "x", bytes.data(), bytes.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(1u, host.errors.size());
    std::vector<CK_BYTE> previous{'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'};
    EXPECT_EQ(previous, ops::ReadWholeFile(PathOf("a.crt")));
    EXPECT_EQ(std::vector<std::string>{"a.crt"}, ops::FilesIn(folder));
}
#endif

} // namespace
} // namespace vel
