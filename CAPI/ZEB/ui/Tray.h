// CTray: the tray program's icon in the notification area, with its busy
// animation, its popup menu (resource 130) and its double-click command.
// UI thread only.
#ifndef ZEB_UI_TRAY_H
#define ZEB_UI_TRAY_H

#include <windows.h>

#include <vector>

#include "classlib/notifyicon.h"
#include "classlib/wnd.h"
#include "resource.h"

namespace zeb {

constexpr UINT kTrayIconId = IDR_TRAYICON;  // icon id and menu resource
constexpr UINT kTrayCallback = WM_USER + 1; // the icon's callback message

class CTray : public cl::CWnd {
public:
    CTray() = default;
    // Removes the icon, frees the animation icons, destroys the window.
    ~CTray() override;

    // Makes the hidden window and adds the icon.
    //   target    the window that receives the menu's commands (the frame)
    //   icon, tip the first icon and tip (ANSI)
    // FALSE when the window cannot be made or the shell refuses the icon.
    BOOL Create(HWND target, HICON icon, const char *tip);
    // The animation's frames, loaded from the resources in this order.
    // FALSE (list emptied) when one cannot be loaded.
    BOOL SetIconList(const std::vector<UINT> &resourceIds);
    // Starts the animation (250 ms a frame, no time limit), keeping the icon
    // shown now to put back when it stops. TRUE when the timer runs.
    BOOL Animate();
    // Stops the animation and puts back the icon shown before it. FALSE when
    // none ran. Call it before showing a status icon, which it would cover.
    BOOL StopAnimation();
    bool Animating() const { return m_timer != 0; }
    // The tip and the icon, sent only while the shell has the icon.
    BOOL SetTip(const char *tip) { return m_icon.SetTip(tip); }
    BOOL SetIcon(HICON icon) { return m_icon.SetIcon(icon); }
    HICON CurrentIcon() const { return m_icon.m_nid.hIcon; }
    bool IsAdded() const { return m_icon.IsAdded(); }
    // Stops the animation and takes the icon out of the notification area.
    void RemoveIcon()
    {
        StopAnimation();
        m_icon.Delete();
    }
    // The popup shows "Relancer ZEB" for its refresh item (event-driven mode).
    void SetRestartMode(bool on) { m_restartMode = on; }

    // The icon's mouse messages: wParam the icon id, lParam the mouse message.
    // Right button up: the popup menu, its command to the target; double
    // click: the default item's command. 1 when handled, 0 otherwise.
    virtual LRESULT OnTrayNotification(WPARAM id, LPARAM mouse);

    const cl::MessageMap *GetMessageMap() const override;

private:
    LRESULT OnCallback(WPARAM w, LPARAM l) { return OnTrayNotification(w, l); }
    LRESULT OnTimer(WPARAM, LPARAM);
    void FreeIcons();

    cl::CNotifyIcon m_icon;
    HWND m_target = nullptr;
    UINT m_timerId = 777;
    UINT_PTR m_timer = 0;
    UINT m_defaultItem = 2; // by position: "Lister l'état des lecteurs..."
    size_t m_index = 0;
    HICON m_saved = nullptr;
    bool m_restartMode = false;
    std::vector<HICON> m_icons;
};

} // namespace zeb

#endif
