// CSlotList: the modeless reader-state dialog (template 157): every 500 ms
// the readers of the slot table with the state of their card. Closing it
// only hides it. UI thread only.
#ifndef ZEB_UI_READER_STATE_DLG_H
#define ZEB_UI_READER_STATE_DLG_H

#include <windows.h>

#include <vector>

#include "classlib/controls.h"
#include "classlib/dialog.h"
#include "classlib/imagelist.h"
#include "resource.h"
#include "zeb_core.h"

namespace zeb {

constexpr UINT kSlotListTemplate = IDD_SLOTLIST;

// What the dialog reads from and asks of the frame.
class SlotListHost {
public:
    virtual ~SlotListHost() = default;
    virtual bool Stopping() = 0;
    virtual bool FullReInitPending() = 0;
    virtual bool Vel4Mode() = 0;
    virtual bool AutoDetect() = 0;
    // The slot table's rows; false while it is busy (the rows shown stay).
    virtual bool SlotRows(std::vector<SlotRow> *rows) = 0;
    virtual void Refresh() = 0;          // "Rafraîchir" / "Relancer ZEB"
    virtual void ToggleAutoDetect() = 0; // the watching button
};

class CSlotList : public cl::CDialog {
public:
    explicit CSlotList(SlotListHost &host) : cl::CDialog(kSlotListTemplate), m_host(host) {}
    ~CSlotList() override;

    BOOL OnInitDialog() override;
    void OnOK() override { ShowWindow(SW_HIDE); }
    void OnCancel() override { ShowWindow(SW_HIDE); }
    // Sets the two buttons from the mode and the watching state.
    void UpdateButtons();
    // One refresh of the list (the timer's work).
    void Fill();

    const cl::MessageMap *GetMessageMap() const override;

private:
    LRESULT OnTimer(WPARAM, LPARAM);
    LRESULT OnDestroy(WPARAM, LPARAM);
    LRESULT OnShowWindow(WPARAM, LPARAM);
    void OnRefresh();
    void OnWatch();

    SlotListHost &m_host;
    cl::CImageList m_images;
    cl::CListCtrl m_list;
    HICON m_icon = nullptr;
    UINT_PTR m_timer = 0;
};

} // namespace zeb

#endif
