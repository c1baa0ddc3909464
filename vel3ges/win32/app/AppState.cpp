#include "AppState.h"

#include <windows.h>

#include <ctime>

#include "CardTrace.h"
#include "MainDlg.h"
#include "PaneWriter.h"
#include "resource.h"

namespace vel {

CMainDlg *g_mainDlg = nullptr;
ProgramState g_state;

namespace {
struct CommandControls {
    uint32_t bit;
    UINT menuId;  // 0: none
    int buttonId; // 0: none
};
const CommandControls kCommands[] = {
    {CmdReadSituations, IDC_LECSIT, IDC_LECSIT},
    {CmdReadData, IDC_LECDONNEES, IDC_LECDONNEES},
    {CmdUnblockPin, IDC_FORCERCP, IDC_FORCERCP},
    {CmdPresentPin, ID_PRESENT_PIN, 0},
    {CmdChangePin, IDC_CHANGERCODE, IDC_CHANGERCODE},
    {CmdSelfTest, ID_SELF_TEST, 0},
    {CmdCardIntro, IDC_INTROCARTE, IDC_INTROCARTE},
    {CmdChooseReader, IDC_CHANGELECT, IDC_CHANGELECT},
    {CmdTestReader, ID_TEST_READER, 0},
    {CmdJournal, IDC_SHOW_JOURNAL, IDC_SHOW_JOURNAL},
    {CmdTrace, IDC_SHOW_TRACE, IDC_SHOW_TRACE},
    {CmdDiagnostic, IDC_SHOW_DIAG, IDC_SHOW_DIAG},
    {CmdData, IDC_SHOW_DATA, IDC_SHOW_DATA},
    {CmdQuit, IDCANCEL, IDCANCEL},
    {Cmd8000, 32777, 0},
    {Cmd10000, 32778, 0},
    {CmdCertificates, ID_CERTIFICATES, 0},
};
} // namespace

void SetCommandState(uint32_t bit, bool on)
{
    for (const CommandControls &c : kCommands) {
        if (c.bit != bit)
            continue;
        if (on)
            g_state.commandState |= bit;
        else
            g_state.commandState &= ~bit;
        if (!g_mainDlg || !g_mainDlg->m_hWnd)
            return;
        if (HMENU menu = g_mainDlg->GetMenu())
            ::EnableMenuItem(menu, c.menuId, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
        if (c.buttonId)
            ::EnableWindow(g_mainDlg->GetDlgItem(c.buttonId), on);
        return;
    }
}

void SetCommandsByRule(uint32_t mask)
{
    for (uint32_t bit = 1; bit && bit <= mask; bit <<= 1)
        if (mask & bit)
            SetCommandState(bit,
                            CommandOnByRule(bit, g_state.tokenInfo.label, sizeof g_state.tokenInfo.label));
}

void SetCommandsOff(uint32_t mask)
{
    for (uint32_t bit = 1; bit && bit <= mask; bit <<= 1)
        if (mask & bit)
            SetCommandState(bit, false);
}

void SetCommandsOn(uint32_t mask)
{
    for (uint32_t bit = 1; bit && bit <= mask; bit <<= 1)
        if (mask & bit)
            SetCommandState(bit, true);
}

std::string NowTimestamp()
{
    return FormatLogTimestamp(std::time(nullptr));
}

void AppendJournal(const char *action)
{
    AppendPaneLine(PaneJournal, "%s  %s", NowTimestamp().c_str(), action);
}

int ShowMessage(const char *text, const char *caption, unsigned type)
{
    HWND owner = g_mainDlg ? g_mainDlg->m_hWnd : nullptr;
    return ::MessageBoxA(owner, text, caption, type);
}

} // namespace vel
