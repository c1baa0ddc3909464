// CMainFrame: the tray program's hidden window. It owns the settings and the
// card side (ZebCore), shows the tray status, turns the workers' posted
// messages into work, and on WM_CLOSE waits for every worker before the
// window goes.
#ifndef ZEB_MAIN_FRAME_H
#define ZEB_MAIN_FRAME_H

#include <windows.h>

#include <memory>

#include "classlib/frame.h"
#include "FramePcsc.h"
#include "ReaderStateDlg.h"
#include "resource.h"
#include "Tray.h"
#include "zeb_core.h"

namespace zeb {

// Private messages of the frame (all posted).
constexpr UINT WM_ZEB_TRAYICON = WM_USER + 1;
constexpr UINT WM_ZEB_START = WM_USER + 2;
constexpr UINT WM_ZEB_STATUS = WM_USER + 3;
constexpr UINT WM_USER_INIT_AGAIN = WM_USER + 4;
constexpr UINT WM_ZEB_READERS_CHANGED = WM_USER + 5;

// The title a second instance looks for, and the mark of a frame that is
// closing (a restarted instance waits for it to go).
extern const char kFrameTitle[];
extern const char kClosingProp[];

// Made with new: the frame deletes itself after its window's last message.
class CMainFrame : public cl::CFrameWnd, public CoreSink, public SlotListHost {
public:
    // Reads the settings (creating the per-user key when needed) and removes
    // the certificates an earlier run left bound to the card provider.
    CMainFrame();
    // Waits for the workers, removes what they propagated, finalises.
    ~CMainFrame() override;

    const cl::MessageMap *GetMessageMap() const override;
    ZebCore &core() { return *m_core; }

    // The workers' reports, posted to this window.
    void PostStatus(int status) override;
    void PostInitAgain() override;
    // The slot list is built: the reader monitor starts (event-driven mode).
    void SlotListReady() override;

    // The reader-state dialog's view of the frame.
    bool Stopping() override { return m_core->Stopping(); }
    bool FullReInitPending() override { return m_core->fullReInit != 0; }
    bool Vel4Mode() override { return m_core->settings().patch_fido_v4 != 0; }
    bool AutoDetect() override { return m_core->settings().autoDetect != 0; }
    bool SlotRows(std::vector<SlotRow> *rows) override { return m_core->TrySlotRows(rows); }
    void Refresh() override { OnMytrayRefresh(); }
    void ToggleAutoDetect() override { m_core->ToggleAutoDetect(); }

private:
    LRESULT OnCreate(WPARAM, LPARAM);
    LRESULT OnStartThreads(WPARAM, LPARAM);
    LRESULT OnTrayStatus(WPARAM, LPARAM);
    LRESULT OnInitAgain(WPARAM, LPARAM);
    LRESULT OnReadersChanged(WPARAM, LPARAM);
    LRESULT OnPowerBroadcast(WPARAM, LPARAM);
    LRESULT OnSessionChange(WPARAM, LPARAM);
    LRESULT OnQueryEndSession(WPARAM, LPARAM);
    LRESULT OnEndSession(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);
    LRESULT OnDestroy(WPARAM, LPARAM);
    LRESULT OnSetFocus(WPARAM, LPARAM);
    void OnMytrayRefresh();
    // The restart command's end, looked at by a timer: the instance closes
    // once the command has started the program, else it stays (fallback).
    LRESULT OnTimer(WPARAM, LPARAM);
    void EndRestartWatch();
    // A restart that cannot be made: a full re-initialisation instead (once).
    void FallBackToReInit();
    void OnListReaders();
    void OnAppExit();
    // Shows a status icon: the animation stops first, or it would put its
    // saved icon back over the status one.
    void ShowStatusIcon(UINT resourceId);

    std::unique_ptr<ZebCore> m_core;
    CTray m_tray;
    std::unique_ptr<FramePcsc> m_pcsc; // event-driven mode's reader monitor
    std::unique_ptr<CSlotList> m_pSlotList;
    HPOWERNOTIFY m_hPowerNotify = nullptr;
    HANDLE m_restartCommand = nullptr; // the restart's cmd.exe while it runs
    DWORD m_restartStart = 0;
};

} // namespace zeb

#endif
