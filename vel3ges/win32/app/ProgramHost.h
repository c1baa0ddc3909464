// The card manager's DialogHost: the reader choice, the certificates and the
// self-test reach the main dialog and the program's own routines (long
// operations, commands, PIN presentation, card state, start-up) through it.
// Installed once by the main dialog with SetDialogHost(&ProgramHost::Get()).
#pragma once
#include <vector>

#include "DialogHost.h"

namespace vel {

class ProgramHost : public DialogHost {
public:
    static ProgramHost &Get();

    void BeginLongOperation(unsigned steps, bool cancellable) override;
    void EndLongOperation() override;
    void SetCommandState(uint32_t bit, bool on) override;
    void HidePane() override;
    void ShowPane(PaneType type) override;
    uint16_t VerifyPin() override;
    void ResetToCardIntroduction() override;
    uint16_t CardStateFromRv() override;
    void ShowCardState(uint16_t state) override;
    const CK_TOKEN_INFO &CurrentTokenInfo() override;
    bool AskYesNo(const char *text) override;
    void ShowError(const char *text, const char *caption) override;
    bool AskCertificatePath(const char *proposedName, std::string &path) override;
    std::string CoffreFolder() override;
    uint16_t RefreshSlotList() override;
    std::vector<ReaderEntry> TakeReaderList() override;
    bool ChooseReaderDialog(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen) override;
    void SetChosenSlot(CK_SLOT_ID slot) override;
    uint16_t StartCardManager() override;

private:
    std::vector<ReaderEntry> m_readers; // the list of the reader choice running
};

} // namespace vel
