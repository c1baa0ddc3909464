// The card manager's flows, run from a separate driver process under Wine as
// a person would run them: the program path comes from VLMGR_EXE.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ChoixLADRes.h"
#include "Driver.h"
#include "loaded_library.h"
#include "resource.h"

using namespace driver;

namespace {

const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const DWORD kWait = 20000;

std::string ProgramPath()
{
    const char *p = std::getenv("VLMGR_EXE");
    return p ? p : "";
}

std::string EnvOr(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v ? v : fallback;
}

const char kReader[] = "Lecteur Ovrane VEL 0";
const char kReaderChange[] = "  Changement de lecteur\r\n";

// Writes the software card's state, or fails the test.
void WriteState(const std::string &path, const std::vector<std::string> &readers,
                const std::vector<PlacedCard> &cards, unsigned latencyMs, unsigned long insertion = 1)
{
    ASSERT_TRUE(
        WriteSoftcardState(path, EnvOr("VLMGR_CARDS", "."), readers, cards, latencyMs, false, insertion))
        << path;
}

// Adds records (an injected result...) to a state file written by WriteState.
void AppendToState(const std::string &path, const std::string &records)
{
    FILE *f = fopen(path.c_str(), "ab");
    ASSERT_NE(nullptr, f) << path;
    fputs(records.c_str(), f);
    fclose(f);
}

int FirstVisibleLine(HWND dlg, int id)
{
    return (int)SendMessageA(GetDlgItem(dlg, id), EM_GETFIRSTVISIBLELINE, 0, 0);
}

class CardManager : public ::testing::Test {
protected:
    std::string statePath = EnvOr("TEMP", "C:\\windows\\temp") + std::string("\\vlmgr-flows.state");

    void LaunchOn(const std::vector<std::string> &readers, const std::vector<PlacedCard> &cards,
                  unsigned latency = 0)
    {
        WriteState(statePath, readers, cards, latency);
        Launch({"VEL_SOFTCARD_STATE=" + statePath});
    }
    // The code dialog that comes now: its caption, after typing `code` and OK
    // (or Annuler when `code` is null).
    std::string EnterCode(const char *code)
    {
        HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
        if (!box)
            return "(no code dialog)";
        std::string caption = Text(box);
        if (code)
            SetItemText(box, IDC_CODE_EDIT, code);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(code ? IDOK : IDCANCEL, BN_CLICKED), 0);
        WaitUntil([&] { return !IsWindow(box); }, kWait);
        return caption;
    }

    Program program;
    HWND dlg = nullptr;

    void Launch(const std::vector<std::string> &env)
    {
        ASSERT_FALSE(ProgramPath().empty()) << "VLMGR_EXE not set";
        ASSERT_TRUE(Start(program, ProgramPath(), env)) << ProgramPath();
        dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, kWait, true);
        ASSERT_NE(nullptr, dlg) << "no main dialog";
        // The start-up runs from a message the dialog posts to itself: until
        // then the window looks idle. Its progress bar shows from its
        // beginning to its end, the reader line (hidden at creation) from its end.
        ASSERT_TRUE(WaitUntil(
            [&] { return Visible(dlg, IDC_PROGRESS) || Visible(dlg, IDC_READER_LINE) || !program.Running(); },
            kWait))
            << "no start-up";
    }
    // Closes the program through the close box and checks that it ends.
    void Quit()
    {
        PostMessageA(dlg, WM_CLOSE, 0, 0);
        EXPECT_EQ(0, program.Wait(kWait)) << "the program did not end";
    }
    // A card image of the cards folder with some of its records changed
    // ("left=3" -> "left=0"...), written as `name` into the temporary folder,
    // which then serves as the cards folder of WriteCustomState.
    void MakeCard(const std::string &from, const std::string &name,
                  const std::vector<std::pair<std::string, std::string>> &edits)
    {
        std::string image = ReadFileText(EnvOr("VLMGR_CARDS", ".") + "\\" + from + ".card");
        ASSERT_FALSE(image.empty()) << from;
        for (const auto &e : edits) {
            size_t at = image.find(e.first);
            ASSERT_NE(std::string::npos, at) << e.first;
            image.replace(at, e.first.size(), e.second);
        }
        FILE *f = fopen((TempFolder() + "\\" + name + ".card").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fputs(image.c_str(), f);
        fclose(f);
    }
    static std::string TempFolder() { return EnvOr("TEMP", "C:\\windows\\temp"); }
    // Starts on cards made by MakeCard.
    void LaunchOnMadeCards(const std::vector<std::string> &readers, const std::vector<PlacedCard> &cards)
    {
        ASSERT_TRUE(WriteSoftcardState(statePath, TempFolder(), readers, cards, 0, false)) << statePath;
        Launch({"VEL_SOFTCARD_STATE=" + statePath});
    }
    // The journal lines of confirmed reader choices.
    size_t ReaderChanges()
    {
        const std::string journal = ItemText(dlg, IDC_PANE_JOUR);
        size_t n = 0;
        for (size_t at = journal.find(kReaderChange); at != std::string::npos;
             at = journal.find(kReaderChange, at + 1))
            ++n;
        return n;
    }
    // The start-up a confirmed choice begins has ended. Between the choice's
    // close and that start-up the window looks idle, with the old reader
    // line. The choice writes its journal line, then hides the reader line
    // before it serves any message (the journal is read through one), and
    // the start-up shows that line again at its end.
    bool WaitChosenReaderStartUp(size_t changesBefore)
    {
        return WaitUntil([&] { return ReaderChanges() > changesBefore && Visible(dlg, IDC_READER_LINE); },
                         kWait) &&
               WaitIdle(dlg, kWait);
    }
    // Picks the reader at `index` in "Choix d'un lecteur" (Annuler when -1).
    void ChooseReaderAt(int index)
    {
        const size_t changes = ReaderChanges();
        Click(dlg, IDC_CHANGELECT);
        HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
        ASSERT_NE(nullptr, choice);
        if (index >= 0)
            SendMessageA(GetDlgItem(choice, IDC_LISTE_LECTEURS), CB_SETCURSEL, index, 0);
        Click(choice, index >= 0 ? IDOK : IDCANCEL);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
        if (index >= 0) {
            ASSERT_TRUE(WaitChosenReaderStartUp(changes)) << ItemText(dlg, IDC_PANE_JOUR);
        }
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }
    // "Changer carte" confirmed.
    void ChangeCardConfirmed()
    {
        Click(dlg, IDC_INTROCARTE);
        HWND change = WaitWindow(program.pi.dwProcessId, "Changement carte", kWait, true);
        ASSERT_NE(nullptr, change);
        Click(change, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(change); }, kWait));
    }
    // No dialog of the program but the main one (none comes within a short wait).
    bool NoOtherDialog() { return WaitOtherDialog(program.pi.dwProcessId, dlg, 300) == nullptr; }

    // Answers the message box that must come now.
    std::string Answer(int button)
    {
        HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
        if (!box)
            return "(no message box)";
        std::string text = MessageText(box);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        WaitUntil([&] { return !IsWindow(box); }, kWait);
        return text;
    }
};

// Without the PKCS#11 library the window stays usable: the logs can be shown
// and saved, and the program can be left. (Run with the library disabled by
// WINEDLLOVERRIDES in the driver's environment.)
TEST_F(CardManager, StartsWithoutTheLibraryAndStaysUsable)
{
    Launch({});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_FALSE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    EXPECT_TRUE(Enabled(dlg, IDCANCEL));
    EXPECT_TRUE(Enabled(dlg, IDC_SHOW_JOURNAL));

    Click(dlg, IDC_SHOW_TRACE);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_TRACE); }, kWait));
    EXPECT_EQ("Fichier VEL-TRAC.TXT : Trace des Services VEL", ItemText(dlg, IDC_PANE_CAPTION));
    std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    EXPECT_EQ(0u, trace.find("*** Session VEL-GESTION    Version v06.09.00\r\n*** Fichier créé le "))
        << trace;
    EXPECT_NE(std::string::npos, trace.find("   C_GetFunctionsList\r\n   CK_RV = 0x00000006\r\n")) << trace;
    EXPECT_NE(std::string::npos,
              ItemText(dlg, IDC_PANE_DIAG).find("C_GetFunctionsList...L'opération a échoué"));
    Click(dlg, IDC_CLOSE_PANE);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(dlg, IDC_PANE_TRACE); }, kWait));

    // Save the journal and the diagnostic only.
    const std::string folder = LogFolder();
    for (const char *f : {"VEL-JOUR.TXT", "VEL-TRAC.TXT", "VEL-INFO.TXT", "VEL-DIAG.TXT"})
        DeleteFileA((folder + f).c_str());
    Command(dlg, ID_OPTIONS);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    for (int box : {IDC_SAVE_JOURNAL, IDC_SAVE_DIAG}) {
        SendMessageA(GetDlgItem(options, box), BM_SETCHECK, BST_CHECKED, 0);
        Click(options, box);
    }
    Click(options, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(options); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string journal = ReadFileText(folder + "VEL-JOUR.TXT");
    EXPECT_EQ(0u, journal.find("*** Session VEL-GESTION    Version v06.09.00\r\n")) << journal;
    EXPECT_NE(std::string::npos, journal.find("*** Fichier VEL-JOUR.TXT : Journal des manipulations\r\n"));
    EXPECT_NE(std::string::npos, ReadFileText(folder + "VEL-DIAG.TXT").find("C_GetFunctionsList"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "VEL-TRAC.TXT").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "VEL-INFO.TXT").c_str()));

    Quit();
}

// The default card: identity at start-up, data read, a wrong then the right
// PIN (the second prompt counts the try just lost), situations without a new prompt.
TEST_F(CardManager, DefaultCardDataAndPinPresentation)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IDC_HOLDER_NAME));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IDC_READER_LINE));
    EXPECT_TRUE(Enabled(dlg, IDC_LECDONNEES));
    EXPECT_TRUE(Enabled(dlg, IDC_CHANGERCODE));
    EXPECT_FALSE(Enabled(dlg, IDC_FORCERCP));

    Click(dlg, IDC_LECDONNEES);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Fichier VEL-INFO.TXT : Données lues dans la VEL", ItemText(dlg, IDC_PANE_CAPTION));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_DATA_UPPER).find("MARTIN"));

    Command(dlg, ID_PRESENT_PIN); // "&Saisir Code"
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("9999"));
    EXPECT_EQ("Code porteur (reste 2 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IDC_LECSIT);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(nullptr, WaitOtherDialog(program.pi.dwProcessId, dlg, 300)); // no PIN asked again
    Click(dlg, IDC_SHOW_JOURNAL);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_JOUR); }, kWait));
    std::string journal = ItemText(dlg, IDC_PANE_JOUR);
    EXPECT_NE(std::string::npos, journal.find("  Lecture données\r\n")) << journal;
    EXPECT_NE(std::string::npos, journal.find("  Présentation du code porteur\r\n")) << journal;
    EXPECT_NE(std::string::npos, journal.find("  Lecture des situations\r\n")) << journal;
    EXPECT_EQ(std::string::npos, ItemText(dlg, IDC_PANE_TRACE).find("9999")); // codes only as stars
    Quit();
}

// PIN change: a 3-digit old PIN is refused at once; a wrong old PIN is
// reported with the tries left after that attempt; the right one changes it.
TEST_F(CardManager, PinChange)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IDC_CHANGERCODE);
    EXPECT_EQ("Ancien code porteur", EnterCode("123"));
    EXPECT_NE(std::string::npos,
              Answer(IDOK).find("Le code porteur est un code entre quatre et huit chiffres."));
    EXPECT_EQ("Ancien code porteur", EnterCode("9999"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4322"));
    EXPECT_EQ("Code de confirmation erroné.", Answer(IDOK));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    std::string retry = Answer(IDYES);
    EXPECT_NE(std::string::npos,
              retry.find("Ce code porteur est erroné.\nVous avez au maximum 2 tentative(s)."))
        << retry;
    EXPECT_EQ("Ancien code porteur", EnterCode("1234"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(nullptr, WaitOtherDialog(program.pi.dwProcessId, dlg, 300)); // no message: changed
    std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    EXPECT_NE(std::string::npos, trace.find("   pNewPin = ****\r\n")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("4321"));
    Quit();
}

// A blocked card: only unblocking is offered; a 7-digit code is refused
// before any new PIN; a wrong code counts the try it lost; the right one
// gives the PIN commands back.
TEST_F(CardManager, BlockedCardIsUnblocked)
{
    LaunchOn({kReader}, {{"vel3-blocked", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Enabled(dlg, IDC_FORCERCP));
    EXPECT_FALSE(Enabled(dlg, IDC_CHANGERCODE));
    EXPECT_FALSE(Enabled(dlg, IDC_LECSIT));
    EXPECT_TRUE(Enabled(dlg, IDC_LECDONNEES));

    Click(dlg, IDC_FORCERCP);
    EXPECT_EQ("Code de déblocage", EnterCode("1111111"));
    EXPECT_NE(std::string::npos, Answer(IDOK).find("Le code de déblocage est un code à huit chiffres."));
    EXPECT_EQ("Code de déblocage", EnterCode("87654321"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    std::string retry = Answer(IDYES);
    EXPECT_NE(std::string::npos,
              retry.find("Ce code de déblocage est erronéVous avez au maximum 9 tentative(s)."))
        << retry;
    EXPECT_EQ("Code de déblocage", EnterCode("12345678"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(
        WaitUntil([&] { return Enabled(dlg, IDC_CHANGERCODE) && !Enabled(dlg, IDC_FORCERCP); }, kWait));
    EXPECT_TRUE(Enabled(dlg, IDC_LECSIT));
    Quit();
}

// No reader: the reader prompt, then the transmission message; only card
// introduction and reader choice stay on.
TEST_F(CardManager, NoReader)
{
    LaunchOn({}, {});
    EXPECT_EQ("Connexion lecteur", EnterCode(nullptr));
    std::string text = Answer(IDOK);
    EXPECT_EQ("Vérifier que le lecteur est bien connecté", text);
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    EXPECT_TRUE(Enabled(dlg, IDCANCEL));
    Quit();
}

// The single-certificate card: reading and PIN commands stay greyed.
TEST_F(CardManager, SingleCertificateCardKeepsReadAndPinCommandsOff)
{
    LaunchOn({kReader}, {{"vel3-cl", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    EXPECT_FALSE(Enabled(dlg, IDC_LECSIT));
    EXPECT_FALSE(Enabled(dlg, IDC_CHANGERCODE));
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_TRUE(Enabled(dlg, IDC_SHOW_DATA));
    Command(dlg, IDOK); // Enter does not end the program past its clean-up
    EXPECT_EQ(-1, program.Wait(300)) << "the program ended";
    Quit();
}

// The card taken out and put back during a card change.
TEST_F(CardManager, CardRemovedAndIntroducedAgain)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", ""}}, 0, 5);
    Click(dlg, IDC_INTROCARTE); // "Changer carte"
    EXPECT_EQ("Changement carte", EnterCode(nullptr /* Annuler */));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IDC_HOLDER_NAME)); // nothing changed
    Click(dlg, IDC_INTROCARTE);
    HWND change = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, change);
    EXPECT_EQ("Changement carte", Text(change));
    Click(change, IDOK);
    HWND insert = WaitWindow(program.pi.dwProcessId, "Introduction carte", kWait, true);
    ASSERT_NE(nullptr, insert);
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 0, 9);
    Click(insert, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(insert); }, kWait));
    ASSERT_TRUE(
        WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER) || Visible(dlg, IDC_HOLDER_NAME); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IDC_HOLDER_NAME));
    Quit();
}

// Two readers: the card is found in the second; choosing it again restarts
// on it; a cancelled choice writes nothing to the journal.
TEST_F(CardManager, ReaderChoice)
{
    const char second[] = "Lecteur Ovrane VEL 1";
    LaunchOn({kReader, second}, {{"vel3-default", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IDC_READER_LINE));
    Click(dlg, IDC_CHANGELECT);
    HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    Click(choice, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
    Click(dlg, IDC_CHANGELECT);
    choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    HWND combo = GetDlgItem(choice, IDC_LISTE_LECTEURS);
    EXPECT_EQ(2, (int)SendMessageA(combo, CB_GETCOUNT, 0, 0));
    SendMessageA(combo, CB_SETCURSEL, 1, 0);
    Click(choice, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
    ASSERT_TRUE(WaitChosenReaderStartUp(0)) << ItemText(dlg, IDC_PANE_JOUR);
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IDC_HOLDER_NAME));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IDC_READER_LINE));
    std::string journal = ItemText(dlg, IDC_PANE_JOUR);
    size_t first = journal.find("  Changement de lecteur\r\n");
    EXPECT_NE(std::string::npos, first) << journal;
    EXPECT_EQ(std::string::npos, journal.find("  Changement de lecteur\r\n", first + 1));
    Quit();
}

// Certificates: the authentication one saved through the file dialog, the
// signature one read and not saved; both journal lines, the trace's
// certificate lines.
TEST_F(CardManager, CertificatesReadAndSaved)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    const std::string file = EnvOr("TEMP", "C:\\windows\\temp") + std::string("\\vlmgr-auth.crt");
    DeleteFileA(file.c_str());
    Command(dlg, ID_CERTIFICATES);
    EXPECT_EQ("Souhaitez-vous enregistrer votre certificat d'authentification ?", Answer(IDYES));
    HWND save = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, save);
    for (int id : {1148, 1152}) // the file name field (explorer and old style)
        if (GetDlgItem(save, id))
            SetItemText(save, id, file);
    Click(save, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(save); }, kWait));
    EXPECT_EQ("Souhaitez-vous enregistrer votre certificat de signature ?", Answer(IDNO));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string der = ReadFileText(file);
    ASSERT_GT(der.size(), 100u);
    EXPECT_EQ('\x30', der[0]);
    std::string journal = ItemText(dlg, IDC_PANE_JOUR);
    EXPECT_NE(std::string::npos,
              journal.find(" Données du certificat X.509 de Madame MARTIN JEANNE en authentificaton\r\n"))
        << journal;
    EXPECT_NE(std::string::npos,
              journal.find(" Données du certificat X.509 de Madame MARTIN JEANNE en signature\r\n"))
        << journal;
    std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    EXPECT_NE(std::string::npos,
              trace.find("   Longeur du Certificat X.509 = " + std::to_string(der.size()) + "\r\n"));
    EXPECT_NE(std::string::npos, trace.find("   TypeCle: A\r\n"));
    EXPECT_NE(std::string::npos, trace.find("   TypeCle: S\r\n"));
    EXPECT_TRUE(Enabled(dlg, IDC_LECDONNEES));
    Quit();
}

// Self-test on the default card: the PIN first, every service, the
// challenge, then the diagnostic pane.
TEST_F(CardManager, SelfTest)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, ID_SELF_TEST);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DIAG); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    for (const char *line : {"   Longueur de l'Authentification = ", "   Mécanisme : SHA1_RSA_PKCS",
                             "   Mécanisme : SHA256_RSA_PKCS",
                             "   Longueur de la Signature = ", "   Longueur défi : 8", "C_GenerateRandom"})
        EXPECT_NE(std::string::npos, trace.find(line)) << line;
    EXPECT_EQ(std::string::npos, ItemText(dlg, IDC_PANE_DIAG).find("C_Verify...C"))
        << ItemText(dlg, IDC_PANE_DIAG);
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_JOUR).find("  Test des services VEL\r\n"));
    Quit();
}

// Quitting through the close box while an operation runs: the program waits
// for the operation to end, then quits.
TEST_F(CardManager, QuitDuringALongOperationWaitsForIt)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 150, 1);
    Click(dlg, IDC_LECDONNEES);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, 1075); }, kWait));
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    EXPECT_EQ(-1, program.Wait(500)) << "the program ended while reading";
    EXPECT_EQ(0, program.Wait(60000));
}

// A log-off or shut-down closes the program through the normal quit.
TEST_F(CardManager, SessionEndQuits)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(TRUE, SendMessageA(dlg, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    EXPECT_EQ(0, program.Wait(kWait));
}

// "&Options" then "&Valider" while a long operation runs: the saves are
// made, and the commands come back when the operation ends.
TEST_F(CardManager, OptionsDuringALongOperationKeepTheCommands)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    const std::string journalFile = LogFolder() + "VEL-JOUR.TXT";
    DeleteFileA(journalFile.c_str());
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 300, 1);
    Click(dlg, IDC_LECDONNEES);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PROGRESS); }, kWait));
    Command(dlg, ID_OPTIONS);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    SendMessageA(GetDlgItem(options, IDC_SAVE_JOURNAL), BM_SETCHECK, BST_CHECKED, 0);
    Click(options, IDC_SAVE_JOURNAL);
    Click(options, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(options); }, kWait));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {IDCANCEL, IDC_LECDONNEES, IDC_LECSIT, IDC_INTROCARTE, IDC_CHANGELECT, IDC_SHOW_JOURNAL})
        EXPECT_TRUE(Enabled(dlg, id)) << id;
    EXPECT_NE(std::string::npos, ReadFileText(journalFile).find("  Lecture données\r\n"));
    Quit();
}

// A failed call during the start-up scan is a card that cannot be used, not
// a library that cannot start: the program stays, and closes the library at quit.
TEST_F(CardManager, FailedScanAtStartUpLeavesTheProgramUsable)
{
    ASSERT_TRUE(WriteSoftcardState(statePath, EnvOr("VLMGR_CARDS", "."), {kReader},
                                   {{"vel3-default", kReader}}, 0, true));
    AppendToState(statePath, "inject function=\"C_OpenSession\" call=1 seen=0 result=0x00000006\n");
    const std::string callLog = statePath + ".log";
    DeleteFileA(callLog.c_str());
    Launch({"VEL_SOFTCARD_STATE=" + statePath});
    EXPECT_EQ("Impossible de mettre la carte sous tension", Answer(IDOK));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader,
              ItemText(dlg, IDC_READER_LINE)); // the reader that failed
    EXPECT_TRUE(program.Running());
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_TRUE(Enabled(dlg, IDC_CHANGELECT));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    Click(dlg, IDC_INTROCARTE); // the card again, now that the library answers
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_HOLDER_NAME) == "Madame MARTIN JEANNE"; }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Quit();
    EXPECT_NE(std::string::npos, ReadFileText(callLog).find("C_Finalize")) << ReadFileText(callLog);
}

// Situations after a refused PIN change on a logged-in session: read without
// a new prompt, and the pane opens at its top so that ">>" and "<<" move.
TEST_F(CardManager, SituationsAfterARefusedPinChangeOpenAtTheirTop)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, ID_PRESENT_PIN);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IDC_CHANGERCODE);
    EXPECT_EQ("Ancien code porteur", EnterCode("9999"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    EXPECT_NE(std::string::npos, Answer(IDNO).find("Ce code porteur est erroné."));
    ASSERT_TRUE(WaitIdle(dlg, kWait));

    Click(dlg, IDC_LECSIT);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_LOWER); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_DATA_LOWER).find("Situation"))
        << ItemText(dlg, IDC_PANE_DATA_LOWER);
    EXPECT_EQ(0, FirstVisibleLine(dlg, IDC_PANE_DATA_LOWER));
    Click(dlg, IDC_NEXT);
    ASSERT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IDC_PANE_DATA_LOWER) > 0; }, kWait));
    const int first = FirstVisibleLine(dlg, IDC_PANE_DATA_LOWER);
    Click(dlg, IDC_NEXT);
    ASSERT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IDC_PANE_DATA_LOWER) > first; }, kWait));
    Click(dlg, IDC_PREV);
    EXPECT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IDC_PANE_DATA_LOWER) == first; }, kWait));
    Quit();
}

// Readers and cards changed under the program, failures at its card calls:
// run as a test of their own (vlmgr_hostile_flows).
class CardManagerHostile : public CardManager {
protected:
    const char *second = "Lecteur Ovrane VEL 1";

    // The software card's control program on this test's state file.
    int Ctl(const std::string &args)
    {
        return softcard_test::control("--state \"" + statePath + "\" " + args);
    }
    static std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

    // Answers whatever comes until quiet ("&Annuler" of a prompt, the
    // cancel of a message box: No to a question): "caption: text" of each.
    std::string AnswerUntilQuiet()
    {
        std::string seen;
        for (int round = 0; round < 12; ++round) {
            // The operation still running (its status shown) brings more.
            HWND other = nullptr;
            WaitUntil(
                [&] {
                    other = WaitOtherDialog(program.pi.dwProcessId, dlg, 1);
                    return other || !Visible(dlg, IDC_STATUS);
                },
                kWait);
            if (!other)
                other = WaitOtherDialog(program.pi.dwProcessId, dlg, 1500);
            if (!other)
                break;
            seen += "[" + Text(other) + ": " + MessageText(other) + "] ";
            PostMessageA(other, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            WaitUntil([&] { return !IsWindow(other); }, kWait);
        }
        return seen;
    }
    // A message of the card state, told as every operation tells a card gone.
    static bool HasCardStateMessage(const std::string &seen)
    {
        for (const char *m :
             {"Vérifier que le lecteur est bien connecté", "Impossible de mettre la carte sous tension",
              "Carte inutilisable suite à un incident"})
            if (seen.find(m) != std::string::npos)
                return true;
        return false;
    }
    // The window of a card that is gone: no identity, no card command but
    // the card introduction (and the reader choice), the reader line named.
    void ExpectNoCardShown(const std::string &seen, const char *reader)
    {
        ASSERT_TRUE(WaitIdle(dlg, kWait)) << seen;
        EXPECT_TRUE(NoOtherDialog()) << seen;
        for (int id : {IDC_HOLDER_NAME, IDC_CARD_ID})
            EXPECT_FALSE(Visible(dlg, id) && !ItemText(dlg, id).empty())
                << id << " " << ItemText(dlg, id) << seen;
        for (int id : {IDC_LECDONNEES, IDC_LECSIT, IDC_CHANGERCODE, IDC_FORCERCP})
            EXPECT_FALSE(Enabled(dlg, id)) << id << " " << seen;
        EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE)) << seen;
        EXPECT_TRUE(Visible(dlg, IDC_READER_LINE)) << seen;
        EXPECT_EQ(std::string("LECTEUR EN COURS : ") + reader, ItemText(dlg, IDC_READER_LINE)) << seen;
    }
    // The card introduced again (a card change confirmed where the window
    // still counts a card): its holder shown.
    void IntroduceAgain(const char *holder)
    {
        Click(dlg, IDC_INTROCARTE);
        if (HWND change = WaitWindow(program.pi.dwProcessId, "Changement carte", 2000, true)) {
            Click(change, IDOK);
            WaitUntil([&] { return !IsWindow(change); }, kWait);
        }
        ASSERT_TRUE(WaitUntil(
            [&] { return Visible(dlg, IDC_HOLDER_NAME) && ItemText(dlg, IDC_HOLDER_NAME) == holder; }, kWait))
            << AnswerUntilQuiet();
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }
};

// The card pulled, or a card call failing, at each prompt of "Changer code",
// "Débloquer code" and "Saisir code": a card problem told as such (never a
// wrong code nor a wrong length; a PIN verification that finds the card gone
// goes back to the card introduction without a message), the card's
// commands off and its identity gone; the card introduced again is usable.
TEST_F(CardManagerHostile, PinOperationsTellACardGoneAtEachPrompt)
{
    const std::string pull = "remove " + Quoted(kReader);
    struct Case {
        const char *what;
        const char *card;
        int command; // a button, or the menu's "Saisir code" or "Tests des services"
        std::vector<std::pair<std::string, const char *>> prompts;
        int changeAt; // the change made before the code of this prompt is typed (-1: before the command)
        std::string change; // a control command
        bool told = true;   // with a message of the card state
    };
    const std::vector<std::pair<std::string, const char *>> change = {
        {"Ancien code porteur", "1234"},
        {"Saisissez le nouveau code porteur", "4321"},
        {"Confirmez le nouveau code porteur", "4321"}};
    const std::vector<std::pair<std::string, const char *>> unblock = {
        {"Code de déblocage", "12345678"},
        {"Saisissez le nouveau code porteur", "4321"},
        {"Confirmez le nouveau code porteur", "4321"}};
    const Case cases[] = {
        {"change, pulled at the old PIN", "vel3-default", IDC_CHANGERCODE, change, 0, pull},
        {"change, pulled at the new PIN", "vel3-default", IDC_CHANGERCODE, change, 1, pull},
        {"change, pulled at the confirmation", "vel3-default", IDC_CHANGERCODE, change, 2, pull},
        {"change, pulled before the command", "vel3-default", IDC_CHANGERCODE, change, -1, pull},
        {"change, the login failing (device error)", "vel3-default", IDC_CHANGERCODE, change, 2,
         "inject C_Login 1 0x30"},
        {"change, the session lost at the login", "vel3-default", IDC_CHANGERCODE, change, 2,
         "inject C_Login 1 0xB3"},
        {"change, the card unreadable at the change", "vel3-default", IDC_CHANGERCODE, change, 2,
         "inject C_SetPIN 1 0xE0"},
        {"unblock, pulled at the unblock code", "vel3-blocked", IDC_FORCERCP, unblock, 0, pull},
        {"unblock, pulled at the new PIN", "vel3-blocked", IDC_FORCERCP, unblock, 1, pull},
        {"unblock, pulled at the confirmation", "vel3-blocked", IDC_FORCERCP, unblock, 2, pull},
        {"unblock, the token unreadable at the new PIN check", "vel3-blocked", IDC_FORCERCP, unblock, 1,
         "inject C_GetTokenInfo 1 0x06"},
        {"unblock, the card gone at the unblock login", "vel3-blocked", IDC_FORCERCP, unblock, 2,
         "inject C_Login 1 0x32"},
        {"unblock, the card gone at the new PIN", "vel3-blocked", IDC_FORCERCP, unblock, 2,
         "inject C_InitPIN 1 0xE0"},
        {"present, pulled before the command", "vel3-default", ID_PRESENT_PIN, {}, -1, pull, false},
        {"situations, pulled at the PIN prompt",
         "vel3-default",
         IDC_LECSIT,
         {{"Code porteur (reste 3 tentative(s))", "1234"}},
         0,
         pull},
        {"self-test on a blocked card, pulled at the unblock code", "vel3-blocked", ID_SELF_TEST, unblock, 0,
         pull, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LaunchOn({kReader}, {{c.card, kReader}});
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        if (c.changeAt < 0) {
            ASSERT_EQ(0, Ctl(c.change));
        }
        if (c.command == ID_PRESENT_PIN || c.command == ID_SELF_TEST)
            Command(dlg, c.command);
        else
            Click(dlg, c.command);
        for (size_t i = 0; i < c.prompts.size(); ++i) {
            // Once the card is gone, the prompts end where a card call fails.
            const bool mayEnd = c.changeAt >= 0 && (int)i > c.changeAt;
            HWND box = WaitOtherDialog(program.pi.dwProcessId, dlg, mayEnd ? 3000 : kWait);
            if (mayEnd && (!box || Text(box) != c.prompts[i].first))
                break;
            ASSERT_NE(nullptr, box) << c.prompts[i].first;
            ASSERT_EQ(c.prompts[i].first, Text(box)) << MessageText(box);
            if ((int)i == c.changeAt) {
                ASSERT_EQ(0, Ctl(c.change));
            }
            SetItemText(box, IDC_CODE_EDIT, c.prompts[i].second);
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kWait));
        }
        const std::string seen = AnswerUntilQuiet();
        EXPECT_EQ(c.told, HasCardStateMessage(seen)) << seen;
        for (const char *wrong : {"erroné", "Le code porteur est un code entre", "Code porteur (reste"})
            EXPECT_EQ(std::string::npos, seen.find(wrong)) << seen;
        ExpectNoCardShown(seen, kReader);
        if (c.change == pull) {
            ASSERT_EQ(0, Ctl("insert " + Quoted(kReader) + " " + c.card));
        }
        IntroduceAgain("Madame MARTIN JEANNE");
        Quit();
        if (HasFailure())
            break;
    }
}

// The card pulled while "Tests des services", "Lecture situations",
// "Lecture données", the certificates, a card change or the start-up after
// a reader choice read it: the card state, the identity gone, no card
// command left on.
TEST_F(CardManagerHostile, OperationsTellACardPulledDuringTheirSteps)
{
    struct Case {
        const char *what;
        int command;
        bool menu;
        bool pin;
        const char *confirm; // the dialog the command opens first, confirmed
        int fromStep;        // the card pulled once the progress reaches it
    } cases[] = {
        {"self-test", ID_SELF_TEST, true, true, nullptr, 0},
        {"situations", IDC_LECSIT, false, true, nullptr, 0},
        {"data", IDC_LECDONNEES, false, false, nullptr, 0},
        {"certificates", ID_CERTIFICATES, true, false, nullptr, 0},
        {"card change", IDC_INTROCARTE, false, false, "Changement carte", 0},
        {"start-up after a reader choice", IDC_CHANGELECT, false, false, "Choix d'un lecteur", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LaunchOn({kReader}, {{"vel3-default", kReader}});
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        ASSERT_EQ(0, Ctl("latency 150"));
        if (c.menu)
            Command(dlg, c.command);
        else
            Click(dlg, c.command);
        if (c.pin) {
            EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
        }
        if (c.confirm) {
            HWND box = WaitWindow(program.pi.dwProcessId, c.confirm, kWait, true);
            ASSERT_NE(nullptr, box) << c.confirm;
            if (GetDlgItem(box, IDC_LISTE_LECTEURS))
                SendMessageA(GetDlgItem(box, IDC_LISTE_LECTEURS), CB_SETCURSEL, 0, 0);
            Click(box, IDOK);
        }
        ASSERT_TRUE(WaitUntil(
            [&] {
                return Visible(dlg, IDC_PROGRESS) &&
                       SendMessageA(GetDlgItem(dlg, IDC_PROGRESS), PBM_GETPOS, 0, 0) >= c.fromStep;
            },
            kWait));
        ASSERT_EQ(0, Ctl("remove " + Quoted(kReader)));
        const std::string seen = AnswerUntilQuiet();
        EXPECT_TRUE(HasCardStateMessage(seen)) << seen;
        ExpectNoCardShown(seen, kReader);
        ASSERT_EQ(0, Ctl("latency 0"));
        ASSERT_EQ(0, Ctl("insert " + Quoted(kReader) + " vel3-default"));
        IntroduceAgain("Madame MARTIN JEANNE");
        Quit();
        if (HasFailure())
            break;
    }
}

// Started with a reader and no card: the card prompt names the reader, and
// so does the reader line once the prompt is given up.
TEST_F(CardManagerHostile, NoCardAtStartUpNamesTheReader)
{
    LaunchOn({kReader}, {});
    HWND prompt = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, prompt);
    EXPECT_EQ("Introduction carte", Text(prompt));
    EXPECT_EQ("Veuillez introduire votre carte", ItemText(prompt, IDC_INTRO_LINE1));
    EXPECT_EQ(std::string("dans le lecteur ") + kReader + " puis valider", ItemText(prompt, IDC_INTRO_LINE2));
    Click(prompt, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }, kWait));
    EXPECT_EQ("Impossible de mettre la carte sous tension", Answer(IDOK));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IDC_READER_LINE));
    EXPECT_TRUE(Visible(dlg, IDC_READER_LINE));

    // A card put in then: introduced, in that reader.
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader) + " vel3-default"));
    IntroduceAgain("Madame MARTIN JEANNE");
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IDC_READER_LINE));
    Quit();
}

// The reader chosen is unplugged: the card left in the other reader is
// taken, as before any choice, not refused.
TEST_F(CardManagerHostile, ChosenReaderUnpluggedGivesTheCardLeft)
{
    LaunchOn({kReader, second}, {{"vel3-default", kReader}, {"vel3-cl", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ChooseReaderAt(1);
    ASSERT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IDC_READER_LINE));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 0, 5);
    ChangeCardConfirmed();
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_HOLDER_NAME) == "Madame MARTIN JEANNE"; }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(NoOtherDialog());
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IDC_READER_LINE));
    EXPECT_TRUE(Enabled(dlg, IDC_LECDONNEES));

    // Every reader unplugged, the reader prompt given up; a reader plugged
    // with a card: the card is introduced.
    WriteState(statePath, {}, {}, 0, 7);
    ChangeCardConfirmed();
    EXPECT_EQ("Connexion lecteur", EnterCode(nullptr));
    EXPECT_EQ("Impossible de mettre la carte sous tension", Answer(IDOK)); // readers were counted
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {"Autre lecteur"}, {{"vel3-default", "Autre lecteur"}}, 0, 9);
    Click(dlg, IDC_INTROCARTE); // "Introduction carte"
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_HOLDER_NAME); }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("LECTEUR EN COURS : Autre lecteur", ItemText(dlg, IDC_READER_LINE));
    Quit();
}

// "Changer lecteur" cancelled: the card in use stays usable, in its reader.
TEST_F(CardManagerHostile, CancelledReaderChoiceKeepsTheCardInUse)
{
    LaunchOn({kReader, second}, {{"vel3-cl", kReader}, {"vel3-default", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ChooseReaderAt(1);
    ASSERT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IDC_READER_LINE));
    ChooseReaderAt(-1);
    Click(dlg, IDC_LECDONNEES);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IDC_PANE_DATA_UPPER).find("MARTIN"));
    Click(dlg, IDC_CLOSE_PANE);

    ChooseReaderAt(-1);
    ChangeCardConfirmed();
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IDC_HOLDER_NAME) == "Madame MARTIN JEANNE"; }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IDC_READER_LINE));
    EXPECT_TRUE(NoOtherDialog());
    Quit();
}

// A refused login stops the situations (no journal line, no empty window);
// a card pulled during their reading shows its state.
TEST_F(CardManagerHostile, SituationsStopOnAFailedLoginAndShowAPulledCard)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    AppendToState(statePath, "inject function=\"C_Login\" call=1 seen=0 result=0x00000006\n");
    Click(dlg, IDC_LECSIT);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    std::string error = Answer(IDOK);
    EXPECT_NE(std::string::npos, error.find("Erreur 6 (6h) = ")) << error;
    EXPECT_NE(std::string::npos, error.find(" dans C_Login")) << error;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(NoOtherDialog());
    EXPECT_EQ(std::string::npos, ItemText(dlg, IDC_PANE_JOUR).find("Lecture des situations"));
    EXPECT_TRUE(Visible(dlg, IDC_HOLDER_NAME));
    EXPECT_TRUE(Visible(dlg, IDC_READER_LINE));

    Command(dlg, ID_PRESENT_PIN);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 200, 1);
    Click(dlg, IDC_LECSIT);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PROGRESS); }, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", ""}}, 0, 5);
    std::string state = Answer(IDOK);
    EXPECT_FALSE(state.empty() || state == "(no message box)") << state;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Visible(dlg, IDC_READER_LINE));
    EXPECT_FALSE(Enabled(dlg, IDC_LECSIT));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    Quit();
}

// The card pulled while the PIN prompt of the self-test is open: the call
// that failed is named, and the card state follows (no card command left on).
TEST_F(CardManagerHostile, CardPulledAtThePinPromptNamesTheFailedCall)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, ID_SELF_TEST);
    HWND prompt = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, prompt);
    WriteState(statePath, {kReader}, {{"vel3-default", ""}}, 0, 5);
    SetItemText(prompt, IDC_CODE_EDIT, "1234");
    PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }, kWait));
    std::string error = Answer(IDOK);
    EXPECT_NE(std::string::npos, error.find(" dans C_GetTokenInfo")) << error;
    std::string state = Answer(IDOK);
    EXPECT_EQ("Impossible de mettre la carte sous tension", state);
    EXPECT_FALSE(state.empty() || state == "(no message box)") << state;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {IDC_LECDONNEES, IDC_LECSIT, IDC_CHANGERCODE, IDC_FORCERCP})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_TRUE(Visible(dlg, IDC_READER_LINE));
    Quit();
}

// "&Options" during the situations: the saved logs leave the view to them.
TEST_F(CardManagerHostile, OptionsDuringSituationsLeaveTheirView)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, ID_PRESENT_PIN);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 300, 1);
    Click(dlg, IDC_LECSIT);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PROGRESS); }, kWait));
    Command(dlg, ID_OPTIONS);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    SendMessageA(GetDlgItem(options, IDC_SAVE_JOURNAL), BM_SETCHECK, BST_CHECKED, 0);
    Click(options, IDC_SAVE_JOURNAL);
    Click(options, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(options); }, kWait));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_LOWER); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {(int)IDC_HOLDER_NAME, (int)IDC_READER_LINE, IDC_HOLDER_TITLE, IDC_CARD_TITLE})
        EXPECT_FALSE(Visible(dlg, id)) << id;
    Quit();
}

// A "CL" card keeps its read and PIN commands greyed after an unblock.
TEST_F(CardManagerHostile, UnblockedClCardKeepsItsCommandsGreyed)
{
    MakeCard("vel3-cl", "vel3-cl-blocked", {{"pin code=\"1234\" left=3", "pin code=\"1234\" left=0"}});
    LaunchOnMadeCards({kReader}, {{"vel3-cl-blocked", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ASSERT_TRUE(Enabled(dlg, IDC_FORCERCP));
    Click(dlg, IDC_FORCERCP);
    EXPECT_EQ("Code de déblocage", EnterCode("12345678"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(dlg, IDC_FORCERCP); }, kWait));
    EXPECT_FALSE(Enabled(dlg, IDC_LECSIT));
    EXPECT_FALSE(Enabled(dlg, IDC_CHANGERCODE));
    EXPECT_FALSE(Enabled(dlg, IDC_LECDONNEES));
    Quit();
}

// The holder's paths of "Saisir code" and "Changer code" on a card whose
// unblock code is used up, and on a card blocked by wrong PINs.
TEST_F(CardManagerHostile, PinCommandsOnAnUnblockCodeUsedUp)
{
    MakeCard("vel3-default", "vel3-so-locked",
             {{"unblock code=\"12345678\" left=10", "unblock code=\"12345678\" left=0"}});
    struct Case {
        int command;
        std::string message;
    } cases[] = {
        {ID_PRESENT_PIN, "Cette carte est définitivement bloquée et doit être remplacée."},
        {IDC_CHANGERCODE, "Carte bloquée. Impossible de changer le code porteur."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        LaunchOnMadeCards({kReader}, {{"vel3-so-locked", kReader}});
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        if (c.command == ID_PRESENT_PIN || c.command == ID_SELF_TEST)
            Command(dlg, c.command);
        else
            Click(dlg, c.command);
        EXPECT_EQ(c.message, Answer(IDOK));
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        for (int id : {IDC_LECSIT, IDC_CHANGERCODE, IDC_FORCERCP})
            EXPECT_FALSE(Enabled(dlg, id)) << id;
        EXPECT_TRUE(Enabled(dlg, IDC_LECDONNEES));
        Quit();
    }
}

TEST_F(CardManagerHostile, PinCommandsBlockingTheCard)
{
    const char kUnblockQuestion[] = "Cette carte est bloquée (3 codes erronés).";
    // "Saisir code": three wrong PINs, then No to the unblock question.
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, ID_PRESENT_PIN);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1111"));
    EXPECT_EQ("Code porteur (reste 2 tentative(s))", EnterCode("2222"));
    EXPECT_EQ("Code porteur (reste 1 tentative(s))", EnterCode("3333"));
    EXPECT_NE(std::string::npos, Answer(IDNO).find(kUnblockQuestion));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Enabled(dlg, IDC_FORCERCP));
    for (int id : {IDC_LECSIT, IDC_CHANGERCODE})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    Quit();

    // "Changer code": three wrong old PINs, then Yes: the unblock follows.
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IDC_CHANGERCODE);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ("Ancien code porteur", EnterCode("9999"));
        EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
        EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
        std::string answer = Answer(IDYES);
        if (attempt < 2)
            EXPECT_NE(std::string::npos, answer.find("Ce code porteur est erroné.")) << answer;
        else
            EXPECT_NE(std::string::npos, answer.find(kUnblockQuestion)) << answer;
    }
    EXPECT_EQ("Code de déblocage", EnterCode("12345678"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(
        WaitUntil([&] { return Enabled(dlg, IDC_CHANGERCODE) && !Enabled(dlg, IDC_FORCERCP); }, kWait));
    Quit();
}

// A failure injected at the first call of each card function the start-up
// makes: every message and prompt answered, the program is left usable and
// shows something (identification, reader line or a pane), never an empty
// window; it quits normally.
TEST_F(CardManagerHostile, FailureAtEachStartUpCallLeavesAUsableWindow)
{
    const char *functions[] = {"C_GetSlotList", "C_GetSlotInfo",       "C_GetTokenInfo",
                               "C_OpenSession", "C_GetSessionInfo",    "C_FindObjectsInit",
                               "C_FindObjects", "C_GetAttributeValue", "C_FindObjectsFinal"};
    for (const char *function : functions) {
        for (const char *result : {"0x00000030", "0x000000E0"}) {
            SCOPED_TRACE(std::string(function) + " " + result);
            ASSERT_TRUE(WriteSoftcardState(statePath, EnvOr("VLMGR_CARDS", "."), {kReader},
                                           {{"vel3-default", kReader}}, 0, false));
            AppendToState(statePath, std::string("inject function=\"") + function +
                                         "\" call=1 seen=0 result=" + result + "\n");
            Launch({"VEL_SOFTCARD_STATE=" + statePath});
            // Answer whatever comes until quiet: IDCANCEL closes a message
            // box of any kind and is "&Annuler" of the prompts.
            std::vector<std::string> shown;
            for (int round = 0; round < 8; ++round) {
                HWND other = WaitOtherDialog(program.pi.dwProcessId, dlg, 1000);
                if (!other)
                    break;
                shown.push_back(Text(other) + ": " + MessageText(other));
                PostMessageA(other, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                WaitUntil([&] { return !IsWindow(other); }, kWait);
            }
            ASSERT_TRUE(WaitIdle(dlg, kWait));
            EXPECT_TRUE(NoOtherDialog());
            EXPECT_TRUE(program.Running());
            const bool something = Visible(dlg, IDC_READER_LINE) || Visible(dlg, IDC_HOLDER_NAME) ||
                                   Visible(dlg, IDC_PANE_CAPTION);
            std::string seen;
            for (const std::string &t : shown)
                seen += "[" + t + "] ";
            EXPECT_TRUE(something) << seen;
            EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE)) << seen;
            EXPECT_TRUE(Enabled(dlg, IDCANCEL)) << seen;
            Quit();
        }
    }
}

// The start message posted again from outside, twice: no second start-up
// (no new card call, the commands answer at once).
TEST_F(CardManagerHostile, StartMessagePostedAgainIsIgnored)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    const std::string trace = ItemText(dlg, IDC_PANE_TRACE);
    PostMessageA(dlg, WM_USER + 0x100, 0, 0);
    PostMessageA(dlg, WM_USER + 0x100, 0, 0);
    Click(dlg, IDC_SHOW_JOURNAL);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IDC_PANE_JOUR); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(trace, ItemText(dlg, IDC_PANE_TRACE));
    EXPECT_TRUE(NoOtherDialog());
    Quit();
}

// A card change to a card in error: the message says so and the card
// commands are off but the card and reader ones.
TEST_F(CardManagerHostile, CardChangeToAnUnusableCard)
{
    ASSERT_TRUE(WriteSoftcardState(statePath, EnvOr("VLMGR_CARDS", "."), {kReader},
                                   {{"vel3-default", kReader}}, 0, false));
    Launch({"VEL_SOFTCARD_STATE=" + statePath});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    AppendToState(statePath, "inject function=\"C_GetSessionInfo\" call=1 seen=0 result=0x00000005\n");
    ChangeCardConfirmed();
    EXPECT_EQ("La carte dans le lecteur n'est pas une carte PS", Answer(IDOK));
    EXPECT_NE(std::string::npos, Answer(IDOK).find("Carte inutilisable suite à un incident"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IDC_READER_LINE));
    EXPECT_TRUE(Visible(dlg, IDC_READER_LINE));
    for (int id : {IDC_LECDONNEES, IDC_LECSIT, IDC_CHANGERCODE})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    EXPECT_TRUE(Enabled(dlg, IDC_INTROCARTE));
    EXPECT_TRUE(Enabled(dlg, IDC_CHANGELECT));
    Quit();
}

// Every operation run in a random order on two readers and three cards,
// with cards pulled, put in and swapped at random prompts and steps (seed
// printed; VEL_SOAK_SEED replays one). At each quiet point, once the program
// has called the card since the last change (two calls logged after it: the
// one in flight was served before), what the window shows must be the card
// now present: an identity only of the card in the reader named, card
// commands only with a card there.
class CardManagerSoak : public CardManagerHostile {
protected:
    struct Card {
        std::string name;
        std::string identity; // the holder's and the card's lines as the window shows them
    };
    std::vector<Card> cards = {{"vel3-default", ""}, {"vel3-1024", ""}, {"vel3-cl", ""}};
    std::string ShownIdentity()
    {
        return ItemText(dlg, IDC_HOLDER_NAME) + " / " + ItemText(dlg, IDC_CARD_ID);
    }
    std::vector<std::string> readers = {kReader, "Lecteur Ovrane VEL 1"};
    std::map<std::string, std::string> inReader; // reader -> card ("" empty)
    std::mt19937 random;
    std::string trail; // what was done, for the failure message

    size_t Pick(size_t n) { return static_cast<size_t>(random() % n); }
    bool Chance(unsigned percent) { return random() % 100 < percent; }
    unsigned long LogSize()
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExA((statePath + ".log").c_str(), GetFileExInfoStandard, &data)
                   ? data.nFileSizeLow
                   : 0;
    }
    unsigned LinesSince(unsigned long offset)
    {
        std::string log = ReadFileText(statePath + ".log");
        unsigned n = 0;
        for (size_t i = offset; i < log.size(); ++i)
            n += log[i] == '\n';
        return n;
    }
    unsigned long changeMark = 0;

    // One change of the cards: a card pulled, put in or swapped for another.
    void ChangeCards(const char *where)
    {
        std::vector<std::string> full, empty, free;
        for (const std::string &r : readers)
            (inReader[r].empty() ? empty : full).push_back(r);
        for (const Card &c : cards) {
            bool placed = false;
            for (const auto &r : inReader)
                placed = placed || r.second == c.name;
            if (!placed)
                free.push_back(c.name);
        }
        std::string what;
        const unsigned kind = static_cast<unsigned>(Pick(3));
        if ((kind == 0 || free.empty()) && !full.empty()) {
            const std::string r = full[Pick(full.size())];
            ASSERT_EQ(0, Ctl("remove " + Quoted(r)));
            what = "pull " + r;
            inReader[r].clear();
        } else if (kind == 1 && !empty.empty() && !free.empty()) {
            const std::string r = empty[Pick(empty.size())], c = free[Pick(free.size())];
            ASSERT_EQ(0, Ctl("insert " + Quoted(r) + " " + c));
            what = "put " + c + " in " + r;
            inReader[r] = c;
        } else if (!full.empty() && !free.empty()) {
            const std::string r = full[Pick(full.size())], c = free[Pick(free.size())];
            ASSERT_EQ(0, Ctl("remove " + Quoted(r)));
            ASSERT_EQ(0, Ctl("insert " + Quoted(r) + " " + c));
            what = "swap " + inReader[r] + " for " + c + " in " + r;
            inReader[r] = c;
        } else if (!empty.empty() && !free.empty()) {
            const std::string r = empty[Pick(empty.size())], c = free[Pick(free.size())];
            ASSERT_EQ(0, Ctl("insert " + Quoted(r) + " " + c));
            what = "put " + c + " in " + r;
            inReader[r] = c;
        }
        if (what.empty())
            return;
        changeMark = LogSize();
        trail += " {" + what + " at " + where + "}";
    }
    bool AnyCard()
    {
        for (const auto &r : inReader)
            if (!r.second.empty())
                return true;
        return false;
    }

    // Answers one dialog of the program as a holder would, maybe changing
    // the cards first.
    void Respond(HWND box)
    {
        const std::string caption = Text(box);
        if (Chance(30))
            ChangeCards(caption.c_str());
        if (GetDlgItem(box, IDC_CODE_EDIT)) {
            SetItemText(box, IDC_CODE_EDIT, caption == "Code de déblocage" ? "12345678" : "1234");
            trail += " [" + caption + "]";
            Click(box, IDOK);
        } else if (GetDlgItem(box, IDC_INTRO_LINE1)) {
            if (!AnyCard() && Chance(50))
                ChangeCards(caption.c_str());
            const bool go = AnyCard() && Chance(80);
            trail += " [" + caption + (go ? " ok]" : " annuler]");
            Click(box, go ? IDOK : IDCANCEL);
        } else if (caption == "Options") {
            for (int id : {IDC_SAVE_JOURNAL, IDC_SAVE_DATA, IDC_SAVE_DIAG, IDC_SAVE_TRACE})
                if (Chance(50)) {
                    SendMessageA(GetDlgItem(box, id), BM_SETCHECK, BST_CHECKED, 0);
                    Click(box, id);
                }
            trail += " [Options]";
            Click(box, IDOK);
        } else if (caption == "Choix d'un lecteur") {
            const int index = static_cast<int>(Pick(readers.size() + 1)) - 1;
            if (index >= 0)
                SendMessageA(GetDlgItem(box, IDC_LISTE_LECTEURS), CB_SETCURSEL, index, 0);
            trail += " [lecteur " + std::to_string(index) + "]";
            Click(box, index >= 0 ? IDOK : IDCANCEL);
        } else if (GetDlgItem(box, 1148) || GetDlgItem(box, 1152)) { // a save dialog
            const std::string file = TempFolder() + "\\vlmgr-soak.crt";
            DeleteFileA(file.c_str());
            for (int id : {1148, 1152})
                if (GetDlgItem(box, id))
                    SetItemText(box, id, file);
            trail += " [save]";
            Click(box, IDOK);
        } else {
            const std::string text = MessageText(box);
            // Questions: save a certificate or unblock at random; never retry a code.
            int button = IDOK;
            if (text.find("Souhaitez-vous enregistrer") != std::string::npos ||
                text.find("Voulez-vous la débloquer") != std::string::npos)
                button = Chance(50) ? IDYES : IDNO;
            else if (text.find('?') != std::string::npos)
                button = IDNO;
            trail += " [" + text.substr(0, 40) + "]";
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        }
        WaitUntil([&] { return !IsWindow(box); }, kWait);
    }

    // Runs the dialogs of the operation under way until the window is quiet:
    // no status shown and no dialog for a while. A change of the cards may
    // come during its steps too.
    bool RunToQuiet()
    {
        // Drawn once, so that a seed replays the same choices; where a step
        // change lands depends on the machine's pace.
        bool changeDuringSteps = Chance(25);
        for (int round = 0; round < 40; ++round) {
            HWND box = nullptr;
            WaitUntil(
                [&] {
                    box = WaitOtherDialog(program.pi.dwProcessId, dlg, 1);
                    if (!box && changeDuringSteps && Visible(dlg, IDC_PROGRESS)) {
                        changeDuringSteps = false;
                        ChangeCards("a step");
                    }
                    return box || !Visible(dlg, IDC_STATUS);
                },
                kWait);
            if (!box)
                box = WaitOtherDialog(program.pi.dwProcessId, dlg, 1000);
            if (!box)
                return WaitIdle(dlg, kWait);
            Respond(box);
            if (HasFatalFailure())
                return false;
        }
        return false;
    }

    // The quiet point: the window against the cards now present.
    void CheckWindow()
    {
        if (LinesSince(changeMark) < 2)
            return; // the program has not met the change yet
        const std::string line = ItemText(dlg, IDC_READER_LINE), prefix = "LECTEUR EN COURS : ";
        const std::string reader = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
        const std::string present = inReader.count(reader) ? inReader[reader] : "";
        std::string presentIdentity = "(none)";
        for (const Card &c : cards)
            if (c.name == present)
                presentIdentity = c.identity;
        if ((Visible(dlg, IDC_CARD_ID) && !ItemText(dlg, IDC_CARD_ID).empty()) ||
            (Visible(dlg, IDC_HOLDER_NAME) && !ItemText(dlg, IDC_HOLDER_NAME).empty())) {
            EXPECT_EQ(presentIdentity, ShownIdentity()) << "the card shown is not the one in " << reader;
        }
        for (int id : {IDC_LECDONNEES, IDC_LECSIT, IDC_CHANGERCODE, IDC_FORCERCP})
            EXPECT_FALSE(Enabled(dlg, id) && present.empty())
                << id << ": a card command on, no card in " << reader;
    }
};

TEST_F(CardManagerSoak, EveryOperationWithCardsPulledAndSwapped)
{
    const char *given = std::getenv("VEL_SOAK_SEED");
    const unsigned seed =
        given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    random.seed(seed);
    std::printf("soak seed %u (VEL_SOAK_SEED=%u replays it)\n", seed, seed);

    // Each card's line as the window shows it.
    for (Card &c : cards) {
        LaunchOn({kReader}, {{c.name, kReader}});
        ASSERT_TRUE(WaitUntil([&] { return !ItemText(dlg, IDC_CARD_ID).empty(); }, kWait)) << c.name;
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        c.identity = ShownIdentity();
        std::printf("%s: %s\n", c.name.c_str(), c.identity.c_str());
        Quit();
    }

    inReader = {{readers[0], cards[0].name}, {readers[1], ""}};
    std::vector<PlacedCard> placed = {{cards[0].name, readers[0]}};
    for (size_t i = 1; i < cards.size(); ++i)
        placed.push_back({cards[i].name, ""});
    ASSERT_TRUE(WriteSoftcardState(statePath, EnvOr("VLMGR_CARDS", "."), readers, placed, 40, true))
        << statePath;
    DeleteFileA((statePath + ".log").c_str());
    Launch({"VEL_SOFTCARD_STATE=" + statePath});
    ASSERT_TRUE(WaitIdle(dlg, kWait));

    struct Operation {
        const char *name;
        int id;
        bool menu;
    };
    const Operation operations[] = {
        {"Changer code", IDC_CHANGERCODE, false},  {"Débloquer code", IDC_FORCERCP, false},
        {"Saisir code", ID_PRESENT_PIN, true},     {"Tests des services", ID_SELF_TEST, true},
        {"Lecture situations", IDC_LECSIT, false}, {"Lecture données", IDC_LECDONNEES, false},
        {"Certificats", ID_CERTIFICATES, true},    {"carte", IDC_INTROCARTE, false},
        {"lecteur", IDC_CHANGELECT, false},        {"Options", ID_OPTIONS, true},
        {"change between operations", 0, false},
    };
    const int kOperations = 40;
    const DWORD started = GetTickCount();
    const DWORD limit = vel_test::ScaledMs(300000);
    int done = 0;
    for (; done < kOperations && GetTickCount() - started < limit; ++done) {
        const Operation &op = operations[Pick(sizeof operations / sizeof operations[0])];
        trail += "\n" + std::to_string(done) + " " + op.name + ":";
        if (op.id == 0) {
            ChangeCards("rest");
        } else if (op.menu) {
            Command(dlg, op.id);
        } else if (Enabled(dlg, op.id)) {
            Click(dlg, op.id);
        } else {
            trail += " (off)";
        }
        ASSERT_TRUE(RunToQuiet()) << trail;
        ASSERT_TRUE(program.Running()) << trail;
        CheckWindow();
        if (HasFailure()) {
            ADD_FAILURE() << "seed " << seed << ":" << trail;
            break;
        }
    }
    std::printf("soak: %d operations in %.1f s (bound %d operations, %lu s)\n", done,
                (GetTickCount() - started) / 1000.0, kOperations, limit / 1000);
    Quit();
}

} // namespace
