#include "classlib/notifyicon.h"

namespace cl {

namespace {
void CopyTip(NOTIFYICONDATAA &nid, const char *tip)
{
    ::lstrcpynA(nid.szTip, tip ? tip : "", sizeof nid.szTip);
}
} // namespace

// The size of the data up to the balloon fields (520 bytes on x86-64, 504 on
// x86): the tray program's size, which every shell since then accepts.
CNotifyIcon::CNotifyIcon() : m_nid{}
{
    m_nid.cbSize = NOTIFYICONDATAA_V3_SIZE;
}

BOOL CNotifyIcon::Add(HWND owner, UINT id, UINT callbackMessage, HICON icon, const char *tip)
{
    if (m_added)
        return FALSE;
    m_nid.hWnd = owner;
    m_nid.uID = id;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    CopyTip(m_nid, tip);
    m_added = ::Shell_NotifyIconA(NIM_ADD, &m_nid) != FALSE;
    return m_added;
}

BOOL CNotifyIcon::SetIcon(HICON icon)
{
    m_nid.hIcon = icon;
    if (!m_added)
        return FALSE;
    m_nid.uFlags = NIF_ICON;
    return ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
}

BOOL CNotifyIcon::SetTip(const char *tip)
{
    CopyTip(m_nid, tip);
    if (!m_added)
        return FALSE;
    m_nid.uFlags = NIF_TIP;
    return ::Shell_NotifyIconA(NIM_MODIFY, &m_nid);
}

BOOL CNotifyIcon::Delete()
{
    if (!m_added)
        return FALSE;
    m_added = false;
    m_nid.uFlags = 0;
    return ::Shell_NotifyIconA(NIM_DELETE, &m_nid);
}

} // namespace cl
