#include "ReaderStateDlg.h"

#include "classlib/module.h"
#include "row_text.h"

namespace zeb {

namespace {
const UINT kAppIcon = 128, kNoCardIcon = 131, kSynchronisedIcon = 132;
const UINT kRefreshMs = 500;

HICON SmallIcon(UINT id)
{
    return static_cast<HICON>(
        LoadImageA(cl::AfxGetResourceHandle(), MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, 0));
}
} // namespace

CSlotList::~CSlotList()
{
    if (m_hWnd)
        DestroyWindow();
    if (m_icon)
        DestroyIcon(m_icon);
}

BOOL CSlotList::OnInitDialog()
{
    cl::CDialog::OnInitDialog();
    m_icon = SmallIcon(kAppIcon);
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
    m_list.SubclassDlgItem(IDC_SLOTLIST_LIST, this);
    if (m_images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 0)) {
        for (UINT id : {kNoCardIcon, kSynchronisedIcon}) {
            HICON icon = SmallIcon(id);
            m_images.Add(icon); // copied
            if (icon)
                DestroyIcon(icon);
        }
        m_list.SetImageList(&m_images, LVSIL_SMALL);
    }
    RECT r;
    m_list.GetWindowRect(&r);
    int w = r.right - r.left;
    m_list.InsertColumn(0, "Nom du Lecteur", LVCFMT_LEFT, w / 2 + 10);
    m_list.InsertColumn(1, "Etat", LVCFMT_LEFT, w / 2 - 14);
    if (m_host.Vel4Mode()) {
        ::EnableWindow(GetDlgItem(IDC_SLOTLIST_WATCH), FALSE);
        SetDlgItemText(IDC_SLOTLIST_REFRESH, "Relancer ZEB");
    }
    // On the screen, as the about box: its frame is never shown. Placed once,
    // so that a dialog the user moved opens again where it was left.
    CenterWindow();
    m_timer = ::SetTimer(m_hWnd, 1, kRefreshMs, nullptr);
    return TRUE;
}

void CSlotList::Fill()
{
    if (m_host.Stopping())
        return;
    std::vector<SlotRow> rows;
    if (!m_host.SlotRows(&rows))
        return; // the table is busy: the next tick shows it
    m_list.DeleteAllItems();
    for (size_t j = 0; j < rows.size(); ++j) {
        int row = static_cast<int>(j);
        m_list.InsertItem(row, SlotRowText(rows[j].description, row).c_str(), rows[j].synchro ? 1 : 0);
        m_list.SetItemText(row, 1, rows[j].synchro ? "Certificats synchronisés." : "Carte Absente.");
    }
}

LRESULT CSlotList::OnTimer(WPARAM, LPARAM)
{
    Fill();
    return 0;
}

LRESULT CSlotList::OnDestroy(WPARAM, LPARAM)
{
    if (m_timer)
        ::KillTimer(m_hWnd, 1);
    m_timer = 0;
    return 0;
}

LRESULT CSlotList::OnShowWindow(WPARAM shown, LPARAM)
{
    if (shown)
        UpdateButtons();
    return 0;
}

void CSlotList::OnRefresh()
{
    if (m_host.Stopping() || m_host.FullReInitPending())
        return;
    m_host.Refresh();
}

void CSlotList::OnWatch()
{
    m_host.ToggleAutoDetect();
    UpdateButtons();
}

void CSlotList::UpdateButtons()
{
    HWND watch = GetDlgItem(IDC_SLOTLIST_WATCH);
    if (m_host.Vel4Mode()) {
        ::EnableWindow(watch, FALSE);
        ::SetWindowTextA(watch, "Surveillance auto (patch actif)");
        SetDlgItemText(IDC_SLOTLIST_REFRESH, "Relancer ZEB");
        return;
    }
    ::EnableWindow(watch, TRUE);
    ::SetWindowTextA(watch, m_host.AutoDetect() ? "Désactiver la surveillance des lecteurs"
                                                : "Activer la surveillance des lecteurs");
}

const cl::MessageMap *CSlotList::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnMessage<&CSlotList::OnTimer>(WM_TIMER),
        cl::OnMessage<&CSlotList::OnDestroy>(WM_DESTROY),
        cl::OnCommand<&CSlotList::OnRefresh>(IDC_SLOTLIST_REFRESH),
        cl::OnCommand<&CSlotList::OnWatch>(IDC_SLOTLIST_WATCH),
        cl::OnMessage<&CSlotList::OnShowWindow>(WM_SHOWWINDOW),
    };
    static const cl::MessageMap map(cl::CDialog::GetMessageMap(), entries);
    return &map;
}

} // namespace zeb
