// The card manager's flows, run from a separate driver process under Wine as
// a person would run them: the program path comes from VLMGR_EXE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Driver.h"

using namespace driver;

namespace {

const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const DWORD kWait = 20000;

// Control ids of the main dialog.
enum {
    IdQuit = 2, IdPaneCaption = 1011, IdPaneDiag = 1012, IdPaneJournal = 1013, IdPaneDataUpper = 1014,
    IdPaneTrace = 1015, IdClosePane = 1017, IdIntro = 1021, IdChangePin = 1022, IdUnblock = 1023,
    IdReadData = 1025, IdReadSituations = 1026, IdShowJournal = 1027, IdShowData = 1028, IdShowDiag = 1029,
    IdShowTrace = 1030, IdHolderName = 1050, IdReaderLine = 1056, IdOptions = 32783,
};

std::string ProgramPath()
{
    const char *p = std::getenv("VLMGR_EXE");
    return p ? p : "";
}

class CardManager : public ::testing::Test {
protected:
    Program program;
    HWND dlg = nullptr;

    void Launch(const std::vector<std::string> &env)
    {
        ASSERT_FALSE(ProgramPath().empty()) << "VLMGR_EXE not set";
        ASSERT_TRUE(Start(program, ProgramPath(), env)) << ProgramPath();
        dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, kWait, true);
        ASSERT_NE(nullptr, dlg) << "no main dialog";
    }
    // Closes the program through the close box and checks that it ends.
    void Quit()
    {
        PostMessageA(dlg, WM_CLOSE, 0, 0);
        EXPECT_EQ(0, program.Wait(kWait)) << "the program did not end";
    }
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
// and saved, and the program can be left.
TEST_F(CardManager, StartsWithoutTheLibraryAndStaysUsable)
{
    Launch({"WINEDLLOVERRIDES=mscoree,mshtml=;vel3_pkcs11_w64,vel3_pkcs11_w32=d"});
    ASSERT_TRUE(WaitIdle(dlg, kWait));
    EXPECT_FALSE(Enabled(dlg, IdIntro));
    EXPECT_FALSE(Enabled(dlg, IdReadData));
    EXPECT_TRUE(Enabled(dlg, IdQuit));
    EXPECT_TRUE(Enabled(dlg, IdShowJournal));

    Click(dlg, IdShowTrace);
    ASSERT_TRUE(WaitUntil([&] { return Visible(dlg, IdPaneTrace); }, kWait));
    EXPECT_EQ("Fichier VEL-TRAC.TXT : Trace des Services VEL", ItemText(dlg, IdPaneCaption));
    std::string trace = ItemText(dlg, IdPaneTrace);
    EXPECT_EQ(0u, trace.find("*** Session VEL-GESTION    Version v06.09.00\r\n*** Fichier créé le ")) << trace;
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

} // namespace
