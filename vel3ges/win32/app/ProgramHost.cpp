#include "ProgramHost.h"

#include <utility>

#include "AppState.h"
#include "ChoixLAD.h"
#include "DataFolder.h"
#include "MainDlg.h"
#include "Operations.h"
#include "SlotList.h"
#include "classlib/commondlg.h"

namespace vel {

ProgramHost &ProgramHost::Get()
{
    static ProgramHost host;
    return host;
}

void ProgramHost::BeginLongOperation(unsigned steps, bool cancellable)
{
    g_mainDlg->BeginLongOperation(steps, cancellable);
}

void ProgramHost::EndLongOperation()
{
    g_mainDlg->EndLongOperation();
}

void ProgramHost::SetCommandState(uint32_t bit, bool on)
{
    vel::SetCommandState(bit, on);
}

void ProgramHost::HidePane()
{
    g_mainDlg->HidePane();
    g_state.shownPane = PaneNone;
}

void ProgramHost::ShowPane(PaneType type)
{
    g_mainDlg->ShowPane(type);
}

uint16_t ProgramHost::VerifyPin()
{
    return vel::VerifyPin();
}

void ProgramHost::ResetToCardIntroduction()
{
    vel::ResetToCardIntroduction();
}

uint16_t ProgramHost::CardStateFromRv()
{
    return CardStateFromLastRv();
}

void ProgramHost::ShowCardState(uint16_t state)
{
    vel::ShowCardState(state);
}

const CK_TOKEN_INFO &ProgramHost::CurrentTokenInfo()
{
    return g_state.tokenInfo;
}

bool ProgramHost::AskYesNo(const char *text)
{
    return ShowMessage(text, kCaption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void ProgramHost::ShowError(const char *text, const char *caption)
{
    ShowMessage(text, caption, MB_OK | MB_ICONERROR);
}

bool ProgramHost::AskCertificatePath(const char *proposedName, std::string &path)
{
    cl::CFileDialog dlg(FALSE, ".crt", proposedName, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                        "Certificats de Sécurité (*.crt)|*.crt|All Files (*.*)|*.*||", g_mainDlg);
    if (dlg.DoModal() != IDOK)
        return false;
    path = dlg.GetPathName();
    return true;
}

std::string ProgramHost::CoffreFolder()
{
    return DataFolderPrefix(DataFolderKind::Coffre);
}

// Only the list: nothing changes for the card until a reader is chosen
// (SetChosenSlot), so that a cancelled choice leaves the holder where they were.
uint16_t ProgramHost::RefreshSlotList()
{
    uint16_t state = ListReadersForChoice(m_readers);
    g_state.listedSlotCount = m_readers.size();
    return state;
}

std::vector<ReaderEntry> ProgramHost::TakeReaderList()
{
    return std::exchange(m_readers, {});
}

bool ProgramHost::ChooseReaderDialog(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen)
{
    return RunReaderChoiceDialog(g_mainDlg, readers, chosen);
}

// The reader choice is made: the next scan takes the slot picked.
void ProgramHost::SetChosenSlot(CK_SLOT_ID slot)
{
    g_state.reselect = true;
    g_state.pickedSlot = slot;
    g_state.holderChoseReader = slot != kNoSlot;
}

uint16_t ProgramHost::StartCardManager()
{
    return vel::StartCardManager();
}

} // namespace vel
