#include "MainFrame.h"

#include <wtsapi32.h>

#include <cstdio>
#include <string>

#include "cert_prop_service.h"
#include "cert_store.h"
#include "classlib/module.h"
#include "event_log.h"
#include "resource.h"

namespace zeb {

const char kFrameTitle[] = "ZEB_QUVVEL";
const char kClosingProp[] = "ZEB.closing";

namespace {
const char kTipTitle[] = "Gestionnaire de certificat VEL\r\n";
// The restart command (a pause of 2 s, then the program's start) is watched
// this often, and given this long before the instance stays after all.
const UINT_PTR kRestartTimer = 1;
const UINT kRestartPollMs = 100;
const DWORD kRestartLimitMs = 30000;

// This program's path; empty when it cannot be read.
std::wstring ProgramPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return L"";
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return L"";
        path.resize(path.size() * 2);
    }
}
} // namespace

CMainFrame::CMainFrame()
{
    Settings settings; // read once, kept by the card side
    EnsureSettingsKey(&settings);
    LoadSettings(&settings);
    // A tray killed during an exclusive hold left "CertPropSvc" stopped: given
    // back now, whatever this run's mode (a hold of a running tray is left to it).
    RestartCertPropSvcLeftStopped([](const std::string &line) { WriteEventLog("%s", line.c_str()); });
    m_core = std::make_unique<ZebCore>(this, settings);
    m_pcsc = std::make_unique<FramePcsc>(*m_core);
    m_pSlotList = std::make_unique<CSlotList>(*this);
    if (m_pSlotList->Create())
        m_pSlotList->ShowWindow(SW_HIDE);
    ZEB_cleanCAPICerts();
}

CMainFrame::~CMainFrame()
{
    m_pcsc.reset(); // stopped and joined before the card side goes
    m_pSlotList.reset();
    m_core.reset(); // nothing left to do after a close; else waits for the workers
}

LRESULT CMainFrame::OnCreate(WPARAM w, LPARAM l)
{
    if (cl::CFrameWnd::OnCreate(w, l) == -1)
        return -1;
    HINSTANCE resources = cl::AfxGetResourceHandle();
    HICON icon = LoadIconA(resources, MAKEINTRESOURCEA(IDI_TRAY));
    if (!m_tray.Create(m_hWnd, icon, "Ovrane Token Manager"))
        return -1;
    m_tray.SetRestartMode(Vel4Mode());
    m_tray.SetIconList({IDI_TRAY, IDI_TRAY_BUSY});
    m_tray.Animate();
    PostMessage(WM_ZEB_START);
    WTSRegisterSessionNotification(m_hWnd, NOTIFY_FOR_ALL_SESSIONS);
    m_hPowerNotify =
        RegisterPowerSettingNotification(m_hWnd, &GUID_MONITOR_POWER_ON, DEVICE_NOTIFY_WINDOW_HANDLE);
    return 0;
}

const cl::MessageMap *CMainFrame::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnMessage<&CMainFrame::OnCreate>(WM_CREATE),
        cl::OnMessage<&CMainFrame::OnSetFocus>(WM_SETFOCUS),
        cl::OnMessage<&CMainFrame::OnClose>(WM_CLOSE),
        cl::OnMessage<&CMainFrame::OnStartThreads>(WM_ZEB_START),
        cl::OnMessage<&CMainFrame::OnTrayStatus>(WM_ZEB_STATUS),
        cl::OnMessage<&CMainFrame::OnInitAgain>(WM_USER_INIT_AGAIN),
        cl::OnMessage<&CMainFrame::OnReadersChanged>(WM_ZEB_READERS_CHANGED),
        cl::OnMessage<&CMainFrame::OnPowerBroadcast>(WM_POWERBROADCAST),
        cl::OnMessage<&CMainFrame::OnSessionChange>(WM_WTSSESSION_CHANGE),
        cl::OnMessage<&CMainFrame::OnQueryEndSession>(WM_QUERYENDSESSION),
        cl::OnMessage<&CMainFrame::OnEndSession>(WM_ENDSESSION),
        cl::OnCommand<&CMainFrame::OnListReaders>(ID_LIST_READERS),
        cl::OnMessage<&CMainFrame::OnDestroy>(WM_DESTROY),
        cl::OnCommand<&CMainFrame::OnMytrayRefresh>(ID_MYTRAY_REFRESH),
        cl::OnCommand<&CMainFrame::OnAppExit>(ID_APP_EXIT),
        cl::OnMessage<&CMainFrame::OnTimer>(WM_TIMER),
    };
    static const cl::MessageMap map(cl::CFrameWnd::GetMessageMap(), entries);
    return &map;
}

void CMainFrame::PostStatus(int status)
{
    ::PostMessageA(m_hWnd, WM_ZEB_STATUS, 0, status);
}
void CMainFrame::PostInitAgain()
{
    ::PostMessageA(m_hWnd, WM_USER_INIT_AGAIN, 0, 0);
}
void CMainFrame::SlotListReady()
{
    m_pcsc->Start(m_hWnd);
}

LRESULT CMainFrame::OnSetFocus(WPARAM, LPARAM)
{
    return 0;
}

LRESULT CMainFrame::OnStartThreads(WPARAM, LPARAM)
{
    if (Vel4Mode())
        WriteEventLog("[ZEB] patch_fido branch active: launch init thread (InitSlotList + PCSC monitoring)");
    m_core->StartThreads();
    return 0;
}

LRESULT CMainFrame::OnTrayStatus(WPARAM, LPARAM status)
{
    const char *line = nullptr;
    UINT icon = 0;
    switch (status) {
    case kStatusReading:
        line = "Lecture de la carte VEL...";
        break;
    case kStatusSynchronised:
        line = m_core->SyncCount() <= 1 ? "Les certificats de la carte VEL sont synchronisés."
                                        : "Les certificats des cartes VEL sont synchronisés.";
        icon = IDI_SYNCHRONISED;
        break;
    case kStatusNoCard:
        line = "Aucune carte VEL présente...";
        icon = IDI_NOCARD;
        break;
    case kStatusInitialising:
        line = "Initialisation des lecteurs...";
        break;
    default:
        return 0;
    }
    char tip[128];
    snprintf(tip, sizeof tip, "%s%s", kTipTitle, line);
    m_tray.SetTip(tip); // nothing is sent for an icon the shell does not have
    if (icon)
        ShowStatusIcon(icon);
    else
        m_tray.Animate();
    return 0;
}

void CMainFrame::ShowStatusIcon(UINT resourceId)
{
    m_tray.StopAnimation();
    m_tray.SetIcon(LoadIconA(cl::AfxGetResourceHandle(), MAKEINTRESOURCEA(resourceId)));
}

LRESULT CMainFrame::OnInitAgain(WPARAM, LPARAM)
{
    m_core->InitAgain();
    return 0;
}

LRESULT CMainFrame::OnReadersChanged(WPARAM, LPARAM)
{
    if (m_core->Stopping() || !Vel4Mode() || !m_pcsc->Running())
        return 0;
    WriteEventLog("[ZEB] V3 OnReadersChanged : sync UI depuis PcscMonitoring");
    std::vector<ReaderPresence> readers;
    for (const ReaderInfo &r : m_pcsc->Readers())
        readers.push_back({r.name, r.present});
    bool any = m_core->SyncSlotInfos(readers);
    PostStatus(any ? kStatusSynchronised : kStatusNoCard);
    return 0;
}

LRESULT CMainFrame::OnPowerBroadcast(WPARAM event, LPARAM data)
{
    switch (event) {
    case PBT_APMSUSPEND:
        WriteEventLog("[ZEB] ***** System suspend *****");
        break;
    case PBT_APMRESUMESUSPEND:
        WriteEventLog("[ZEB] ***** System resume (PBT_APMRESUMESUSPEND) -> P4 reset V4 *****");
        if (Vel4Mode())
            m_pcsc->Resume();
        break;
    case PBT_APMRESUMEAUTOMATIC:
        WriteEventLog("[ZEB] ***** System automatic resume (PBT_APMRESUMEAUTOMATIC) -> P4 reset V4 *****");
        if (Vel4Mode())
            m_pcsc->Resume();
        break;
    case PBT_POWERSETTINGCHANGE: {
        // The system sends this one with its data; a posted copy comes from
        // someone else, and its pointer is nothing this process may read.
        if (!InSendMessage()) {
            WriteEventLog("[ZEB] WM_POWERBROADCAST PBT_POWERSETTINGCHANGE posted, data ignored");
            break;
        }
        auto *setting = reinterpret_cast<const POWERBROADCAST_SETTING *>(data);
        if (setting && IsEqualGUID(setting->PowerSetting, GUID_MONITOR_POWER_ON) &&
            setting->DataLength >= sizeof(DWORD)) {
            DWORD value;
            memcpy(&value, setting->Data, sizeof value);
            WriteEventLog("[ZEB] ***** GUID_MONITOR_POWER_ON val=%u (0=OFF 1=ON) *****", (unsigned)value);
            if (value == 1) {
                WriteEventLog("[ZEB] ***** Monitor ON -> P4 reset V4 *****");
                if (Vel4Mode())
                    m_pcsc->Unlock();
            }
        }
        break;
    }
    default:
        WriteEventLog("[ZEB] WM_POWERBROADCAST code=%u (non gere)", (unsigned)event);
        break;
    }
    return TRUE;
}

LRESULT CMainFrame::OnSessionChange(WPARAM code, LPARAM)
{
    bool unlock = false;
    switch (code) {
    case WTS_CONSOLE_CONNECT:
        WriteEventLog("[ZEB] ***** Console connect (WTS_CONSOLE_CONNECT) -> P4 reset V4 *****");
        unlock = true;
        break;
    case WTS_SESSION_LOGON:
        WriteEventLog("[ZEB] ***** Session logon (WTS_SESSION_LOGON) -> P4 reset V4 *****");
        unlock = true;
        break;
    case WTS_SESSION_LOCK:
        WriteEventLog("[ZEB] ***** Session lock (WTS_SESSION_LOCK) *****");
        break;
    case WTS_SESSION_UNLOCK:
        WriteEventLog("[ZEB] ***** Session unlock (WTS_SESSION_UNLOCK) -> P4 reset V4 *****");
        unlock = true;
        break;
    default:
        WriteEventLog("[ZEB] WTS event code=%u (non gere)", (unsigned)code);
        break;
    }
    if (unlock && Vel4Mode())
        m_pcsc->Unlock();
    return 0;
}

LRESULT CMainFrame::OnQueryEndSession(WPARAM, LPARAM)
{
    PostMessage(WM_CLOSE);
    return TRUE;
}

LRESULT CMainFrame::OnEndSession(WPARAM, LPARAM)
{
    return 1;
}

void CMainFrame::OnListReaders()
{
    if (m_core->Stopping() || !m_pSlotList->m_hWnd)
        return;
    m_pSlotList->ShowWindow(SW_SHOWNORMAL);
    SetForegroundWindow(m_pSlotList->m_hWnd);
}

void CMainFrame::OnAppExit()
{
    PostMessage(WM_CLOSE);
}

void CMainFrame::OnMytrayRefresh()
{
    WriteEventLog("[ZEB] OnMytrayRefresh ENTRY patch_enabled=%d fullReInit=%d", Vel4Mode() ? 1 : 0,
                  m_core->fullReInit ? 1 : 0);
    if (!Vel4Mode()) {
        m_core->Refresh();
        return;
    }
    if (m_restartCommand)
        return; // a restart is under way
    WriteEventLog("[ZEB] OnMytrayRefresh : restart ZEB (patch actif, event-driven)");
    // The program's path as the system names it (an ANSI copy of a folder
    // outside the code page holds '?'), and there to be started again.
    std::wstring path = ProgramPath();
    DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        WriteEventLog("[ZEB] OnMytrayRefresh : program file unusable gle=%lu, fallback ReInit",
                      (unsigned long)GetLastError());
        FallBackToReInit();
        return;
    }
    std::wstring command = L"cmd.exe /c timeout /t 2 /nobreak >nul && start \"\" \"" + path + L"\"";
    // The restarted instance waits while this mark is on; it comes off again
    // when the restart fails.
    SetPropA(m_hWnd, kClosingProp, reinterpret_cast<HANDLE>(1));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | DETACHED_PROCESS,
                        nullptr, nullptr, &si, &pi)) {
        WriteEventLog("[ZEB] OnMytrayRefresh : CreateProcess FAILED gle=%lu, fallback ReInit",
                      (unsigned long)GetLastError());
        RemovePropA(m_hWnd, kClosingProp);
        FallBackToReInit();
        return;
    }
    CloseHandle(pi.hThread);
    m_restartCommand = pi.hProcess;
    m_restartStart = GetTickCount();
    if (!::SetTimer(m_hWnd, kRestartTimer, kRestartPollMs, nullptr)) {
        PostMessage(WM_CLOSE); // no watch: closed as before, the command is on its way
        EndRestartWatch();
    }
}

LRESULT CMainFrame::OnTimer(WPARAM id, LPARAM)
{
    if (id != kRestartTimer || !m_restartCommand)
        return 0;
    bool ended = WaitForSingleObject(m_restartCommand, 0) == WAIT_OBJECT_0;
    if (m_core->Stopping()) { // closing meanwhile: the command goes its way
        EndRestartWatch();
        return 0;
    }
    if (!ended && GetTickCount() - m_restartStart < kRestartLimitMs)
        return 0;
    DWORD code = STILL_ACTIVE;
    if (ended)
        GetExitCodeProcess(m_restartCommand, &code);
    else
        TerminateProcess(m_restartCommand, 1); // hung: its program is not started now
    EndRestartWatch();
    if (ended && code == 0) { // the program is started: this instance makes way
        PostMessage(WM_CLOSE);
        return 0;
    }
    WriteEventLog("[ZEB] OnMytrayRefresh : restart FAILED exit=%lu, fallback ReInit", (unsigned long)code);
    RemovePropA(m_hWnd, kClosingProp);
    FallBackToReInit();
    return 0;
}

void CMainFrame::EndRestartWatch()
{
    ::KillTimer(m_hWnd, kRestartTimer);
    if (m_restartCommand)
        CloseHandle(m_restartCommand);
    m_restartCommand = nullptr;
}

void CMainFrame::FallBackToReInit()
{
    if (!m_core->fullReInit.exchange(1)) {
        m_core->reinit = 1;
        PostInitAgain();
    }
}

LRESULT CMainFrame::OnClose(WPARAM, LPARAM)
{
    if (m_core->Stopping())
        return 0; // a second close does nothing
    SetPropA(m_hWnd, kClosingProp, reinterpret_cast<HANDLE>(1));
    m_core->BeginStop();
    m_pcsc->Stop(); // the monitor and its workers end before the card side stops
    // Every worker ends before the window goes; their last posts are served.
    for (;;) {
        cl::CWinThread *workers[2];
        int n = m_core->Workers(workers);
        if (!cl::AfxPumpUntilThreadsEnd(workers, n))
            break; // WM_QUIT: the session is ending
        if (m_core->WorkersEnded())
            break;
    }
    // The store is emptied before the window goes: a restarted instance,
    // which waits for the window, never sees its own certificates removed.
    m_core->Shutdown();
    return cl::CFrameWnd::OnClose(0, 0);
}

LRESULT CMainFrame::OnDestroy(WPARAM, LPARAM)
{
    if (m_hPowerNotify)
        UnregisterPowerSettingNotification(m_hPowerNotify);
    m_hPowerNotify = nullptr;
    WTSUnRegisterSessionNotification(m_hWnd);
    EndRestartWatch();
    m_tray.RemoveIcon();
    if (m_pSlotList->m_hWnd)
        m_pSlotList->DestroyWindow();
    RemovePropA(m_hWnd, kClosingProp);
    return cl::CFrameWnd::OnDestroy(0, 0);
}

} // namespace zeb
