#include "classlib/wnd.h"

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "classlib/app.h"

namespace cl {

namespace {
// The window property that ties a window to its object.
const char kObjectProp[] = "cl.CWnd";

// The object of the window CreateEx is making on this thread: bound at the
// window's first message, before WM_NCCREATE and WM_CREATE.
thread_local CWnd *t_creating = nullptr;
// Set when that window got its last message during creation: the object may
// be deleted already (a frame deletes itself), CreateEx must not touch it.
thread_local bool t_creatingGone = false;
} // namespace

CWnd::~CWnd()
{
    if (!m_hWnd)
        return;
    HWND hwnd = m_hWnd;
    bool created = m_created;
    if (m_oldProc)
        UnsubclassWindow();
    else
        Detach();
    // Unbound first: the object is half gone, its map must not run.
    if (created)
        ::DestroyWindow(hwnd);
}

BOOL CWnd::CreateEx(DWORD exStyle, const char *className, const char *windowName, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu, void *param)
{
    if (m_hWnd || !className) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CWnd *outer = t_creating; // a window created from another's WM_CREATE
    bool outerGone = t_creatingGone;
    t_creating = this;
    t_creatingGone = false;
    HWND hwnd = ::CreateWindowExA(exStyle, className, windowName, style, x, y, width, height, parent, menu,
                                  AfxGetInstanceHandle(), param);
    DWORD error = ::GetLastError();
    bool gone = t_creatingGone;
    t_creating = outer;
    t_creatingGone = outerGone;
    if (!hwnd || gone) {
        ::SetLastError(error ? error : ERROR_CANNOT_FIND_WND_CLASS);
        return FALSE;
    }
    if (!m_hWnd)
        SubclassWindow(hwnd); // not one of our classes
    m_created = m_hWnd == hwnd;
    return m_created ? TRUE : FALSE;
}

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd *wnd = CWnd::FromHandle(hwnd);
    if (!wnd && t_creating && !t_creating->m_hWnd) {
        wnd = t_creating;
        wnd->Attach(hwnd);
    }
    if (!wnd)
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        LRESULT result = wnd->WindowProc(msg, wParam, lParam);
        wnd->m_created = false;
        wnd->Detach();
        CWinApp *app = AfxGetApp();
        if (app && app->m_pMainWnd == wnd)
            app->m_pMainWnd = nullptr;
        if (wnd == t_creating)
            t_creatingGone = true;
        wnd->PostNcDestroy();
        return result;
    }
    return wnd->WindowProc(msg, wParam, lParam);
}

const char *AfxRegisterWndClass(UINT classStyle, HCURSOR cursor, HBRUSH background, HICON icon)
{
    static std::mutex lock;
    static std::set<std::string> names;
    char name[96];
    std::snprintf(name, sizeof name, "cl:%p:%x:%p:%p:%p", static_cast<void *>(AfxGetInstanceHandle()),
                  classStyle, static_cast<void *>(cursor), static_cast<void *>(background),
                  static_cast<void *>(icon));
    std::lock_guard<std::mutex> hold(lock);
    auto known = names.find(name);
    if (known != names.end())
        return known->c_str();
    WNDCLASSA wc{};
    wc.style = classStyle;
    wc.lpfnWndProc = &AfxWndProc;
    wc.hInstance = AfxGetInstanceHandle();
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.hIcon = icon;
    wc.lpszClassName = name;
    if (!::RegisterClassA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return names.insert(name).first->c_str();
}

CWnd *CWnd::FromHandle(HWND hwnd)
{
    return hwnd ? static_cast<CWnd *>(::GetPropA(hwnd, kObjectProp)) : nullptr;
}

void CWnd::Attach(HWND hwnd)
{
    m_hWnd = hwnd;
    ::SetPropA(hwnd, kObjectProp, this);
}

void CWnd::Detach()
{
    if (m_hWnd)
        ::RemovePropA(m_hWnd, kObjectProp);
    m_hWnd = nullptr;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd *parent)
{
    return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, (int)id));
}

bool CWnd::SubclassWindow(HWND hwnd)
{
    if (m_hWnd || !hwnd || FromHandle(hwnd))
        return false;
    Attach(hwnd);
    m_oldProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
    return true;
}

HWND CWnd::UnsubclassWindow()
{
    HWND hwnd = m_hWnd;
    if (hwnd && m_oldProc)
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_oldProc));
    m_oldProc = nullptr;
    Detach();
    return hwnd;
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd *wnd = FromHandle(hwnd);
    if (!wnd)
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        // Last message: give it to the original procedure, then let go.
        WNDPROC old = wnd->m_oldProc;
        wnd->UnsubclassWindow();
        return old ? ::CallWindowProcA(old, hwnd, msg, wParam, lParam)
                   : ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    return wnd->WindowProc(msg, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (OnWndMsg(msg, wParam, lParam, result))
        return result;
    return DefWindowProc(msg, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (m_oldProc)
        return ::CallWindowProcA(m_oldProc, m_hWnd, msg, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
}

bool CWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result)
{
    result = 0;
    switch (msg) {
    case WM_COMMAND: {
        UINT code = HIWORD(wParam);
        if (code == 1 && lParam == 0)
            code = 0; // an accelerator is a command like a menu item
        return OnCmdMsg(LOWORD(wParam), code, lParam);
    }
    case WM_DRAWITEM: {
        auto *dis = reinterpret_cast<DRAWITEMSTRUCT *>(lParam);
        if (dis && dis->CtlType != ODT_MENU) {
            if (CWnd *child = FromHandle(dis->hwndItem)) {
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

std::string CWnd::GetWindowText() const
{
    int len = ::GetWindowTextLengthA(m_hWnd);
    if (len <= 0)
        return std::string();
    std::vector<char> buf((size_t)len + 1);
    int got = ::GetWindowTextA(m_hWnd, buf.data(), len + 1);
    return std::string(buf.data(), got > 0 ? (size_t)got : 0);
}

std::string CWnd::GetDlgItemText(int id) const
{
    HWND item = GetDlgItem(id);
    if (!item)
        return std::string();
    int len = ::GetWindowTextLengthA(item);
    if (len <= 0)
        return std::string();
    std::vector<char> buf((size_t)len + 1);
    int got = ::GetWindowTextA(item, buf.data(), len + 1);
    return std::string(buf.data(), got > 0 ? (size_t)got : 0);
}

void CWnd::ScreenToClient(RECT *r) const
{
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT *>(r), 2);
}

void CWnd::CenterWindow() const
{
    RECT work;
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT around = work;
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &around);
    RECT me;
    ::GetWindowRect(m_hWnd, &me);
    int w = me.right - me.left, h = me.bottom - me.top;
    int x = (around.left + around.right - w) / 2, y = (around.top + around.bottom - h) / 2;
    if (x + w > work.right)
        x = work.right - w;
    if (y + h > work.bottom)
        y = work.bottom - h;
    if (x < work.left)
        x = work.left;
    if (y < work.top)
        y = work.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::DestroyWindow()
{
    if (!m_hWnd)
        return FALSE;
    return ::DestroyWindow(m_hWnd);
}

} // namespace cl
