#include "classlib/controls.h"

#include <vector>

#include "classlib/app.h"

namespace cl {

std::string CEdit::GetLine(int index, int max) const {
  if (max <= 0) return std::string();
  // EM_GETLINE reads the buffer size from the buffer's first word.
  std::vector<char> buf((size_t)max + 2, 0);
  *reinterpret_cast<WORD*>(buf.data()) = (WORD)(max > 0xFFFF ? 0xFFFF : max);
  LRESULT got = SendMessage(EM_GETLINE, (WPARAM)index, reinterpret_cast<LPARAM>(buf.data()));
  if (got < 0) got = 0;
  if (got > max) got = max;
  return std::string(buf.data(), (size_t)got);
}

void CProgressCtrl::GetRange(int& low, int& high) const {
  PBRANGE range{};
  SendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  low = range.iLow;
  high = range.iHigh;
}

CBitmapButton::~CBitmapButton() { FreeBitmaps(); }

void CBitmapButton::FreeBitmaps() {
  for (HBITMAP* b : {&m_up, &m_down, &m_focus, &m_disabled}) {
    if (*b) ::DeleteObject(*b);
    *b = nullptr;
  }
}

bool CBitmapButton::LoadBitmaps(const char* up, const char* down, const char* focus, const char* disabled) {
  FreeBitmaps();
  HINSTANCE inst = AfxGetInstanceHandle();
  auto load = [inst](const char* name) -> HBITMAP { return name && *name ? ::LoadBitmapA(inst, name) : nullptr; };
  m_up = load(up);
  m_down = load(down);
  m_focus = load(focus);
  m_disabled = load(disabled);
  if (m_hWnd) Invalidate(FALSE);
  return m_up != nullptr;
}

bool CBitmapButton::LoadBitmapSet(const char* base) {
  std::string b = base ? base : "";
  if (b.empty()) return false;
  return LoadBitmaps((b + "U").c_str(), (b + "D").c_str(), (b + "F").c_str(), (b + "X").c_str());
}

bool CBitmapButton::AutoLoad(UINT id, CWnd* parent) {
  if (!SubclassDlgItem(id, parent)) return false;
  // The bitmaps are drawn by us whatever the template said.
  LONG style = ::GetWindowLongA(m_hWnd, GWL_STYLE);
  if ((style & BS_TYPEMASK) != BS_OWNERDRAW) SendMessage(BM_SETSTYLE, (style & ~BS_TYPEMASK) | BS_OWNERDRAW, TRUE);
  std::string caption = GetWindowText();
  if (!LoadBitmapSet(caption.c_str())) return false;
  SizeToContent();
  return true;
}

void CBitmapButton::SizeToContent() const {
  BITMAP bm{};
  if (!m_up || !::GetObjectA(m_up, sizeof bm, &bm)) return;
  ::SetWindowPos(m_hWnd, nullptr, 0, 0, bm.bmWidth, bm.bmHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HBITMAP CBitmapButton::BitmapForState(UINT state) const {
  if ((state & ODS_DISABLED) && m_disabled) return m_disabled;
  if ((state & ODS_SELECTED) && m_down) return m_down;
  if ((state & ODS_FOCUS) && m_focus) return m_focus;
  return m_up;
}

void CBitmapButton::DrawItem(DRAWITEMSTRUCT* dis) {
  HBITMAP bmp = BitmapForState(dis->itemState);
  if (!bmp) return;
  HDC mem = ::CreateCompatibleDC(dis->hDC);
  if (!mem) return;
  HGDIOBJ old = ::SelectObject(mem, bmp);
  BITMAP bm{};
  ::GetObjectA(bmp, sizeof bm, &bm);
  ::BitBlt(dis->hDC, dis->rcItem.left, dis->rcItem.top, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
  ::SelectObject(mem, old);
  ::DeleteDC(mem);
}

}  // namespace cl
