#include "MainDlg.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppState.h"
#include "CardConnection.h"
#include "CardRecords.h"
#include "Certificates.h"
#include "ProgramHost.h"
#include "ReaderChoice.h"
#include "CommandRules.h"
#include "Operations.h"
#include "PaneEditSync.h"
#include "PaneWriter.h"
#include "SmallDialogs.h"
#include "padded_field.h"
#include "resource.h"

namespace vel {

namespace {
constexpr UINT WM_START = WM_USER + 0x100;

// The command bit of a command id, 0 for the ids no bit guards.
uint32_t BitOfCommand(UINT id)
{
    switch (id) {
    case IDC_LECSIT:
        return CmdReadSituations;
    case IDC_LECDONNEES:
        return CmdReadData;
    case IDC_FORCERCP:
        return CmdUnblockPin;
    case ID_PRESENT_PIN:
        return CmdPresentPin;
    case IDC_CHANGERCODE:
        return CmdChangePin;
    case ID_SELF_TEST:
        return CmdSelfTest;
    case IDC_INTROCARTE:
        return CmdCardIntro;
    case IDC_CHANGELECT:
        return CmdChooseReader;
    case ID_TEST_READER:
        return CmdTestReader;
    case IDC_SHOW_JOURNAL:
        return CmdJournal;
    case IDC_SHOW_TRACE:
        return CmdTrace;
    case IDC_SHOW_DIAG:
        return CmdDiagnostic;
    case IDC_SHOW_DATA:
        return CmdData;
    case IDCANCEL:
        return CmdQuit;
    case ID_CERTIFICATES:
        return CmdCertificates;
    default:
        return 0;
    }
}

const char *PaneDescription(PaneType type)
{
    switch (type) {
    case PaneJournal:
        return "Fichier VEL-JOUR.TXT : Journal des manipulations";
    case PaneData:
        return "Fichier VEL-INFO.TXT : Données lues dans la VEL";
    case PaneTrace:
        return "Fichier VEL-TRAC.TXT : Trace des Services VEL";
    case PaneDiagnostic:
        return "Fichier VEL-DIAG.TXT : Diagnostic des incidents rencontrés";
    default:
        return "";
    }
}
} // namespace

CMainDlg::CMainDlg() : CDialog(IDD_MAIN)
{
}

CMainDlg::~CMainDlg()
{
    if (g_mainDlg == this)
        g_mainDlg = nullptr;
    if (GetCardUi() == this)
        SetCardUi(nullptr);
}

const cl::MessageMap *CMainDlg::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnCommand<&CMainDlg::OnShowJournal>(IDC_SHOW_JOURNAL),
        cl::OnCommand<&CMainDlg::OnShowData>(IDC_SHOW_DATA),
        cl::OnCommand<&CMainDlg::OnShowDiagnostic>(IDC_SHOW_DIAG),
        cl::OnCommand<&CMainDlg::OnShowTrace>(IDC_SHOW_TRACE),
        cl::OnCommand<&CMainDlg::OnPrint>(IDC_PRINT),
        cl::OnCommand<&CMainDlg::OnClosePane>(IDC_CLOSE_PANE),
        cl::OnCommand<&CMainDlg::OnCardIntroduction>(IDC_INTROCARTE),
        cl::OnCommand<&CMainDlg::OnReadData>(IDC_LECDONNEES),
        cl::OnCommand<&CMainDlg::OnReadSituations>(IDC_LECSIT),
        cl::OnCommand<&CMainDlg::OnPresentPin>(ID_PRESENT_PIN),
        cl::OnCommand<&CMainDlg::OnChooseReader>(IDC_CHANGELECT),
        cl::OnCommand<&CMainDlg::OnChangePin>(IDC_CHANGERCODE),
        cl::OnCommand<&CMainDlg::OnUnblockPin>(IDC_FORCERCP),
        cl::OnMessage<&CMainDlg::OnStart>(WM_START),
        cl::OnMessage<&CMainDlg::OnQueryEndSession>(WM_QUERYENDSESSION),
        cl::OnMessage<&CMainDlg::OnEndSession>(WM_ENDSESSION),
        cl::OnMessage<&CMainDlg::OnPaint>(WM_PAINT),
        cl::OnCommand<&CMainDlg::OnCancelOperation>(IDC_CANCEL_OPERATION),
        cl::OnCommand<&CMainDlg::OnPrevious>(IDC_PREV),
        cl::OnCommand<&CMainDlg::OnNext>(IDC_NEXT),
        cl::OnCommand<&CMainDlg::OnCertificates>(ID_CERTIFICATES),
        cl::OnCommand<&CMainDlg::OnOptions>(ID_OPTIONS),
        cl::OnMessage<&CMainDlg::OnCloseRequest>(WM_CLOSE),
        // Enter (IDOK) must not end the dialog past the quit and its clean-up.
        cl::OnCommand<&CMainDlg::OnEnterKey>(IDOK),
    };
    static const cl::MessageMap map(CDialog::GetMessageMap(), entries);
    return &map;
}

void CMainDlg::DoDataExchange(cl::CDataExchange *dx)
{
    cl::DDX_Control(dx, IDC_CANCEL_OPERATION, m_btnCancelOperation);
    cl::DDX_Control(dx, IDC_STATUS, m_status);
    cl::DDX_Control(dx, IDC_BAND_TOP, m_bandTop);
    cl::DDX_Control(dx, IDC_BAND_BOTTOM, m_bandBottom);
    cl::DDX_Control(dx, IDC_SHOW_TRACE, m_btnTrace);
    cl::DDX_Control(dx, IDC_SHOW_DIAG, m_btnDiag);
    cl::DDX_Control(dx, IDC_SHOW_DATA, m_btnData);
    cl::DDX_Control(dx, IDC_SHOW_JOURNAL, m_btnJournal);
    cl::DDX_Control(dx, IDC_CLOSE_PANE, m_btnClosePane);
    cl::DDX_Control(dx, IDC_PRINT, m_btnPrint);
    cl::DDX_Control(dx, IDC_PANE_TRACE, m_paneTrace);
    cl::DDX_Control(dx, IDC_PANE_DATA_LOWER, m_paneDataLower);
    cl::DDX_Control(dx, IDC_PANE_JOUR, m_paneJournal);
    cl::DDX_Control(dx, IDC_PANE_DATA_UPPER, m_paneDataUpper);
    cl::DDX_Control(dx, IDC_PANE_DIAG, m_paneDiag);
    cl::DDX_Control(dx, IDC_PANE_CAPTION, m_paneCaption);
    cl::DDX_Control(dx, IDC_PROGRESS, m_progress);
}

BOOL CMainDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    g_mainDlg = this;
    SetCardUi(this);
    SetDialogHost(&ProgramHost::Get());
    m_btnIntro.AutoLoad(IDC_INTROCARTE, this);
    m_btnReadData.AutoLoad(IDC_LECDONNEES, this);
    m_btnReadSituations.AutoLoad(IDC_LECSIT, this);
    m_btnChangePin.AutoLoad(IDC_CHANGERCODE, this);
    m_btnQuit.AutoLoad(IDCANCEL, this);
    m_btnChangeReader.AutoLoad(IDC_CHANGELECT, this);
    m_btnUnblock.AutoLoad(IDC_FORCERCP, this);
    m_btnPrev.AutoLoad(IDC_PREV, this);
    m_btnNext.AutoLoad(IDC_NEXT, this);
    // Every pane holds up to 100000 bytes, past the edit control's default limit.
    for (cl::CEdit *pane : {&m_paneTrace, &m_paneDataLower, &m_paneJournal, &m_paneDataUpper, &m_paneDiag})
        pane->SetLimitText(0);
    m_progressButton.SubclassDlgItem(IDC_PROGRESS_BUTTON, this);
    BuildBandRegion();
    ShowIdentification(false);
    SetWindowText((std::string("VEL-GESTION - Version ") + kVersion).c_str());
    // The icon the about box and the minimised window draw, in the title bar
    // and the task switcher too.
    HICON icon = ::LoadIconA(cl::AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDI_VEL));
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    PostMessage(WM_START);
    return TRUE;
}

template <class F> void CMainDlg::RunCommand(F &&body)
{
    ++m_busy;
    body();
    if (--m_busy == 0 && m_quitPending) {
        m_quitPending = false;
        PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

// Commands whose bit is off are not run (a menu item may be greyed while a
// posted command still arrives), nor any while a log prints, and a quit
// during a running command waits for it: closing the library under a running
// operation would break it.
bool CMainDlg::OnCmdMsg(UINT id, UINT code, LPARAM lParam)
{
    if (code == 0) {
        if (id == IDCANCEL && m_busy > 0) {
            m_quitPending = true;
            return true;
        }
        if (PrintInProgress())
            return true;
        uint32_t bit = BitOfCommand(id);
        if (bit && !(g_state.commandState & bit))
            return true;
    }
    bool handled = false;
    RunCommand([&] { handled = CDialog::OnCmdMsg(id, code, lParam); });
    return handled;
}

LRESULT CMainDlg::OnCloseRequest(WPARAM, LPARAM)
{
    if (m_busy > 0) {
        m_quitPending = true;
        return 0;
    }
    // A close is a quit while "&Quitter" can be used.
    if (g_state.commandState & CmdQuit)
        PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return 0;
}

LRESULT CMainDlg::OnStart(WPARAM, LPARAM)
{
    // Posted once by the dialog itself; the same message from elsewhere
    // (posted again, or during an operation) must not start a second scan.
    if (m_started)
        return 0;
    m_started = true;
    RunCommand([&] {
        g_state.noCleanup = false;
        // Result 3 is also a scan that failed (CKR_FUNCTION_FAILED or
        // CKR_FUNCTION_CANCELED): only a refused C_Initialize ends the program.
        StartCardManager();
        if (g_state.initialiseFailed) {
            g_state.noCleanup = true;
            ::PostQuitMessage(1);
        }
    });
    return 0;
}

LRESULT CMainDlg::OnQueryEndSession(WPARAM, LPARAM)
{
    PostMessage(WM_CLOSE);
    return TRUE;
}

LRESULT CMainDlg::OnEndSession(WPARAM, LPARAM)
{
    return 1;
}

void CMainDlg::OnCancel()
{
    ShutDownCardLayer();
    CDialog::OnCancel();
}

// ---- panes ----

PaneLog *CMainDlg::MutableLog(PaneType type)
{
    switch (type) {
    case PaneJournal:
        return &m_logJournal;
    case PaneDataUpper:
        return &m_logDataUpper;
    case PaneDataLower:
        return &m_logDataLower;
    case PaneTrace:
        return &m_logTrace;
    case PaneDiagnostic:
        return &m_logDiag;
    default:
        return nullptr;
    }
}

const PaneLog *CMainDlg::Log(PaneType type) const
{
    return const_cast<CMainDlg *>(this)->MutableLog(type);
}

cl::CEdit *CMainDlg::PaneEdit(PaneType type)
{
    switch (type) {
    case PaneJournal:
        return &m_paneJournal;
    case PaneData:
    case PaneDataUpper:
        return &m_paneDataUpper;
    case PaneDataLower:
        return &m_paneDataLower;
    case PaneTrace:
        return &m_paneTrace;
    case PaneDiagnostic:
        return &m_paneDiag;
    default:
        return nullptr;
    }
}

void CMainDlg::AppendPaneLine(PaneType type, const char *line)
{
    PaneLog *log = MutableLog(type);
    cl::CEdit *edit = PaneEdit(type);
    if (!log || !line)
        return;
    PaneLog::Change change = log->Append(line);
    if (!edit || !edit->m_hWnd || change == PaneLog::Change::Dropped)
        return;
    FollowPaneLog(edit->m_hWnd, *log);
}

unsigned CMainDlg::PaneLineCount(PaneType type)
{
    const PaneLog *log = Log(type);
    return log ? log->LineCount() : 0;
}

void CMainDlg::TrimPane(PaneType type, unsigned first, unsigned last)
{
    PaneLog *log = MutableLog(type);
    if (!log)
        return;
    log->Trim(first, last);
    if (cl::CEdit *edit = PaneEdit(type); edit && edit->m_hWnd)
        FollowPaneLog(edit->m_hWnd, *log);
}

void CMainDlg::ClearPane(PaneType type)
{
    PaneLog *log = MutableLog(type);
    if (!log)
        return;
    log->Clear();
    if (cl::CEdit *edit = PaneEdit(type))
        edit->SetWindowText("");
}

void CMainDlg::PushTraceServiceStart()
{
    m_logTrace.PushRecordStart();
}

PaneType CMainDlg::ShownPane()
{
    return g_state.shownPane;
}

void CMainDlg::ShowIdentification(bool show)
{
    struct Item {
        int id;
        const std::string *text;
        bool shown;
    };
    const bool holder = show && (g_card.nameRead || g_card.infoRead);
    const bool card = show && g_card.idRead;
    const Item items[] = {
        {IDC_HOLDER_TITLE, nullptr, holder},
        {IDC_HOLDER_NAME, &g_card.holderLine, holder},
        {IDC_HOLDER_ID, &g_card.nationalIdLine, holder},
        {IDC_CARD_TITLE, nullptr, card},
        {IDC_CARD_ID, &g_card.cardLine, card},
        {IDC_CARD_EXPIRY, &g_card.dateLine, card},
    };
    for (const Item &item : items) {
        if (item.text)
            SetDlgItemText(item.id, item.text->c_str());
        ::ShowWindow(GetDlgItem(item.id), item.shown ? SW_SHOW : SW_HIDE);
    }
    SetDlgItemText(IDC_READER_LINE, g_state.readerLine);
    ::ShowWindow(GetDlgItem(IDC_READER_LINE), show ? SW_SHOW : SW_HIDE);
    if (show)
        Invalidate(FALSE); // the bands take the colour of the profession just read
}

void CMainDlg::HidePane()
{
    switch (g_state.shownPane) {
    case PaneNone:
        return;
    case PaneJournal:
        m_paneJournal.ShowWindow(SW_HIDE);
        break;
    case PaneData:
        m_paneDataUpper.ShowWindow(SW_HIDE);
        m_paneDataLower.ShowWindow(SW_HIDE);
        m_btnPrev.ShowWindow(SW_HIDE);
        m_btnNext.ShowWindow(SW_HIDE);
        break;
    case PaneTrace:
        m_paneTrace.ShowWindow(SW_HIDE);
        break;
    case PaneDiagnostic:
        m_paneDiag.ShowWindow(SW_HIDE);
        break;
    default:
        break;
    }
    m_paneCaption.ShowWindow(SW_HIDE);
    m_btnPrint.ShowWindow(SW_HIDE);
    m_btnClosePane.ShowWindow(SW_HIDE);
}

void CMainDlg::ShowPane(PaneType type)
{
    if (type != PaneJournal && type != PaneData && type != PaneTrace && type != PaneDiagnostic)
        return;
    HidePane();
    g_state.shownPane = PaneNone;
    m_paneCaption.ShowWindow(SW_SHOW);
    if (type == PaneData) {
        m_paneDataUpper.LineScroll(4 - m_paneDataUpper.GetFirstVisibleLine());
        m_paneDataLower.ShowWindow(SW_SHOW);
        m_btnPrev.ShowWindow(SW_SHOW);
        m_btnNext.ShowWindow(SW_SHOW);
    }
    m_paneCaption.SetWindowText(PaneDescription(type));
    PaneEdit(type)->ShowWindow(SW_SHOW);
    g_state.shownPane = type;
    m_btnPrint.ShowWindow(SW_SHOW);
    m_btnClosePane.ShowWindow(SW_SHOW);
}

void CMainDlg::OnShowJournal()
{
    ShowIdentification(false);
    ShowPane(PaneJournal);
}
void CMainDlg::OnShowData()
{
    ShowIdentification(false);
    ShowPane(PaneData);
}
void CMainDlg::OnShowDiagnostic()
{
    ShowIdentification(false);
    ShowPane(PaneDiagnostic);
}
void CMainDlg::OnShowTrace()
{
    ShowIdentification(false);
    ShowPane(PaneTrace);
}
void CMainDlg::OnPrint()
{
    PrintPane();
}
void CMainDlg::OnOptions()
{
    ChooseAndSaveLogs();
}

void CMainDlg::OnClosePane()
{
    HidePane();
    g_state.shownPane = PaneNone;
    ShowIdentification(true);
}

void CMainDlg::OnCardIntroduction()
{
    CardIntroduction();
}
void CMainDlg::OnReadData()
{
    OnReadDataCommand();
}
void CMainDlg::OnReadSituations()
{
    ReadSituations();
}
void CMainDlg::OnPresentPin()
{
    PresentPin();
}
void CMainDlg::OnChangePin()
{
    ChangePin();
}
void CMainDlg::OnUnblockPin()
{
    UnblockPin();
}
void CMainDlg::OnChooseReader()
{
    ChooseReader(ProgramHost::Get());
}
void CMainDlg::OnEnterKey()
{
}
void CMainDlg::OnCertificates()
{
    ReadCertificate();
}

void CMainDlg::OnCancelOperation()
{
    g_state.cancelRequested = true;
    m_btnCancelOperation.EnableWindow(FALSE);
    SetStatusText("Attendez la fin de l'opération en cours.");
}

void CMainDlg::OnPrevious()
{
    int line = PreviousSectionLine(m_paneDataLower.GetFirstVisibleLine(), g_card.situationLine,
                                   g_card.activityCount);
    if (line >= 0)
        m_paneDataLower.LineScroll(line - m_paneDataLower.GetFirstVisibleLine());
}

void CMainDlg::OnNext()
{
    int line =
        NextSectionLine(m_paneDataLower.GetFirstVisibleLine(), g_card.situationLine, g_card.activityCount);
    if (line >= 0)
        m_paneDataLower.LineScroll(line - m_paneDataLower.GetFirstVisibleLine());
}

// ---- painting ----

void CMainDlg::BuildBandRegion()
{
    RECT r;
    m_bandBottom.GetWindowRect(&r);
    ScreenToClient(&r);
    m_bandRegion.CreateRoundRectRgn(r.left + 1, r.top, r.right - 1, r.bottom, 30, 30);
    cl::CRgn part;
    part.CreateRectRgn(r.left + 1, r.top, r.right - 1, r.bottom - 30);
    m_bandRegion.CombineRgn(m_bandRegion, part, RGN_OR);
    m_bandTop.GetWindowRect(&r);
    ScreenToClient(&r);
    part.CreateRoundRectRgn(r.left, r.top, r.right, r.bottom, 30, 30);
    m_bandRegion.CombineRgn(m_bandRegion, part, RGN_OR);
    part.CreateRectRgn(r.left + 1, r.top + 30, r.right - 1, r.bottom);
    m_bandRegion.CombineRgn(m_bandRegion, part, RGN_OR);
    for (int id : {IDC_SHOW_JOURNAL, IDC_SHOW_DATA, IDC_SHOW_TRACE, IDC_SHOW_DIAG, IDC_INTROCARTE,
                   IDC_CHANGERCODE, IDC_FORCERCP, IDC_CHANGELECT, IDC_LECSIT, IDC_LECDONNEES, IDCANCEL}) {
        ::GetWindowRect(GetDlgItem(id), &r);
        ScreenToClient(&r);
        part.CreateRectRgn(r.left, r.top, r.right, r.bottom);
        m_bandRegion.CombineRgn(m_bandRegion, part, RGN_DIFF);
    }
}

COLORREF CMainDlg::BandColour() const
{
    if (!g_card.infoRead)
        return 0xC0C0C0;
    auto code = [](const char *two) {
        if (two[0] < '0' || two[0] > '9' || two[1] < '0' || two[1] > '9')
            return 0;
        return (two[0] - '0') * 10 + (two[1] - '0');
    };
    int profession = code(g_card.info.professionCode);
    if (profession == 0)
        profession = code(g_card.info.professionCategory);
    switch (profession) {
    case 10:
        return 0x0000C0;
    case 21:
        return 0x00C000;
    case 26:
    case 94:
        return 0xFFFF00;
    case 28:
        return 0x0080FF;
    case 40:
        return 0x800080;
    case 50:
        return 0xFF00FF;
    case 60:
    case 69:
        return 0xC00000;
    case 70:
        return 0xC000C0;
    case 80:
        return 0x00FFFF;
    case 91:
        return 0x000080;
    case 92:
        return 0xFF8080;
    case 96:
        return 0x80C0FF;
    case 98:
        return 0xE0E0E0;
    default:
        return 0xC0C0C0;
    }
}

LRESULT CMainDlg::OnPaint(WPARAM, LPARAM)
{
    cl::CPaintDC dc(m_hWnd);
    if (IsIconic()) {
        dc.DrawIcon(0, 0, ::LoadIconA(cl::AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDI_VEL)));
        return 0;
    }
    cl::CBrush brush(BandColour());
    dc.FillRgn(m_bandRegion, brush);
    return 0;
}

// ---- status line, progress, pumping ----

void CMainDlg::PumpMessages()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        if (!::GetMessageA(&msg, nullptr, 0, 0)) {
            // Leave the quit for the modal loop, once: looping on it here
            // would find it again at once, for ever.
            ::PostQuitMessage((int)msg.wParam);
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

void CMainDlg::ShowStatus(const char *text)
{
    m_status.SetWindowText(text);
    m_status.ShowWindow(SW_SHOW);
}

void CMainDlg::SetStatusText(const char *text)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%s", text ? text : "");
    ShowStatus(buffer);
    PumpMessages();
}

void CMainDlg::StepProgressTo(unsigned position)
{
    // Steps past the bar's upper bound would wrap round and never arrive.
    int low = 0, high = 0;
    m_progress.GetRange(low, high);
    int target = (int)position > high ? high : (int)position;
    for (int guard = 0; m_progress.GetPos() < target && guard <= high - low; ++guard) {
        m_progress.StepIt();
        ::Sleep(20);
    }
    PumpMessages();
}

bool CMainDlg::CancelRequested()
{
    return g_state.cancelRequested;
}

void CMainDlg::BeginLongOperation(unsigned steps, bool cancellable)
{
    OperationFrame frame{g_state.commandState, 0, 0, 0, false, false, g_state.cancelRequested, {}};
    const bool nested = !m_operations.empty();
    if (nested) {
        // Inside another operation: its bar, cancel button and status come back at the end.
        m_progress.GetRange(frame.low, frame.high);
        frame.position = m_progress.GetPos();
        frame.shown = true;
        frame.cancellable = m_btnCancelOperation.IsWindowEnabled() != FALSE;
        frame.status = m_status.GetWindowText();
    }
    m_operations.push_back(frame);
    SetCommandsOff(kAllCommands);
    g_state.cancelRequested = false;
    m_progress.ShowWindow(SW_SHOW);
    m_progress.SetRange(0, (int)steps);
    m_progress.SetPos(0);
    m_progress.SetStep(1);
    m_btnCancelOperation.EnableWindow(cancellable);
    m_status.ShowWindow(SW_SHOW);
    m_btnCancelOperation.ShowWindow(SW_SHOW);
    PumpMessages();
    // Inside another operation the view belongs to that one.
    if (nested)
        return;
    if (g_state.shownPane != PaneNone) {
        HidePane();
        g_state.shownPane = PaneNone;
    } else {
        ShowIdentification(false);
    }
}

void CMainDlg::EndLongOperation()
{
    OperationFrame frame{g_state.commandState, 0, 0, 0, false, false, false, {}};
    if (!m_operations.empty()) {
        frame = m_operations.back();
        m_operations.pop_back();
    }
    if (frame.shown) {
        m_progress.SetRange(frame.low, frame.high);
        m_progress.SetPos(frame.position);
        m_btnCancelOperation.EnableWindow(frame.cancellable);
        m_status.SetWindowText(frame.status.c_str());
        g_state.cancelRequested = frame.cancelRequested;
        PumpMessages();
    } else {
        m_progress.SetPos(0);
        m_progress.ShowWindow(SW_HIDE);
        m_status.SetWindowText("");
        m_status.ShowWindow(SW_HIDE);
        m_btnCancelOperation.ShowWindow(SW_HIDE);
        PumpMessages();
    }
    SetCommandsByRule(frame.commands);
}

// ---- prompts ----

uint32_t CMainDlg::OnNoReader()
{
    CIntroCarteDlg dlg(CIntroCarteDlg::ConnectReader, g_state.readerName);
    return dlg.DoModal() == IDOK ? AnswerRetry : AnswerGiveUp;
}

uint32_t CMainDlg::OnNoCard()
{
    // The reader is named even before a card was ever found in it.
    CK_SLOT_INFO info{};
    const CK_RV scanRv = lastRv;
    if (AwaitedReader(g_connection, info))
        std::snprintf(g_state.readerName, sizeof g_state.readerName, "%s",
                      PaddedFieldText(info.slotDescription, sizeof info.slotDescription).c_str());
    lastRv = scanRv;
    CIntroCarteDlg dlg(CIntroCarteDlg::InsertCard, g_state.readerName);
    return dlg.DoModal() == IDOK ? AnswerRetry : AnswerGiveUp;
}

uint32_t CMainDlg::OnChooseLogin()
{
    return AnswerGoOn;
}

uint32_t CMainDlg::OnPinRequest(uint32_t promptKind, uint32_t pinStatus, SecretText &pin)
{
    return PinPromptCallback(promptKind, pinStatus, pin);
}

} // namespace vel
