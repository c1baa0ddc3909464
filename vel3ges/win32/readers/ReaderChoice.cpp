#include "ReaderChoice.h"

#include <ctime>

#include "../card/CardConnection.h"
#include "../card/CardTrace.h"
#include "../carddata/CardPresentation.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "../host/OperationSupport.h"

namespace vel {

std::vector<std::string> ListedReaderNames(const std::vector<ReaderEntry> &readers)
{
    std::vector<std::string> names;
    for (const ReaderEntry &r : readers) {
        if (!r.named)
            break;
        names.push_back(r.name);
    }
    return names;
}

void PickReader(const std::vector<ReaderEntry> &readers, int selection, CK_SLOT_ID &chosen)
{
    std::vector<std::string> listed = ListedReaderNames(readers);
    if (selection >= 0 && static_cast<size_t>(selection) < listed.size())
        chosen = readers[static_cast<size_t>(selection)].slot;
}

void ChooseReader(DialogHost &host)
{
    CardUi *ui = GetCardUi();
    if (!ui)
        return;
    host.RefreshSlotList();
    std::vector<ReaderEntry> readers = host.TakeReaderList();
    CK_SLOT_ID chosen = kNoSlot;
    if (!host.ChooseReaderDialog(readers, chosen))
        return;
    host.SetChosenSlot(chosen);

    AppendPaneLine(PaneJournal, "%s  Changement de lecteur", FormatLogTimestamp(std::time(nullptr)).c_str());
    // The session of the card in use ends only now that a reader is chosen.
    if (hSession != kNoSession && g_functions) {
        StampCallTime();
        lastRv = g_functions->C_CloseSession(hSession);
        TraceCall(CallCloseSession, lastRv);
        hSession = kNoSession;
        // A failed close leaves the card as it was: no new start-up.
        if (lastRv != CKR_OK)
            return;
    }

    if (ui->ShownPane() != PaneNone)
        host.HidePane();
    else
        ui->ShowIdentification(false);
    g_card.cardPresent = false;
    ForgetCardData();
    host.StartCardManager();
}

} // namespace vel
