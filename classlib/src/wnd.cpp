#include "classlib/wnd.h"

#include <vector>

namespace cl {

namespace {
// The window property that ties a window to its object.
const char kObjectProp[] = "cl.CWnd";
}  // namespace

CWnd::~CWnd() {
  if (m_hWnd) {
    if (m_oldProc)
      UnsubclassWindow();
    else
      Detach();
  }
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  return hwnd ? static_cast<CWnd*>(::GetPropA(hwnd, kObjectProp)) : nullptr;
}

void CWnd::Attach(HWND hwnd) {
  m_hWnd = hwnd;
  ::SetPropA(hwnd, kObjectProp, this);
}

void CWnd::Detach() {
  if (m_hWnd) ::RemovePropA(m_hWnd, kObjectProp);
  m_hWnd = nullptr;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, (int)id));
}

bool CWnd::SubclassWindow(HWND hwnd) {
  if (m_hWnd || !hwnd || FromHandle(hwnd)) return false;
  Attach(hwnd);
  m_oldProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
  return true;
}

HWND CWnd::UnsubclassWindow() {
  HWND hwnd = m_hWnd;
  if (hwnd && m_oldProc) ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_oldProc));
  m_oldProc = nullptr;
  Detach();
  return hwnd;
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = FromHandle(hwnd);
  if (!wnd) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    // Last message: give it to the original procedure, then let go.
    WNDPROC old = wnd->m_oldProc;
    wnd->UnsubclassWindow();
    return old ? ::CallWindowProcA(old, hwnd, msg, wParam, lParam) : ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  return wnd->WindowProc(msg, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (OnWndMsg(msg, wParam, lParam, result)) return result;
  return DefWindowProc(msg, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (m_oldProc) return ::CallWindowProcA(m_oldProc, m_hWnd, msg, wParam, lParam);
  return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
}

bool CWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  result = 0;
  switch (msg) {
    case WM_COMMAND: {
      UINT code = HIWORD(wParam);
      if (code == 1 && lParam == 0) code = 0;   // an accelerator is a command like a menu item
      return OnCmdMsg(LOWORD(wParam), code, lParam);
    }
    case WM_DRAWITEM: {
      auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      if (dis && dis->CtlType != ODT_MENU) {
        if (CWnd* child = FromHandle(dis->hwndItem)) {
          child->DrawItem(dis);
          result = TRUE;
          return true;
        }
      }
      break;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      if (HBRUSH brush = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam),
                                    msg - WM_CTLCOLORMSGBOX)) {
        result = reinterpret_cast<LRESULT>(brush);
        return true;
      }
      return false;
    default:
      break;
  }
  return DispatchMessageEntry(msg, wParam, lParam, result);
}

std::string CWnd::GetWindowText() const {
  int len = ::GetWindowTextLengthA(m_hWnd);
  if (len <= 0) return std::string();
  std::vector<char> buf((size_t)len + 1);
  int got = ::GetWindowTextA(m_hWnd, buf.data(), len + 1);
  return std::string(buf.data(), got > 0 ? (size_t)got : 0);
}

std::string CWnd::GetDlgItemText(int id) const {
  HWND item = GetDlgItem(id);
  if (!item) return std::string();
  int len = ::GetWindowTextLengthA(item);
  if (len <= 0) return std::string();
  std::vector<char> buf((size_t)len + 1);
  int got = ::GetWindowTextA(item, buf.data(), len + 1);
  return std::string(buf.data(), got > 0 ? (size_t)got : 0);
}

void CWnd::ScreenToClient(RECT* r) const {
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(r), 2);
}

void CWnd::CenterWindow() const {
  RECT work;
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  RECT around = work;
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) ::GetWindowRect(owner, &around);
  RECT me;
  ::GetWindowRect(m_hWnd, &me);
  int w = me.right - me.left, h = me.bottom - me.top;
  int x = (around.left + around.right - w) / 2, y = (around.top + around.bottom - h) / 2;
  if (x + w > work.right) x = work.right - w;
  if (y + h > work.bottom) y = work.bottom - h;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::DestroyWindow() {
  if (!m_hWnd) return FALSE;
  return ::DestroyWindow(m_hWnd);
}

}  // namespace cl
