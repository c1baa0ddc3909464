// CWinApp: the one application object. The program defines a global instance
// of a class derived from it; WinMain (in this library) runs its
// InitInstance and, when that returns TRUE, the message loop.
#pragma once
#include <windows.h>
#include "classlib/wnd.h"

namespace cl {

class CWinApp : public CCmdTarget {
public:
    CWinApp();
    ~CWinApp() override;

    HINSTANCE m_hInstance = nullptr;
    CWnd *m_pMainWnd = nullptr;

    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return m_exitCode; }
    virtual int Run();

    // Kept for the shape of the start-up; the programs keep no recently-used list.
    void LoadStdProfileSettings(UINT maxRecent = 0) {}

    static CWinApp *Get() { return s_app; }

protected:
    int m_exitCode = 0;

private:
    static CWinApp *s_app;
};

inline CWinApp *AfxGetApp()
{
    return CWinApp::Get();
}
// The module of the program (of the DLL, for a copy of the layer linked into
// one). Resources are looked up in AfxGetResourceHandle() (module.h).
HINSTANCE AfxGetInstanceHandle();

// The entry shared by WinMain and the tests: binds the instance, runs the app.
int AfxWinMain(HINSTANCE instance);

} // namespace cl
