// Thin wrappers over the standard controls the programs use.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <string>
#include "classlib/imagelist.h"
#include "classlib/wnd.h"

namespace cl {

class CButton : public CWnd {
public:
    int GetCheck() const { return (int)SendMessage(BM_GETCHECK); }
    void SetCheck(int state) const { SendMessage(BM_SETCHECK, (WPARAM)state); }
};

class CStatic : public CWnd {};

class CEdit : public CWnd {
public:
    int GetLineCount() const { return (int)SendMessage(EM_GETLINECOUNT); }
    int GetFirstVisibleLine() const { return (int)SendMessage(EM_GETFIRSTVISIBLELINE); }
    void LineScroll(int lines) const { SendMessage(EM_LINESCROLL, 0, lines); }
    void SetLimitText(UINT max) const { SendMessage(EM_LIMITTEXT, max); }
    void SetSel(int start, int end) const { SendMessage(EM_SETSEL, (WPARAM)start, end); }
    void ReplaceSel(const char *text) const { SendMessage(EM_REPLACESEL, FALSE, (LPARAM)text); }
    void SetMargins(UINT left, UINT right) const
    {
        SendMessage(EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(left, right));
    }
    // Line `index` without its line end, at most `max` characters.
    std::string GetLine(int index, int max) const;
};

class CComboBox : public CWnd {
public:
    int AddString(const char *text) const { return (int)SendMessage(CB_ADDSTRING, 0, (LPARAM)text); }
    int GetCurSel() const { return (int)SendMessage(CB_GETCURSEL); }
    int SetCurSel(int index) const { return (int)SendMessage(CB_SETCURSEL, (WPARAM)index); }
    int GetCount() const { return (int)SendMessage(CB_GETCOUNT); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(int low, int high) const { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(low, high)); }
    void GetRange(int &low, int &high) const;
    int SetStep(int step) const { return (int)SendMessage(PBM_SETSTEP, (WPARAM)step); }
    int StepIt() const { return (int)SendMessage(PBM_STEPIT); }
    int GetPos() const { return (int)SendMessage(PBM_GETPOS); }
    int SetPos(int pos) const { return (int)SendMessage(PBM_SETPOS, (WPARAM)pos); }
};

// A list view (report view as the programs use it). Texts are ANSI.
class CListCtrl : public CWnd {
public:
    // Column `index` with its heading, LVCFMT_* alignment and width in pixels;
    // the new column's index or -1.
    int InsertColumn(int index, const char *heading, int format = LVCFMT_LEFT, int width = -1) const;
    // Row `index` with its first column's text and small image; the new row's
    // index or -1.
    int InsertItem(int index, const char *text, int image = 0) const;
    BOOL SetItemText(int item, int subItem, const char *text) const;
    // The text of one cell (empty for a missing cell).
    std::string GetItemText(int item, int subItem) const;
    // The image of a row, or -1 for a missing row.
    int GetItemImage(int item) const;
    BOOL DeleteAllItems() const { return (BOOL)SendMessage(LVM_DELETEALLITEMS); }
    int GetItemCount() const { return (int)SendMessage(LVM_GETITEMCOUNT); }
    DWORD SetExtendedStyle(DWORD style) const
    {
        return (DWORD)SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style);
    }
    // Lends `images` to the list (LVSIL_SMALL, LVSIL_NORMAL, LVSIL_STATE): the
    // list is marked as sharing its image lists, so destroying the control
    // leaves them to their owner. Returns the previous list of that kind.
    HIMAGELIST SetImageList(CImageList *images, int kind) const;
};

// An owner-drawn button showing one of four bitmaps: up, down (pressed),
// focused and disabled. AutoLoad takes the names from the button's caption
// plus the suffixes U, D, F and X, as the templates name them.
class CBitmapButton : public CButton {
public:
    ~CBitmapButton() override;
    // Binds control `id` of `parent` and loads "<caption>U/D/F/X". Needs at
    // least the U bitmap; the button takes its size. False otherwise.
    bool AutoLoad(UINT id, CWnd *parent);
    // Replaces the bitmaps ("" or null: none; the up bitmap is required).
    bool LoadBitmaps(const char *up, const char *down = nullptr, const char *focus = nullptr,
                     const char *disabled = nullptr);
    // Loads "<base>U/D/F/X".
    bool LoadBitmapSet(const char *base);
    void SizeToContent() const;
    void DrawItem(DRAWITEMSTRUCT *dis) override;

    // The bitmap DrawItem picks for a state (for tests and for redraws).
    HBITMAP BitmapForState(UINT itemState) const;

private:
    void FreeBitmaps();
    HBITMAP m_up = nullptr, m_down = nullptr, m_focus = nullptr, m_disabled = nullptr;
};

} // namespace cl
