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

// Local: one instance per user session.
const char kInstanceMutex[] = "Local\\ZEB_QUVVEL.instance";

HANDLE TakeInstance(DWORD waitMs)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutex);
    if (!mutex)
        return nullptr;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD w = WaitForSingleObject(mutex, 100);
        if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) // abandoned: the holder ended
            return mutex;
        if (w != WAIT_TIMEOUT)
            break;
        HWND other = FindWindowA(nullptr, kFrameTitle);
        if (other && !GetPropA(other, kClosingProp))
            break; // running: this start is refused
        if (GetTickCount() - start >= waitMs)
            break;
    }
    CloseHandle(mutex);
    return nullptr;
}

BOOL CZEBApp::InitInstance()
{
    m_instance = TakeInstance(kRestartWaitMs);
    if (!m_instance)
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
    if (m_instance) {     // the store is emptied by now: the next instance may start
        ReleaseMutex(m_instance);
        CloseHandle(m_instance);
        m_instance = nullptr;
    }
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
