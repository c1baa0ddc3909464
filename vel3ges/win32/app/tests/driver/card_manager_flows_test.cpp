// The card manager's flows, run from a separate driver process under Wine as
// a person would run them: the program path comes from VLMGR_EXE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "Driver.h"

using namespace driver;

namespace {

const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const DWORD kWait = 20000;

// Control ids of the main dialog.
enum {
    IdQuit = 2,
    IdPaneCaption = 1011,
    IdPaneDiag = 1012,
    IdPaneJournal = 1013,
    IdPaneDataUpper = 1014,
    IdPaneTrace = 1015,
    IdClosePane = 1017,
    IdIntro = 1021,
    IdChangePin = 1022,
    IdUnblock = 1023,
    IdReadData = 1025,
    IdReadSituations = 1026,
    IdShowJournal = 1027,
    IdShowData = 1028,
    IdShowDiag = 1029,
    IdShowTrace = 1030,
    IdHolderName = 1050,
    IdReaderLine = 1056,
    IdOptions = 32783,
    IdNext = 1018,
    IdPrevious = 1019,
    IdPaneDataLower = 1065,
    IdChooseReader = 1024,
    IdProgress = 1075,
    IdPresentPin = 32775,
};

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
            SetItemText(box, 1039, code);
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
            [&] { return Visible(dlg, IdProgress) || Visible(dlg, IdReaderLine) || !program.Running(); },
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
        const std::string journal = ItemText(dlg, IdPaneJournal);
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
        return WaitUntil([&] { return ReaderChanges() > changesBefore && Visible(dlg, IdReaderLine); },
                         kWait) &&
               WaitIdle(dlg, kWait);
    }
    // Picks the reader at `index` in "Choix d'un lecteur" (Annuler when -1).
    void ChooseReaderAt(int index)
    {
        const size_t changes = ReaderChanges();
        Click(dlg, IdChooseReader);
        HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
        ASSERT_NE(nullptr, choice);
        if (index >= 0)
            SendMessageA(GetDlgItem(choice, 1038), CB_SETCURSEL, index, 0);
        Click(choice, index >= 0 ? IDOK : IDCANCEL);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
        if (index >= 0) {
            ASSERT_TRUE(WaitChosenReaderStartUp(changes)) << ItemText(dlg, IdPaneJournal);
        }
        ASSERT_TRUE(WaitIdle(dlg, kWait));
    }
    // "Changer carte" confirmed.
    void ChangeCardConfirmed()
    {
        Click(dlg, IdIntro);
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
    EXPECT_FALSE(Enabled(dlg, IdIntro));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    EXPECT_TRUE(Enabled(dlg, IdQuit));
    EXPECT_TRUE(Enabled(dlg, IdShowJournal));

    Click(dlg, IdShowTrace);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneTrace); }, kWait));
    EXPECT_EQ("Fichier VEL-TRAC.TXT : Trace des Services VEL", ItemText(dlg, IdPaneCaption));
    std::string trace = ItemText(dlg, IdPaneTrace);
    EXPECT_EQ(0u, trace.find("*** Session VEL-GESTION    Version v06.09.00\r\n*** Fichier créé le "))
        << trace;
    EXPECT_NE(std::string::npos, trace.find("   C_GetFunctionsList\r\n   CK_RV = 0x00000006\r\n")) << trace;
    EXPECT_NE(std::string::npos, ItemText(dlg, IdPaneDiag).find("C_GetFunctionsList...L'opération a échoué"));
    Click(dlg, IdClosePane);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(dlg, IdPaneTrace); }, kWait));

    // Save the journal and the diagnostic only.
    const std::string folder = LogFolder();
    for (const char *f : {"VEL-JOUR.TXT", "VEL-TRAC.TXT", "VEL-INFO.TXT", "VEL-DIAG.TXT"})
        DeleteFileA((folder + f).c_str());
    Command(dlg, IdOptions);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    for (int box : {1055, 1012}) {
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
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IdHolderName));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IdReaderLine));
    EXPECT_TRUE(Enabled(dlg, IdReadData));
    EXPECT_TRUE(Enabled(dlg, IdChangePin));
    EXPECT_FALSE(Enabled(dlg, IdUnblock));

    Click(dlg, IdReadData);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataUpper); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Fichier VEL-INFO.TXT : Données lues dans la VEL", ItemText(dlg, IdPaneCaption));
    EXPECT_NE(std::string::npos, ItemText(dlg, IdPaneDataUpper).find("MARTIN"));

    Command(dlg, 32775); // "&Saisir Code"
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("9999"));
    EXPECT_EQ("Code porteur (reste 2 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IdReadSituations);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataUpper); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(nullptr, WaitOtherDialog(program.pi.dwProcessId, dlg, 300)); // no PIN asked again
    Click(dlg, IdShowJournal);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneJournal); }, kWait));
    std::string journal = ItemText(dlg, IdPaneJournal);
    EXPECT_NE(std::string::npos, journal.find("  Lecture données\r\n")) << journal;
    EXPECT_NE(std::string::npos, journal.find("  Présentation du code porteur\r\n")) << journal;
    EXPECT_NE(std::string::npos, journal.find("  Lecture des situations\r\n")) << journal;
    EXPECT_EQ(std::string::npos, ItemText(dlg, IdPaneTrace).find("9999")); // codes only as stars
    Quit();
}

// PIN change: a 3-digit old PIN is refused at once; a wrong old PIN is
// reported with the tries left after that attempt; the right one changes it.
TEST_F(CardManager, PinChange)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IdChangePin);
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
    std::string trace = ItemText(dlg, IdPaneTrace);
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
    EXPECT_TRUE(Enabled(dlg, IdUnblock));
    EXPECT_FALSE(Enabled(dlg, IdChangePin));
    EXPECT_FALSE(Enabled(dlg, IdReadSituations));
    EXPECT_TRUE(Enabled(dlg, IdReadData));

    Click(dlg, IdUnblock);
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
    EXPECT_TRUE(WaitUntil([&] { return Enabled(dlg, IdChangePin) && !Enabled(dlg, IdUnblock); }, kWait));
    EXPECT_TRUE(Enabled(dlg, IdReadSituations));
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
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    EXPECT_TRUE(Enabled(dlg, IdQuit));
    Quit();
}

// The single-certificate card: reading and PIN commands stay greyed.
TEST_F(CardManager, SingleCertificateCardKeepsReadAndPinCommandsOff)
{
    LaunchOn({kReader}, {{"vel3-cl", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    EXPECT_FALSE(Enabled(dlg, IdReadSituations));
    EXPECT_FALSE(Enabled(dlg, IdChangePin));
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    EXPECT_TRUE(Enabled(dlg, IdShowData));
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
    Click(dlg, IdIntro); // "Changer carte"
    EXPECT_EQ("Changement carte", EnterCode(nullptr /* Annuler */));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IdHolderName)); // nothing changed
    Click(dlg, IdIntro);
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
        WaitUntil([&] { return Visible(dlg, IdPaneDataUpper) || Visible(dlg, IdHolderName); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IdHolderName));
    Quit();
}

// Two readers: the card is found in the second; choosing it again restarts
// on it; a cancelled choice writes nothing to the journal.
TEST_F(CardManager, ReaderChoice)
{
    const char second[] = "Lecteur Ovrane VEL 1";
    LaunchOn({kReader, second}, {{"vel3-default", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IdReaderLine));
    Click(dlg, 1024);
    HWND choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    Click(choice, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
    Click(dlg, 1024);
    choice = WaitWindow(program.pi.dwProcessId, "Choix d'un lecteur", kWait, true);
    ASSERT_NE(nullptr, choice);
    HWND combo = GetDlgItem(choice, 1038);
    EXPECT_EQ(2, (int)SendMessageA(combo, CB_GETCOUNT, 0, 0));
    SendMessageA(combo, CB_SETCURSEL, 1, 0);
    Click(choice, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(choice); }, kWait));
    ASSERT_TRUE(WaitChosenReaderStartUp(0)) << ItemText(dlg, IdPaneJournal);
    EXPECT_EQ("Madame MARTIN JEANNE", ItemText(dlg, IdHolderName));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IdReaderLine));
    std::string journal = ItemText(dlg, IdPaneJournal);
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
    Command(dlg, 32782);
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
    std::string journal = ItemText(dlg, IdPaneJournal);
    EXPECT_NE(std::string::npos,
              journal.find(" Données du certificat X.509 de Madame MARTIN JEANNE en authentificaton\r\n"))
        << journal;
    EXPECT_NE(std::string::npos,
              journal.find(" Données du certificat X.509 de Madame MARTIN JEANNE en signature\r\n"))
        << journal;
    std::string trace = ItemText(dlg, IdPaneTrace);
    EXPECT_NE(std::string::npos,
              trace.find("   Longeur du Certificat X.509 = " + std::to_string(der.size()) + "\r\n"));
    EXPECT_NE(std::string::npos, trace.find("   TypeCle: A\r\n"));
    EXPECT_NE(std::string::npos, trace.find("   TypeCle: S\r\n"));
    EXPECT_TRUE(Enabled(dlg, IdReadData));
    Quit();
}

// Self-test on the default card: the PIN first, every service, the
// challenge, then the diagnostic pane.
TEST_F(CardManager, SelfTest)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, 32776);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDiag); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    std::string trace = ItemText(dlg, IdPaneTrace);
    for (const char *line : {"   Longueur de l'Authentification = ", "   Mécanisme : SHA1_RSA_PKCS",
                             "   Mécanisme : SHA256_RSA_PKCS",
                             "   Longueur de la Signature = ", "   Longueur défi : 8", "C_GenerateRandom"})
        EXPECT_NE(std::string::npos, trace.find(line)) << line;
    EXPECT_EQ(std::string::npos, ItemText(dlg, IdPaneDiag).find("C_Verify...C")) << ItemText(dlg, IdPaneDiag);
    EXPECT_NE(std::string::npos, ItemText(dlg, IdPaneJournal).find("  Test des services VEL\r\n"));
    Quit();
}

// Quitting through the close box while an operation runs: the program waits
// for the operation to end, then quits.
TEST_F(CardManager, QuitDuringALongOperationWaitsForIt)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 150, 1);
    Click(dlg, IdReadData);
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
    Click(dlg, IdReadData);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdProgress); }, kWait));
    Command(dlg, IdOptions);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    SendMessageA(GetDlgItem(options, 1055), BM_SETCHECK, BST_CHECKED, 0);
    Click(options, 1055);
    Click(options, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(options); }, kWait));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataUpper); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {IdQuit, IdReadData, IdReadSituations, IdIntro, IdChooseReader, IdShowJournal})
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
              ItemText(dlg, IdReaderLine)); // the reader that failed
    EXPECT_TRUE(program.Running());
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    EXPECT_TRUE(Enabled(dlg, IdChooseReader));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    Click(dlg, IdIntro); // the card again, now that the library answers
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IdHolderName) == "Madame MARTIN JEANNE"; }, kWait));
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
    Command(dlg, IdPresentPin);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IdChangePin);
    EXPECT_EQ("Ancien code porteur", EnterCode("9999"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    EXPECT_NE(std::string::npos, Answer(IDNO).find("Ce code porteur est erroné."));
    ASSERT_TRUE(WaitIdle(dlg, kWait));

    Click(dlg, IdReadSituations);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataLower); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IdPaneDataLower).find("Situation"))
        << ItemText(dlg, IdPaneDataLower);
    EXPECT_EQ(0, FirstVisibleLine(dlg, IdPaneDataLower));
    Click(dlg, IdNext);
    ASSERT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IdPaneDataLower) > 0; }, kWait));
    const int first = FirstVisibleLine(dlg, IdPaneDataLower);
    Click(dlg, IdNext);
    ASSERT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IdPaneDataLower) > first; }, kWait));
    Click(dlg, IdPrevious);
    EXPECT_TRUE(WaitUntil([&] { return FirstVisibleLine(dlg, IdPaneDataLower) == first; }, kWait));
    Quit();
}

// Readers and cards changed under the program, failures at its card calls:
// run as a test of their own (vlmgr_hostile_flows).
class CardManagerHostile : public CardManager {
protected:
    const char *second = "Lecteur Ovrane VEL 1";
};

// The reader chosen is unplugged: the card left in the other reader is
// taken, as before any choice, not refused.
TEST_F(CardManagerHostile, ChosenReaderUnpluggedGivesTheCardLeft)
{
    LaunchOn({kReader, second}, {{"vel3-default", kReader}, {"vel3-cl", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ChooseReaderAt(1);
    ASSERT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IdReaderLine));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 0, 5);
    ChangeCardConfirmed();
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IdHolderName) == "Madame MARTIN JEANNE"; }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(NoOtherDialog());
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IdReaderLine));
    EXPECT_TRUE(Enabled(dlg, IdReadData));

    // Every reader unplugged, the reader prompt given up; a reader plugged
    // with a card: the card is introduced.
    WriteState(statePath, {}, {}, 0, 7);
    ChangeCardConfirmed();
    EXPECT_EQ("Connexion lecteur", EnterCode(nullptr));
    EXPECT_EQ("Impossible de mettre la carte sous tension", Answer(IDOK)); // readers were counted
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {"Autre lecteur"}, {{"vel3-default", "Autre lecteur"}}, 0, 9);
    Click(dlg, IdIntro); // "Introduction carte"
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdHolderName); }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ("LECTEUR EN COURS : Autre lecteur", ItemText(dlg, IdReaderLine));
    Quit();
}

// "Changer lecteur" cancelled: the card in use stays usable, in its reader.
TEST_F(CardManagerHostile, CancelledReaderChoiceKeepsTheCardInUse)
{
    LaunchOn({kReader, second}, {{"vel3-cl", kReader}, {"vel3-default", second}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ChooseReaderAt(1);
    ASSERT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IdReaderLine));
    ChooseReaderAt(-1);
    Click(dlg, IdReadData);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataUpper); }, kWait))
        << MessageText(WaitOtherDialog(program.pi.dwProcessId, dlg, 300));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_NE(std::string::npos, ItemText(dlg, IdPaneDataUpper).find("MARTIN"));
    Click(dlg, IdClosePane);

    ChooseReaderAt(-1);
    ChangeCardConfirmed();
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dlg, IdHolderName) == "Madame MARTIN JEANNE"; }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + second, ItemText(dlg, IdReaderLine));
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
    Click(dlg, IdReadSituations);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    std::string error = Answer(IDOK);
    EXPECT_NE(std::string::npos, error.find("Erreur 6 (6h) = ")) << error;
    EXPECT_NE(std::string::npos, error.find(" dans C_Login")) << error;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(NoOtherDialog());
    EXPECT_EQ(std::string::npos, ItemText(dlg, IdPaneJournal).find("Lecture des situations"));
    EXPECT_TRUE(Visible(dlg, IdHolderName));
    EXPECT_TRUE(Visible(dlg, IdReaderLine));

    Command(dlg, IdPresentPin);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 200, 1);
    Click(dlg, IdReadSituations);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdProgress); }, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", ""}}, 0, 5);
    std::string state = Answer(IDOK);
    EXPECT_FALSE(state.empty() || state == "(no message box)") << state;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Visible(dlg, IdReaderLine));
    EXPECT_FALSE(Enabled(dlg, IdReadSituations));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    Quit();
}

// The card pulled while the PIN prompt of the self-test is open: the call
// that failed is named, and the card state follows (no card command left on).
TEST_F(CardManagerHostile, CardPulledAtThePinPromptNamesTheFailedCall)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, 32776);
    HWND prompt = WaitOtherDialog(program.pi.dwProcessId, dlg, kWait);
    ASSERT_NE(nullptr, prompt);
    WriteState(statePath, {kReader}, {{"vel3-default", ""}}, 0, 5);
    SetItemText(prompt, 1039, "1234");
    PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }, kWait));
    std::string error = Answer(IDOK);
    EXPECT_NE(std::string::npos, error.find(" dans C_GetTokenInfo")) << error;
    std::string state = Answer(IDOK);
    EXPECT_EQ("Impossible de mettre la carte sous tension", state);
    EXPECT_FALSE(state.empty() || state == "(no message box)") << state;
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {IdReadData, IdReadSituations, IdChangePin, IdUnblock})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    EXPECT_TRUE(Visible(dlg, IdReaderLine));
    Quit();
}

// "&Options" during the situations: the saved logs leave the view to them.
TEST_F(CardManagerHostile, OptionsDuringSituationsLeaveTheirView)
{
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, IdPresentPin);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1234"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    WriteState(statePath, {kReader}, {{"vel3-default", kReader}}, 300, 1);
    Click(dlg, IdReadSituations);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdProgress); }, kWait));
    Command(dlg, IdOptions);
    HWND options = WaitWindow(program.pi.dwProcessId, "Options", kWait, true);
    ASSERT_NE(nullptr, options);
    SendMessageA(GetDlgItem(options, 1055), BM_SETCHECK, BST_CHECKED, 0);
    Click(options, 1055);
    Click(options, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(options); }, kWait));
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneDataLower); }, 60000));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    for (int id : {(int)IdHolderName, (int)IdReaderLine, 1052, 1053})
        EXPECT_FALSE(Visible(dlg, id)) << id;
    Quit();
}

// A "CL" card keeps its read and PIN commands greyed after an unblock.
TEST_F(CardManagerHostile, UnblockedClCardKeepsItsCommandsGreyed)
{
    MakeCard("vel3-cl", "vel3-cl-blocked", {{"pin code=\"1234\" left=3", "pin code=\"1234\" left=0"}});
    LaunchOnMadeCards({kReader}, {{"vel3-cl-blocked", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ASSERT_TRUE(Enabled(dlg, IdUnblock));
    Click(dlg, IdUnblock);
    EXPECT_EQ("Code de déblocage", EnterCode("12345678"));
    EXPECT_EQ("Saisissez le nouveau code porteur", EnterCode("4321"));
    EXPECT_EQ("Confirmez le nouveau code porteur", EnterCode("4321"));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(dlg, IdUnblock); }, kWait));
    EXPECT_FALSE(Enabled(dlg, IdReadSituations));
    EXPECT_FALSE(Enabled(dlg, IdChangePin));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
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
        {IdPresentPin, "Cette carte est définitivement bloquée et doit être remplacée."},
        {IdChangePin, "Carte bloquée. Impossible de changer le code porteur."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        LaunchOnMadeCards({kReader}, {{"vel3-so-locked", kReader}});
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        if (c.command == IdPresentPin)
            Command(dlg, c.command);
        else
            Click(dlg, c.command);
        EXPECT_EQ(c.message, Answer(IDOK));
        ASSERT_TRUE(WaitIdle(dlg, kWait));
        for (int id : {IdReadSituations, IdChangePin, IdUnblock})
            EXPECT_FALSE(Enabled(dlg, id)) << id;
        EXPECT_TRUE(Enabled(dlg, IdReadData));
        Quit();
    }
}

TEST_F(CardManagerHostile, PinCommandsBlockingTheCard)
{
    const char kUnblockQuestion[] = "Cette carte est bloquée (3 codes erronés).";
    // "Saisir code": three wrong PINs, then No to the unblock question.
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Command(dlg, IdPresentPin);
    EXPECT_EQ("Code porteur (reste 3 tentative(s))", EnterCode("1111"));
    EXPECT_EQ("Code porteur (reste 2 tentative(s))", EnterCode("2222"));
    EXPECT_EQ("Code porteur (reste 1 tentative(s))", EnterCode("3333"));
    EXPECT_NE(std::string::npos, Answer(IDNO).find(kUnblockQuestion));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_TRUE(Enabled(dlg, IdUnblock));
    for (int id : {IdReadSituations, IdChangePin})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    Quit();

    // "Changer code": three wrong old PINs, then Yes: the unblock follows.
    LaunchOn({kReader}, {{"vel3-default", kReader}});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    Click(dlg, IdChangePin);
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
    EXPECT_TRUE(WaitUntil([&] { return Enabled(dlg, IdChangePin) && !Enabled(dlg, IdUnblock); }, kWait));
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
            const bool something =
                Visible(dlg, IdReaderLine) || Visible(dlg, IdHolderName) || Visible(dlg, IdPaneCaption);
            std::string seen;
            for (const std::string &t : shown)
                seen += "[" + t + "] ";
            EXPECT_TRUE(something) << seen;
            EXPECT_TRUE(Enabled(dlg, IdIntro)) << seen;
            EXPECT_TRUE(Enabled(dlg, IdQuit)) << seen;
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
    const std::string trace = ItemText(dlg, IdPaneTrace);
    PostMessageA(dlg, WM_USER + 0x100, 0, 0);
    PostMessageA(dlg, WM_USER + 0x100, 0, 0);
    Click(dlg, IdShowJournal);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneJournal); }, kWait));
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_EQ(trace, ItemText(dlg, IdPaneTrace));
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
    EXPECT_EQ(std::string("LECTEUR EN COURS : ") + kReader, ItemText(dlg, IdReaderLine));
    EXPECT_TRUE(Visible(dlg, IdReaderLine));
    for (int id : {IdReadData, IdReadSituations, IdChangePin})
        EXPECT_FALSE(Enabled(dlg, id)) << id;
    EXPECT_TRUE(Enabled(dlg, IdIntro));
    EXPECT_TRUE(Enabled(dlg, IdChooseReader));
    Quit();
}

} // namespace
