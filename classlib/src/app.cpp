#include "classlib/app.h"

#include <commctrl.h>

#include "classlib/module.h"

namespace cl {

CWinApp *CWinApp::s_app = nullptr;

CWinApp::CWinApp()
{
    s_app = this;
}

CWinApp::~CWinApp()
{
    if (s_app == this)
        s_app = nullptr;
}

int CWinApp::Run()
{
    MSG msg;
    BOOL got;
    while ((got = ::GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1)
            break;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    if (got == 0)
        m_exitCode = (int)msg.wParam;
    return ExitInstance();
}

HINSTANCE AfxGetInstanceHandle()
{
    CWinApp *app = CWinApp::Get();
    if (app && app->m_hInstance)
        return app->m_hInstance;
    return AfxGetCodeModule();
}

int AfxWinMain(HINSTANCE instance)
{
    CWinApp *app = CWinApp::Get();
    if (!app)
        return 1;
    app->m_hInstance = instance;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES |
                                             ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}

} // namespace cl
