// The slot-list refresh and the reader choice.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "AppState.h"
#include "CardConnection.h"
#include "CardPresentation.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "CardTrace.h"
#include "MainDlg.h"
#include "Operations.h"
#include "PaneWriter.h"
#include "resource.h"

namespace vel {

namespace {
// The reader list of the last refresh: slot ids and their names ("" when the
// slot's description could not be read).
std::vector<CK_SLOT_ID> g_slotIds;
std::vector<std::string> g_slotNames;

// A reader plugged in between the two listings makes the second one answer
// CKR_BUFFER_TOO_SMALL: the list is grown and asked again, a few times.
constexpr int kListingRetries = 3;

void CloseCurrentSession()
{
    if (!g_functions || hSession == kNoSession)
        return;
    StampCallTime();
    CK_RV rv = g_functions->C_CloseSession(hSession);
    lastRv = rv;
    TraceCall(CallCloseSession, rv);
    if (rv == CKR_OK)
        hSession = kNoSession;
}

CK_RV TracedSlotList(CK_SLOT_ID *list, CK_ULONG *count)
{
    StampCallTime();
    CK_RV rv = g_functions->C_GetSlotList(CK_FALSE, list, count);
    lastRv = rv;
    TraceCall(CallGetSlotList, rv);
    AppendPaneLine(PaneTrace, "   pSlotList = 0x%08lx", (unsigned long)(uintptr_t)list);
    AppendPaneLine(PaneTrace, "   pSlotListSize = %d", (int)*count);
    AppendPaneLine(PaneTrace, "   withToken = %s", "FALSE");
    return rv;
}

class CChoixLAD : public cl::CDialog {
public:
    CChoixLAD() : CDialog(IDD_CHOIXLAD) {}
    void DoDataExchange(cl::CDataExchange *dx) override { cl::DDX_Control(dx, IDC_READER_COMBO, m_combo); }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        for (const std::string &name : g_slotNames) {
            if (name.empty())
                break;
            m_combo.AddString(name.c_str());
        }
        m_combo.SetCurSel(0);
        CenterWindow();
        return TRUE;
    }
    void OnOK() override
    {
        int sel = m_combo.GetCurSel();
        if (sel >= 0 && (size_t)sel < g_slotIds.size())
            g_state.pickedSlot = g_slotIds[(size_t)sel];
        CDialog::OnOK();
    }

private:
    cl::CComboBox m_combo;
};
} // namespace

uint16_t RefreshSlotList()
{
    CloseCurrentSession();
    g_card.cardPresent = false;
    g_state.reselect = true;
    g_state.pickedSlot = kNoSlot;
    g_slotIds.clear();
    g_slotNames.clear();
    if (!g_functions)
        return StateNoReader;
    CK_ULONG count = 40;
    if (TracedSlotList(nullptr, &count) != CKR_OK)
        return StateNoReader;
    std::vector<CK_SLOT_ID> ids;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int attempt = 0; attempt <= kListingRetries && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
        try {
            ids.assign(count ? count : 1, 0);
        } catch (...) {
            lastRv = CKR_HOST_MEMORY;
            return StateNoReader;
        }
        CK_ULONG room = (CK_ULONG)ids.size();
        rv = TracedSlotList(ids.data(), &room);
        count = room;
    }
    if (rv != CKR_OK || count == 0 || count > ids.size())
        return StateNoReader;
    ids.resize(count);
    for (CK_SLOT_ID id : ids) {
        CK_SLOT_INFO info{};
        lastRv = CKR_OK;
        ReadSlotInfo(id, &info);
        std::string name;
        if (lastRv == CKR_OK) {
            size_t n = sizeof info.slotDescription;
            while (n > 0 && (info.slotDescription[n - 1] == ' ' || info.slotDescription[n - 1] == '\0'))
                --n;
            name.assign(reinterpret_cast<const char *>(info.slotDescription), n);
        }
        lastRv = CKR_OK;
        g_slotNames.push_back(name);
    }
    g_slotIds = ids;
    g_card.cardPresent = true;
    return StateReady;
}

void ChooseReader()
{
    RefreshSlotList();
    CChoixLAD dlg;
    if (dlg.DoModal() != IDOK) {
        g_slotIds.clear();
        g_slotNames.clear();
        return;
    }
    AppendJournal("Changement de lecteur");
    CloseCurrentSession();
    hSession = kNoSession;   // counts as closed whatever the result
    if (lastRv == CKR_OK) {
        if (g_state.shownPane != PaneNone) {
            g_mainDlg->HidePane();
            g_state.shownPane = PaneNone;
        } else {
            g_mainDlg->ShowIdentification(false);
        }
        g_card.cardPresent = false;
        g_card.billingRead = g_card.infoRead = g_card.nameRead = g_card.idRead = false;
        unsigned n = g_mainDlg->PaneLineCount(PaneDataUpper);
        if (n > 4)
            g_mainDlg->TrimPane(PaneDataUpper, 4, n - 1);
        BuildIdentityTexts();
        ClearSituations();
        g_mainDlg->ClearPane(PaneDataLower);
        StartCardManager();
    }
    g_slotIds.clear();
    g_slotNames.clear();
}

} // namespace vel
