// CMainDlg: the card manager's one window. It holds the log panes and the
// identification, runs every command to its end on the UI thread, and is the
// card layer's CardUi (panes, status line, progress, prompts).
#ifndef VEL3GES_APP_MAINDLG_H
#define VEL3GES_APP_MAINDLG_H

#include <string>
#include <vector>

#include "classlib/classlib.h"

#include "CardUi.h"
#include "PaneLog.h"
#include "ProgressButton.h"

namespace vel {

class CMainDlg : public cl::CDialog, public CardUi {
public:
    CMainDlg();
    ~CMainDlg() override;

    const cl::MessageMap *GetMessageMap() const override;
    void DoDataExchange(cl::CDataExchange *dx) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    bool OnCmdMsg(UINT id, UINT code, LPARAM lParam) override;

    // ---- CardUi ----
    void AppendPaneLine(PaneType type, const char *line) override;
    unsigned PaneLineCount(PaneType type) override;
    void TrimPane(PaneType type, unsigned first, unsigned last) override;
    void PushTraceServiceStart() override;
    PaneType ShownPane() override;
    void ShowIdentification(bool show) override;
    void SetStatusText(const char *text) override;
    void StepProgressTo(unsigned position) override;
    void PumpMessages() override;
    bool CancelRequested() override;
    uint32_t OnNoReader() override;
    uint32_t OnNoCard() override;
    uint32_t OnChooseLogin() override;
    uint32_t OnPinRequest(uint32_t promptKind, uint32_t pinStatus, SecretText &pin) override;

    // ---- panes ----
    void ShowPane(PaneType type);
    void HidePane();
    void ClearPane(PaneType type);
    const PaneLog *Log(PaneType type) const;
    cl::CEdit *PaneEdit(PaneType type);

    // ---- long operations ----
    void BeginLongOperation(unsigned steps, bool cancellable);
    void EndLongOperation();
    void ShowStatus(const char *text); // shows the status line without pumping
    // True while another command or long operation runs under the one
    // asking (a command reached through the message pumping of another).
    bool OtherOperationRunning() const { return !m_operations.empty() || m_busy > 1; }

    cl::CBitmapButton &CardButton() { return m_btnIntro; }
    cl::CBitmapButton &ReaderButton() { return m_btnChangeReader; }

private:
    // Message handlers.
    void OnShowJournal();
    void OnShowData();
    void OnShowDiagnostic();
    void OnShowTrace();
    void OnPrint();
    void OnClosePane();
    void OnCardIntroduction();
    void OnReadData();
    void OnReadSituations();
    void OnPresentPin();
    void OnChangePin();
    void OnUnblockPin();
    void OnChooseReader();
    void OnEnterKey();
    void OnCertificates();
    void OnCancelOperation();
    void OnPrevious();
    void OnNext();
    void OnOptions();
    LRESULT OnStart(WPARAM, LPARAM);
    LRESULT OnQueryEndSession(WPARAM, LPARAM);
    LRESULT OnEndSession(WPARAM, LPARAM);
    LRESULT OnPaint(WPARAM, LPARAM);
    LRESULT OnCloseRequest(WPARAM, LPARAM);

    PaneLog *MutableLog(PaneType type);
    void BuildBandRegion();
    COLORREF BandColour() const;
    // Runs one command or the start-up; a quit asked meanwhile waits for it.
    template <class F> void RunCommand(F &&body);

    cl::CButton m_btnCancelOperation;
    cl::CStatic m_status;
    cl::CStatic m_bandTop, m_bandBottom;
    cl::CButton m_btnTrace, m_btnDiag, m_btnData, m_btnJournal;
    cl::CButton m_btnClosePane, m_btnPrint;
    cl::CBitmapButton m_btnIntro, m_btnReadData, m_btnReadSituations, m_btnChangePin, m_btnQuit,
        m_btnChangeReader, m_btnUnblock, m_btnPrev, m_btnNext;
    cl::CEdit m_paneTrace, m_paneDataLower, m_paneJournal, m_paneDataUpper, m_paneDiag, m_paneCaption;
    cl::CRgn m_bandRegion;
    CProgressButton m_progressButton;
    cl::CProgressCtrl m_progress;

    PaneLog m_logJournal{PaneLog::TrimRule::OldestLine};
    PaneLog m_logDataUpper{PaneLog::TrimRule::None};
    PaneLog m_logDataLower{PaneLog::TrimRule::None};
    PaneLog m_logTrace{PaneLog::TrimRule::OldestRecord};
    PaneLog m_logDiag{PaneLog::TrimRule::OldestLine};

    int m_busy = 0; // commands running (nested through message pumping)
    bool m_quitPending = false;
    bool m_started = false; // the start message has been handled
    // One entry per long operation running. A command without a command bit
    // ("&Options") can start one inside another while that one pumps
    // messages: each ending gives back what its own beginning found.
    struct OperationFrame {
        uint32_t commands;
        int low, high, position;
        bool shown, cancellable, cancelRequested;
        std::string status;
    };
    std::vector<OperationFrame> m_operations;
};

} // namespace vel

#endif
