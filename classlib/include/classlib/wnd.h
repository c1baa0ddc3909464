// CWnd: a C++ object bound to one window handle. Our window procedure finds
// the object through a window property and runs its message map; a window
// subclassed from a dialog template keeps its original procedure for the
// messages the map leaves alone.
#pragma once
#include <windows.h>
#include <string>
#include "classlib/messagemap.h"

namespace cl {

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;

    HWND m_hWnd = nullptr;
    operator HWND() const { return m_hWnd; }

    // The object bound to a window, or null for a window of no object of ours.
    static CWnd *FromHandle(HWND hwnd);

    // Binds this object to the control `id` of `parent` and routes the
    // control's messages through our map first. False when there is no such
    // control or this object is already bound.
    bool SubclassDlgItem(UINT id, CWnd *parent);
    bool SubclassWindow(HWND hwnd);
    HWND UnsubclassWindow();

    // Creates a window of a class whose procedure is ours (AfxRegisterWndClass)
    // bound to this object from its first message (WM_CREATE reaches the map).
    // A window of another class is subclassed once created. FALSE when this
    // object is already bound or the window cannot be made (last error as
    // CreateWindowExA left it). The window is destroyed with the object.
    BOOL CreateEx(DWORD exStyle, const char *className, const char *windowName, DWORD style, int x, int y,
                  int width, int height, HWND parent, HMENU menu, void *param = nullptr);

    // Thin forwards to user32.
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    BOOL ShowWindow(int cmd) const { return ::ShowWindow(m_hWnd, cmd); }
    BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void SetWindowText(const char *text) const { ::SetWindowTextA(m_hWnd, text); }
    std::string GetWindowText() const;
    void SetDlgItemText(int id, const char *text) const { ::SetDlgItemTextA(m_hWnd, id, text); }
    std::string GetDlgItemText(int id) const;
    LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const
    {
        return ::SendMessageA(m_hWnd, msg, w, l);
    }
    BOOL PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return ::PostMessageA(m_hWnd, msg, w, l); }
    void GetClientRect(RECT *r) const { ::GetClientRect(m_hWnd, r); }
    void GetWindowRect(RECT *r) const { ::GetWindowRect(m_hWnd, r); }
    void ScreenToClient(RECT *r) const;
    void Invalidate(BOOL erase = TRUE) const { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void UpdateWindow() const { ::UpdateWindow(m_hWnd); }
    BOOL RedrawWindow(UINT flags) const { return ::RedrawWindow(m_hWnd, nullptr, nullptr, flags); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }
    HMENU GetMenu() const { return ::GetMenu(m_hWnd); }
    void SetFont(HFONT font, BOOL redraw = TRUE) const { SendMessage(WM_SETFONT, (WPARAM)font, redraw); }
    int MessageBox(const char *text, const char *caption, UINT type = MB_OK) const
    {
        return ::MessageBoxA(m_hWnd, text, caption, type);
    }
    // Centres the window on its owner, or on the work area when it has none.
    void CenterWindow() const;
    BOOL DestroyWindow();

    // Owner-draw reflection: the parent hands WM_DRAWITEM of a control bound to
    // an object of ours to that object.
    virtual void DrawItem(DRAWITEMSTRUCT *dis) {}
    // WM_CTLCOLOR* of a child (or of a dialog itself: child == own handle).
    // A non-null brush answers the message; null leaves it to the default.
    virtual HBRUSH OnCtlColor(HDC dc, HWND child, UINT ctlType) { return nullptr; }

    // The procedure every window of ours runs first.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

protected:
    // Our handling shared by windows and dialogs: reflection, colours, the map.
    // True when handled, with the message's answer in `result`.
    bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result);
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

    void Attach(HWND hwnd);
    void Detach();
    // After the last message of a window made by CreateEx (the object is
    // already unbound). A frame deletes itself here.
    virtual void PostNcDestroy() {}

    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    friend LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    WNDPROC m_oldProc = nullptr;
    bool m_created = false; // made by CreateEx: destroyed with the object
};

// The procedure of the window classes registered by AfxRegisterWndClass.
LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Registers (once per set of attributes) a window class of the code module
// whose procedure is AfxWndProc, and gives its name; the name stays valid to
// the end of the process. NULL when the class cannot be registered.
const char *AfxRegisterWndClass(UINT classStyle, HCURSOR cursor = nullptr, HBRUSH background = nullptr,
                                HICON icon = nullptr);

} // namespace cl
