// CVelgesApp: runs the main dialog for the life of the program.
#include "classlib/classlib.h"

#include "AppState.h"
#include "MainDlg.h"
#include "Operations.h"
#include "SelfTest.h"
#include "SmallDialogs.h"
#include "resource.h"

namespace vel {

class CVelgesApp : public cl::CWinApp {
public:
    BOOL InitInstance() override
    {
        LoadStdProfileSettings(0);
        CMainDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
        return FALSE;
    }
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {
            cl::OnCommand<&CVelgesApp::OnAppAbout>(ID_APP_ABOUT),
            cl::OnCommand<&CVelgesApp::OnPresentPin>(ID_PRESENT_PIN),
            cl::OnCommand<&CVelgesApp::OnSelfTest>(ID_SELF_TEST),
        };
        static const cl::MessageMap map(CWinApp::GetMessageMap(), entries);
        return &map;
    }

private:
    void OnPresentPin() { PresentPin(); }
    void OnSelfTest() { TestServices(); }
    void OnAppAbout()
    {
        CAboutDlg about;
        about.DoModal();
    }
};

CVelgesApp theApp;

} // namespace vel
