#include "Tray.h"

#include "classlib/module.h"
#include "resource.h"

namespace zeb {

namespace {
const UINT kFrameMs = 250;
} // namespace

CTray::~CTray()
{
    StopAnimation();
    m_icon.Delete();
    FreeIcons();
    DestroyWindow();
}

BOOL CTray::Create(HWND target, HICON icon, const char *tip)
{
    m_target = target;
    if (!m_hWnd && !CreateEx(0, cl::AfxRegisterWndClass(0), "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr))
        return FALSE;
    return m_icon.Add(m_hWnd, kTrayIconId, kTrayCallback, icon, tip);
}

void CTray::FreeIcons()
{
    for (HICON icon : m_icons)
        DestroyIcon(icon);
    m_icons.clear();
}

BOOL CTray::SetIconList(const std::vector<UINT> &resourceIds)
{
    if (Animating())
        StopAnimation(); // no frame is shown after it is freed
    FreeIcons();
    for (UINT id : resourceIds) {
        HICON icon = static_cast<HICON>(
            LoadImageA(cl::AfxGetResourceHandle(), MAKEINTRESOURCEA(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
        if (!icon) {
            FreeIcons();
            return FALSE;
        }
        m_icons.push_back(icon);
    }
    return TRUE;
}

BOOL CTray::Animate()
{
    StopAnimation();
    m_index = 0;
    m_saved = m_icon.IsAdded() ? m_icon.m_nid.hIcon : nullptr;
    m_timer = ::SetTimer(m_hWnd, m_timerId, kFrameMs, nullptr);
    return m_timer != 0;
}

BOOL CTray::StopAnimation()
{
    BOOL killed = FALSE;
    if (m_timer)
        killed = ::KillTimer(m_hWnd, m_timerId);
    m_timer = 0;
    if (m_saved && m_icon.IsAdded())
        m_icon.SetIcon(m_saved);
    m_saved = nullptr;
    return killed;
}

LRESULT CTray::OnTimer(WPARAM, LPARAM)
{
    // A tick already queued when the animation stopped changes nothing.
    if (!m_timer || m_icons.empty())
        return 0;
    m_index = (m_index + 1) % m_icons.size();
    if (m_icon.IsAdded())
        m_icon.SetIcon(m_icons[m_index]);
    return 0;
}

LRESULT CTray::OnTrayNotification(WPARAM id, LPARAM mouse)
{
    if (id != kTrayIconId)
        return 0;
    HWND target = m_target;
    switch (LOWORD(mouse)) {
    case WM_RBUTTONUP: {
        HMENU menu = LoadMenuA(cl::AfxGetResourceHandle(), MAKEINTRESOURCEA(kTrayIconId));
        HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
        if (!popup) {
            if (menu)
                DestroyMenu(menu);
            return 0;
        }
        if (m_restartMode)
            ModifyMenuA(popup, ID_MYTRAY_REFRESH, MF_BYCOMMAND | MF_STRING, ID_MYTRAY_REFRESH,
                        "Relancer ZEB");
        SetMenuDefaultItem(popup, m_defaultItem, TRUE);
        POINT at;
        GetCursorPos(&at);
        SetForegroundWindow(target);
        TrackPopupMenu(popup, TPM_LEFTBUTTON, at.x, at.y, 0, target, nullptr);
        ::PostMessageA(target, WM_NULL, 0, 0); // the menu closes when the user clicks elsewhere
        DestroyMenu(menu);
        return 1;
    }
    case WM_LBUTTONDBLCLK: {
        SetForegroundWindow(target);
        HMENU menu = LoadMenuA(cl::AfxGetResourceHandle(), MAKEINTRESOURCEA(kTrayIconId));
        HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
        if (!popup) {
            if (menu)
                DestroyMenu(menu);
            return 0;
        }
        UINT command = GetMenuItemID(popup, m_defaultItem);
        DestroyMenu(menu);
        ::SendMessageA(target, WM_COMMAND, command, 0);
        return 1;
    }
    default:
        return 1;
    }
}

const cl::MessageMap *CTray::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnMessage<&CTray::OnCallback>(kTrayCallback),
        cl::OnMessage<&CTray::OnTimer>(WM_TIMER),
    };
    static const cl::MessageMap map(cl::CWnd::GetMessageMap(), entries);
    return &map;
}

} // namespace zeb
