#include "classlib/frame.h"

#include "classlib/app.h"
#include "classlib/module.h"

namespace cl {

const MessageMap *CFrameWnd::GetMessageMap() const
{
    static const MessageEntry entries[] = {
        OnMessage<&CFrameWnd::OnCreate>(WM_CREATE),
        OnMessage<&CFrameWnd::OnClose>(WM_CLOSE),
        OnMessage<&CFrameWnd::OnDestroy>(WM_DESTROY),
    };
    static const MessageMap map(CWnd::GetMessageMap(), entries);
    return &map;
}

bool CFrameWnd::OnCmdMsg(UINT id, UINT code, LPARAM lParam)
{
    if (CWnd::OnCmdMsg(id, code, lParam))
        return true;
    CWinApp *app = AfxGetApp();
    return app && app->OnCmdMsg(id, code, lParam);
}

BOOL CFrameWnd::LoadFrame(UINT resourceId, DWORD style, CWnd *parent, void *context)
{
    HINSTANCE resources = AfxGetResourceHandle();
    char title[256] = "";
    ::LoadStringA(resources, resourceId, title, sizeof title);
    HICON icon = ::LoadIconA(resources, MAKEINTRESOURCEA(resourceId));
    const char *className = AfxRegisterWndClass(CS_DBLCLKS, ::LoadCursorA(nullptr, IDC_ARROW),
                                                reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), icon);
    if (!className)
        return FALSE;
    m_hMenuDefault = ::LoadMenuA(resources, MAKEINTRESOURCEA(resourceId));
    HMENU menu = m_hMenuDefault;
    // Past this call the object may be gone (see above): nothing of it is used.
    BOOL made = CreateEx(0, className, title, style & ~FWS_ADDTOTITLE, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, parent ? parent->m_hWnd : nullptr, menu, context);
    if (!made && menu)
        ::DestroyMenu(menu); // a window that was never made did not take it
    return made;
}

LRESULT CFrameWnd::OnClose(WPARAM, LPARAM)
{
    DestroyWindow();
    return 0;
}

LRESULT CFrameWnd::OnDestroy(WPARAM, LPARAM)
{
    CWinApp *app = AfxGetApp();
    if (app && app->m_pMainWnd == this)
        ::PostQuitMessage(0);
    return 0;
}

} // namespace cl
