#include "ZebApp.h"

#include <commctrl.h>

#include "AboutDlg.h"
#include "event_log.h"
#include "loader.h"
#include "MainFrame.h"
#include "resource.h"

namespace zeb {

namespace {
// A restarted instance waits this long for the old one to finish closing.
const DWORD kRestartWaitMs = 30000;
} // namespace

bool NoOtherInstance(DWORD waitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND other = FindWindowA(nullptr, kFrameTitle);
        if (!other)
            return true;
        if (!GetPropA(other, kClosingProp))
            return false; // running: this start is refused
        if (GetTickCount() - start >= waitMs)
            return false;
        // Woken by the old frame's end or by the next check, whichever comes first.
        DWORD pid = 0;
        GetWindowThreadProcessId(other, &pid);
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process) {
            WaitForSingleObject(process, 100);
            CloseHandle(process);
        } else {
            Sleep(100);
        }
    }
}

BOOL CZEBApp::InitInstance()
{
    if (!NoOtherInstance(kRestartWaitMs))
        return FALSE;
    int loaded = ZEB_LoadPKCS11();
    if (loaded == ZEB_LOAD_NOACCESS)
        return FALSE;
    if (loaded != ZEB_LOAD_OK) {
        MessageBoxA(nullptr,
                    "La librairie vel3_pkcs11_w64.dll n'a pu être chargée. Merci de bien vouloir vérifier "
                    "l'installation de vos composants SorveloVEL.",
                    "Gestionnaire de certificats VEL", MB_ICONERROR);
        return FALSE;
    }
    INITCOMMONCONTROLSEX icc{8, 0xFF};
    InitCommonControlsEx(&icc);
    auto *frame = new (std::nothrow) CMainFrame();
    if (!frame)
        return FALSE;
    m_pMainWnd = frame;
    if (!frame->LoadFrame(IDR_MAINFRAME, WS_OVERLAPPEDWINDOW | cl::FWS_ADDTOTITLE)) {
        m_pMainWnd = nullptr; // the frame deleted itself with its window
        return FALSE;
    }
    frame->SetWindowText(kFrameTitle); // the title the next start looks for
    frame->UpdateWindow();
    return TRUE;
}

int CZEBApp::ExitInstance()
{
    m_pMainWnd = nullptr; // deleted with its window
    return cl::CWinApp::ExitInstance();
}

void CZEBApp::OnAppAbout()
{
    CAboutDlg about;
    about.DoModal();
}

const cl::MessageMap *CZEBApp::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnCommand<&CZEBApp::OnAppAbout>(ID_APP_ABOUT),
    };
    static const cl::MessageMap map(cl::CWinApp::GetMessageMap(), entries);
    return &map;
}

} // namespace zeb

zeb::CZEBApp theApp;
