#include "classlib/controls.h"

#include <vector>

#include "classlib/module.h"

namespace cl {

std::string CEdit::GetLine(int index, int max) const
{
    if (max <= 0)
        return std::string();
    // EM_GETLINE reads the buffer size from the buffer's first word.
    std::vector<char> buf((size_t)max + 2, 0);
    *reinterpret_cast<WORD *>(buf.data()) = (WORD)(max > 0xFFFF ? 0xFFFF : max);
    LRESULT got = SendMessage(EM_GETLINE, (WPARAM)index, reinterpret_cast<LPARAM>(buf.data()));
    if (got < 0)
        got = 0;
    if (got > max)
        got = max;
    return std::string(buf.data(), (size_t)got);
}

void CProgressCtrl::GetRange(int &low, int &high) const
{
    PBRANGE range{};
    SendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    low = range.iLow;
    high = range.iHigh;
}

int CListCtrl::InsertColumn(int index, const char *heading, int format, int width) const
{
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM | (width >= 0 ? LVCF_WIDTH : 0);
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<char *>(heading ? heading : "");
    column.iSubItem = index;
    return (int)SendMessage(LVM_INSERTCOLUMNA, (WPARAM)index, reinterpret_cast<LPARAM>(&column));
}

int CListCtrl::InsertItem(int index, const char *text, int image) const
{
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = index;
    item.pszText = const_cast<char *>(text ? text : "");
    item.iImage = image;
    return (int)SendMessage(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

BOOL CListCtrl::SetItemText(int item, int subItem, const char *text) const
{
    LVITEMA cell{};
    cell.iSubItem = subItem;
    cell.pszText = const_cast<char *>(text ? text : "");
    return (BOOL)SendMessage(LVM_SETITEMTEXTA, (WPARAM)item, reinterpret_cast<LPARAM>(&cell));
}

std::string CListCtrl::GetItemText(int item, int subItem) const
{
    // A cell holds at most what the buffer takes; grow until the text fits.
    for (size_t size = 256; size <= 65536; size *= 4) {
        std::vector<char> buf(size, 0);
        LVITEMA cell{};
        cell.iSubItem = subItem;
        cell.pszText = buf.data();
        cell.cchTextMax = (int)size;
        LRESULT got = SendMessage(LVM_GETITEMTEXTA, (WPARAM)item, reinterpret_cast<LPARAM>(&cell));
        if (got < 0)
            got = 0;
        if ((size_t)got < size - 1)
            return std::string(buf.data(), (size_t)got);
    }
    return std::string();
}

int CListCtrl::GetItemImage(int item) const
{
    LVITEMA row{};
    row.mask = LVIF_IMAGE;
    row.iItem = item;
    if (!SendMessage(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&row)))
        return -1;
    return row.iImage;
}

HIMAGELIST CListCtrl::SetImageList(CImageList *images, int kind) const
{
    ::SetWindowLongA(m_hWnd, GWL_STYLE, ::GetWindowLongA(m_hWnd, GWL_STYLE) | LVS_SHAREIMAGELISTS);
    return reinterpret_cast<HIMAGELIST>(SendMessage(
        LVM_SETIMAGELIST, (WPARAM)kind, reinterpret_cast<LPARAM>(images ? images->m_hImageList : nullptr)));
}

CBitmapButton::~CBitmapButton()
{
    FreeBitmaps();
}

void CBitmapButton::FreeBitmaps()
{
    for (HBITMAP *b : {&m_up, &m_down, &m_focus, &m_disabled}) {
        if (*b)
            ::DeleteObject(*b);
        *b = nullptr;
    }
}

bool CBitmapButton::LoadBitmaps(const char *up, const char *down, const char *focus, const char *disabled)
{
    FreeBitmaps();
    HINSTANCE inst = AfxGetResourceHandle();
    auto load = [inst](const char *name) -> HBITMAP {
        return name && *name ? ::LoadBitmapA(inst, name) : nullptr;
    };
    m_up = load(up);
    m_down = load(down);
    m_focus = load(focus);
    m_disabled = load(disabled);
    if (m_hWnd)
        Invalidate(FALSE);
    return m_up != nullptr;
}

bool CBitmapButton::LoadBitmapSet(const char *base)
{
    std::string b = base ? base : "";
    if (b.empty())
        return false;
    return LoadBitmaps((b + "U").c_str(), (b + "D").c_str(), (b + "F").c_str(), (b + "X").c_str());
}

bool CBitmapButton::AutoLoad(UINT id, CWnd *parent)
{
    if (!SubclassDlgItem(id, parent))
        return false;
    // The bitmaps are drawn by us whatever the template said.
    LONG style = ::GetWindowLongA(m_hWnd, GWL_STYLE);
    if ((style & BS_TYPEMASK) != BS_OWNERDRAW)
        SendMessage(BM_SETSTYLE, (style & ~BS_TYPEMASK) | BS_OWNERDRAW, TRUE);
    std::string caption = GetWindowText();
    if (!LoadBitmapSet(caption.c_str()))
        return false;
    SizeToContent();
    return true;
}

void CBitmapButton::SizeToContent() const
{
    BITMAP bm{};
    if (!m_up || !::GetObjectA(m_up, sizeof bm, &bm))
        return;
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, bm.bmWidth, bm.bmHeight,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HBITMAP CBitmapButton::BitmapForState(UINT state) const
{
    if ((state & ODS_DISABLED) && m_disabled)
        return m_disabled;
    if ((state & ODS_SELECTED) && m_down)
        return m_down;
    if ((state & ODS_FOCUS) && m_focus)
        return m_focus;
    return m_up;
}

void CBitmapButton::DrawItem(DRAWITEMSTRUCT *dis)
{
    HBITMAP bmp = BitmapForState(dis->itemState);
    if (!bmp)
        return;
    HDC mem = ::CreateCompatibleDC(dis->hDC);
    if (!mem)
        return;
    HGDIOBJ old = ::SelectObject(mem, bmp);
    BITMAP bm{};
    ::GetObjectA(bmp, sizeof bm, &bm);
    ::BitBlt(dis->hDC, dis->rcItem.left, dis->rcItem.top, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
}

} // namespace cl
