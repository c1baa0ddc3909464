// CNotifyIcon: one icon of a window in the notification area
// (Shell_NotifyIconA), its data kept whole, and whether the shell took it:
// changes and the removal are sent only for an icon the shell has.
#pragma once
#include <windows.h>
#include <shellapi.h>

namespace cl {

class CNotifyIcon {
public:
    CNotifyIcon();
    ~CNotifyIcon() { Delete(); }
    CNotifyIcon(const CNotifyIcon &) = delete;
    CNotifyIcon &operator=(const CNotifyIcon &) = delete;

    NOTIFYICONDATAA m_nid; // the icon's data as last sent
    bool IsAdded() const { return m_added; }

    // Adds the icon: clicks and moves reach `owner` as callbackMessage (wParam
    // the id, lParam the mouse message). tip: ANSI, cut to what fits.
    // FALSE when already added or when the shell refuses it.
    BOOL Add(HWND owner, UINT id, UINT callbackMessage, HICON icon, const char *tip);
    // NIM_MODIFY of the icon or the tip; FALSE (nothing sent) while not added.
    BOOL SetIcon(HICON icon);
    BOOL SetTip(const char *tip);
    // Removes the icon; FALSE when it was not added.
    BOOL Delete();

private:
    bool m_added = false;
};

} // namespace cl
