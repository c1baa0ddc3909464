// The reader choice, the certificates and the self-test through the real
// card manager on the software card, driven from another process as a
// person would. They need the program's three commands wired to these
// operations; a program without them is reported, not failed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

#include "ChoixLADRes.h"
#include "Driver.h"
#include "loaded_library.h"
#include "resource.h"

using namespace driver;

namespace {

const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const DWORD kWait = 30000;
// The file name field of the save dialog (comdlg32's explorer template).
const int kSaveNameField = 1148;

std::string ProgramPath()
{
    const char *p = std::getenv("VLMGR_EXE");
    return p ? p : "";
}

class Operations : public ::testing::Test {
protected:
    Program program;
    HWND dlg = nullptr;

    static void SetUpTestSuite() { softcard_test::usePrivateState("operations-flows"); }

    // The software card as the test sets it, then the program on it.
    void Launch()
    {
        ASSERT_FALSE(ProgramPath().empty()) << "VLMGR_EXE not set";
        ASSERT_TRUE(Start(program, ProgramPath(), {"WINEDLLOVERRIDES=mscoree,mshtml="})) << ProgramPath();
        dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, kWait, true);
        ASSERT_NE(nullptr, dlg) << "no main dialog";
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }
    void TearDown() override
    {
        if (program.Running()) {
            PostMessageA(dlg, WM_CLOSE, 0, 0);
            if (program.Wait(kWait) != 0)
                program.Kill();
        }
        softcard_test::control("reset");
    }
    // The dialog or message box that must come now.
    HWND Next() { return WaitOtherDialog(program.pi.dwProcessId, dlg, kWait); }
    void Press(HWND box, int button)
    {
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        WaitUntil([&] { return !IsWindow(box); }, kWait);
    }
    // A command that opened nothing and wrote no journal line is not wired.
    bool Wired(const std::string &journalLine)
    {
        return WaitUntil([&] { return ItemText(dlg, IDC_PANE_JOUR).find(journalLine) != std::string::npos; },
                         3000);
    }
};

TEST_F(Operations, ReaderChoiceRestartsOnTheReaderChosenOrKeepsTheCardOnCancel)
{
    softcard_test::control("reset");
    ASSERT_EQ(0, softcard_test::control("add-reader \"Lecteur Ovrane VEL 1\""));
    ASSERT_EQ(0, softcard_test::control("insert \"Lecteur Ovrane VEL 1\" vel3-cl"));
    Launch();
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_HOLDER_NAME).find("MARTIN JEANNE"));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_CARD_ID).find("2500012345"));

    // Cancel: the card and the identity stay.
    Click(dlg, IDC_CHANGELECT);
    HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", 5000, true);
    if (!choice)
        GTEST_SKIP() << "the program does not run the reader choice (its reader command not wired)";
    EXPECT_EQ(2, (int)SendMessageA(GetDlgItem(choice, IDC_LISTE_LECTEURS), CB_GETCOUNT, 0, 0));
    Press(choice, IDCANCEL);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_HOLDER_NAME).find("MARTIN JEANNE"));
    EXPECT_EQ(std::string::npos, ItemText(dlg, IDC_PANE_JOUR).find("Changement de lecteur"));

    // The second reader: its card's holder is shown.
    Click(dlg, IDC_CHANGELECT);
    choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    SendMessageA(GetDlgItem(choice, IDC_LISTE_LECTEURS), CB_SETCURSEL, 1, 0);
    Press(choice, IDOK);
    // The single-certificate card of the second reader: another card number.
    EXPECT_TRUE(
        WaitUntil([&] { return ItemText(dlg, IDC_CARD_ID).find("2500098765") != std::string::npos; }, kWait))
        << ItemText(dlg, IDC_CARD_ID);
    EXPECT_EQ(std::string::npos, ItemText(dlg, IDC_HOLDER_NAME).find("MARTIN JEANNE"));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_READER_LINE).find("Lecteur Ovrane VEL 1"));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_JOUR).find("  Changement de lecteur"));
}

// A reader plugged in after start-up can be chosen; a card that fails in it
// does not make the next card introduction forget it.
TEST_F(Operations, ReaderPluggedInAfterStartUpIsChosenAndKept)
{
    softcard_test::control("reset");
    Launch();
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_CARD_ID).find("2500012345"));
    ASSERT_EQ(0, softcard_test::control("add-reader \"Lecteur Ovrane VEL 1\""));
    ASSERT_EQ(0, softcard_test::control("insert \"Lecteur Ovrane VEL 1\" unknown"));

    Click(dlg, IDC_CHANGELECT);
    HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    ASSERT_EQ(2, (int)SendMessageA(GetDlgItem(choice, IDC_LISTE_LECTEURS), CB_GETCOUNT, 0, 0));
    SendMessageA(GetDlgItem(choice, IDC_LISTE_LECTEURS), CB_SETCURSEL, 1, 0);
    Press(choice, IDOK);
    HWND box = Next();
    ASSERT_NE(nullptr, box) << "the card of the reader chosen was not tried";
    EXPECT_EQ("Impossible de mettre la carte sous tension", MessageText(box));
    Press(box, IDOK);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string::npos,
              ItemText(dlg, IDC_CARD_ID).find("2500012345")); // not the first reader's card

    // A usable card in the chosen reader, then "Introduction carte".
    ASSERT_EQ(0, softcard_test::control("remove \"Lecteur Ovrane VEL 1\""));
    ASSERT_EQ(0, softcard_test::control("insert \"Lecteur Ovrane VEL 1\" vel3-cl"));
    Click(dlg, IDC_INTROCARTE);
    EXPECT_TRUE(
        WaitUntil([&] { return ItemText(dlg, IDC_CARD_ID).find("2500098765") != std::string::npos; }, kWait))
        << ItemText(dlg, IDC_CARD_ID);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_READER_LINE).find("Lecteur Ovrane VEL 1"))
        << ItemText(dlg, IDC_READER_LINE);
}

TEST_F(Operations, SelfTestOnTheDefaultCardAsksThePinAndEndsOnTheDiagnosticPane)
{
    softcard_test::control("reset");
    Launch();
    Command(dlg, ID_SELF_TEST);
    HWND pin = WaitOtherDialog(program.pi.dwProcessId, dlg, 5000);
    if (!pin)
        GTEST_SKIP() << "the program does not run the self-test (its self-test command not wired)";
    EXPECT_EQ(0u, Text(pin).find("Code porteur (reste 3 tentative(s))")) << Text(pin);
    SetItemText(pin, IDC_CODE_EDIT, "1234");
    Press(pin, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DIAG); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string diag = ItemText(dlg, IDC_PANE_DIAG);
    EXPECT_NE(std::string::npos, diag.find("C_GenerateRandom...OK")) << diag;
    EXPECT_NE(std::string::npos, diag.find("C_VerifyFinal...OK")) << diag;
    EXPECT_NE(std::string::npos, diag.find("C_Verify...OK")) << diag;
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_JOUR).find("  Test des services VEL"));
    std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    EXPECT_NE(std::string::npos, trace.find("   Mécanisme : SHA256_RSA_PKCS")) << trace.size();
}

TEST_F(Operations, SelfTestOnTheSingleCertificateCardAsksNoPin)
{
    softcard_test::control("reset");
    softcard_test::control("remove \"Lecteur Ovrane VEL 0\"");
    softcard_test::control("insert \"Lecteur Ovrane VEL 0\" vel3-cl");
    Launch();
    Command(dlg, ID_SELF_TEST);
    if (!Wired("  Test des services VEL"))
        GTEST_SKIP() << "the program does not run the self-test (its self-test command not wired)";
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DIAG); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(nullptr, WaitOtherDialog(program.pi.dwProcessId, dlg, 500)); // no PIN prompt
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_DIAG).find("C_GenerateRandom...OK"));
}

TEST_F(Operations, CertificatesAreOfferedForSavingOneAfterTheOther)
{
    softcard_test::control("reset");
    Launch();
    Command(dlg, ID_CERTIFICATES);
    HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, 5000);
    if (!box)
        GTEST_SKIP() << "the program does not read the certificates (its certificate command not wired)";
    EXPECT_EQ("Souhaitez-vous enregistrer votre certificat d'authentification ?", MessageText(box));
    Press(box, IDNO);
    box = Next();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Souhaitez-vous enregistrer votre certificat de signature ?", MessageText(box));
    Press(box, IDNO);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string journal = ItemText(dlg, IDC_PANE_JOUR);
    EXPECT_NE(std::string::npos, journal.find(" en authentificaton"));
    EXPECT_NE(std::string::npos, journal.find(" en signature"));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_TRACE).find("   TypeCle: S"));
}

// The certificate of this label as the card holds it, read from the driver.
std::vector<CK_BYTE> CardCertificate(const char *label)
{
    CK_FUNCTION_LIST *f = softcard_test::functions();
    f->C_Initialize(nullptr);
    std::vector<CK_BYTE> value;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    CK_SESSION_HANDLE h = 0;
    if (f->C_GetSlotList(CK_TRUE, &slot, &n) == CKR_OK && n == 1 &&
        f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) == CKR_OK) {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_LABEL, (void *)label, (CK_ULONG)std::strlen(label)}};
        CK_OBJECT_HANDLE o = 0;
        CK_ULONG found = 0;
        f->C_FindObjectsInit(h, tmpl, 2);
        f->C_FindObjects(h, &o, 1, &found);
        f->C_FindObjectsFinal(h);
        CK_ATTRIBUTE a = {CKA_VALUE, nullptr, 0};
        if (found == 1 && f->C_GetAttributeValue(h, o, &a, 1) == CKR_OK) {
            value.resize(a.ulValueLen);
            a.pValue = value.data();
            f->C_GetAttributeValue(h, o, &a, 1);
        }
        f->C_CloseSession(h);
    }
    f->C_Finalize(nullptr);
    return value;
}

std::vector<CK_BYTE> FileBytes(const std::string &path)
{
    std::string text = ReadFileText(path);
    return std::vector<CK_BYTE>(text.begin(), text.end());
}

// The holder saves the authentication certificate through the save dialog.
TEST_F(Operations, SavedCertificateIsTheCardsOwn)
{
    softcard_test::control("reset");
    Launch();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string path = std::string(temp) + "vel-flows-auth.crt";
    DeleteFileA(path.c_str());

    Command(dlg, ID_CERTIFICATES);
    HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, 5000);
    if (!box)
        GTEST_SKIP() << "the program does not read the certificates (its certificate command not wired)";
    Press(box, IDYES);
    HWND save = Next();
    ASSERT_NE(nullptr, save);
    // The proposed name: the card number and "-Auth".
    EXPECT_EQ("2500012345-Auth", ItemText(save, kSaveNameField));
    SetItemText(save, kSaveNameField, path);
    Press(save, IDOK);
    box = Next();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("Souhaitez-vous enregistrer votre certificat de signature ?", MessageText(box));
    Press(box, IDNO);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::vector<CK_BYTE> card = CardCertificate("Certificat d'Authentification VEL");
    EXPECT_FALSE(card.empty());
    EXPECT_EQ(card, FileBytes(path));
    DeleteFileA(path.c_str());
}

} // namespace
