// The session logs: headers, saving to the log folder, the save options
// dialog and printing.
#include <windows.h>

#include <cstdio>
#include <string>

#include "AppState.h"
#include "DataFolder.h"
#include "MainDlg.h"
#include "Operations.h"
#include "PaneWriter.h"
#include "resource.h"

namespace vel {

namespace {
CMainDlg &Dlg()
{
    return *g_mainDlg;
}

const char *FileNameOf(PaneType type)
{
    switch (type) {
    case PaneJournal:
        return "VEL-JOUR.TXT";
    case PaneData:
        return "VEL-INFO.TXT";
    case PaneTrace:
        return "VEL-TRAC.TXT";
    case PaneDiagnostic:
        return "VEL-DIAG.TXT";
    default:
        return nullptr;
    }
}

bool WriteAll(HANDLE file, const std::string &text)
{
    DWORD written = 0;
    return text.empty() ||
           (::WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size());
}

// Remembered choices of the save options, for the life of the process.
struct SaveChoices {
    int journal = 0, trace = 0, data = 0, diagnostic = 0;
} g_choices;

class CQuitterDialog : public cl::CDialog {
public:
    explicit CQuitterDialog(cl::CBrush *brushes) : CDialog(IDD_QUITTER), m_brushes(brushes) {}
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {
            cl::OnCommand<&CQuitterDialog::OnCheck>(IDC_SAVE_JOURNAL),
            cl::OnCommand<&CQuitterDialog::OnCheck>(IDC_SAVE_DATA),
            cl::OnCommand<&CQuitterDialog::OnCheck>(IDC_SAVE_DIAG),
            cl::OnCommand<&CQuitterDialog::OnCheck>(IDC_SAVE_TRACE),
        };
        static const cl::MessageMap map(CDialog::GetMessageMap(), entries);
        return &map;
    }
    void DoDataExchange(cl::CDataExchange *dx) override
    {
        cl::DDX_Control(dx, IDC_SAVE_JOURNAL, m_journal);
        cl::DDX_Control(dx, IDC_SAVE_DATA, m_data);
        cl::DDX_Control(dx, IDC_SAVE_DIAG, m_diag);
        cl::DDX_Control(dx, IDC_SAVE_TRACE, m_trace);
        cl::DDX_Check(dx, IDC_SAVE_JOURNAL, journal);
        cl::DDX_Check(dx, IDC_SAVE_TRACE, trace);
        cl::DDX_Check(dx, IDC_SAVE_DATA, data);
        cl::DDX_Check(dx, IDC_SAVE_DIAG, diagnostic);
    }
    BOOL OnInitDialog() override
    {
        journal = g_choices.journal;
        trace = g_choices.trace;
        data = g_choices.data;
        diagnostic = g_choices.diagnostic;
        CDialog::OnInitDialog();
        CenterWindow();
        return TRUE;
    }
    HBRUSH OnCtlColor(HDC dc, HWND child, UINT) override
    {
        int i = 0;
        for (cl::CButton *box : {&m_journal, &m_data, &m_diag, &m_trace}) {
            if (child == box->m_hWnd) {
                ::SetBkColor(dc, 0xC0C0C0);
                return m_brushes[i];
            }
            ++i;
        }
        return nullptr;
    }
    int journal = 0, trace = 0, data = 0, diagnostic = 0;

private:
    // A click is remembered at once.
    void OnCheck()
    {
        g_choices.journal = m_journal.GetCheck();
        g_choices.data = m_data.GetCheck();
        g_choices.diagnostic = m_diag.GetCheck();
        g_choices.trace = m_trace.GetCheck();
    }
    cl::CButton m_journal, m_data, m_diag, m_trace;
    cl::CBrush *m_brushes;
};
} // namespace

void WritePaneHeaders()
{
    static bool written = false;
    if (written)
        return;
    written = true;
    const std::string stamp = NowTimestamp();
    const PaneType logs[] = {PaneJournal, PaneDataUpper, PaneTrace, PaneDiagnostic};
    for (PaneType t : logs) {
        AppendPaneLine(t, "*** Session VEL-GESTION    Version v%s", kVersion);
        AppendPaneLine(t, "*** Fichier créé le %s ", stamp.c_str());
    }
    AppendPaneLine(PaneDataUpper, "*** %s", "Fichier VEL-INFO.TXT : Données lues dans la VEL");
    AppendPaneLine(PaneJournal, "*** %s", "Fichier VEL-JOUR.TXT : Journal des manipulations");
    AppendPaneLine(PaneTrace, "*** %s", "Fichier VEL-TRAC.TXT : Trace des Services VEL");
    AppendPaneLine(PaneDiagnostic, "*** %s", "Fichier VEL-DIAG.TXT : Diagnostic des incidents rencontrés");
    for (PaneType t : logs)
        AppendPaneLine(t, "%s", "");
}

int SavePaneToFile(PaneType type)
{
    const char *name = FileNameOf(type);
    if (!name)
        return 1;
    const std::string path = DataFolderPrefix(DataFolderKind::Log) + name;
    HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    if (ok) {
        if (type == PaneData)
            ok = WriteAll(file, Dlg().Log(PaneDataUpper)->Text()) &&
                 WriteAll(file, Dlg().Log(PaneDataLower)->Text());
        else
            ok = WriteAll(file, Dlg().Log(type)->Text());
        ok = ::CloseHandle(file) && ok;
    }
    if (!ok) {
        ShowMessage("Enregistrement des traces impossible. Vos droits sont insuffisants.", kCaption, MB_OK);
        return 1;
    }
    return 0;
}

int SaveChosenLogs(uint32_t flags)
{
    struct File {
        uint32_t bit;
        PaneType type;
        const char *status;
    };
    const File files[] = {
        {0x1, PaneJournal, "Sauvegarde du fichier VEL-JOUR.TXT"},
        {0x2, PaneTrace, "Sauvegarde du fichier VEL-TRAC.TXT"},
        {0x8, PaneData, "Sauvegarde du fichier VEL-INFO.TXT"},
        {0x4, PaneDiagnostic, "Sauvegarde du fichier VEL-DIAG.TXT"},
    };
    unsigned chosen = 0;
    for (const File &f : files)
        chosen += (flags & f.bit) ? 1 : 0;
    if (flags == 0xFFFFFFFF || chosen == 0)
        return 1;
    // Saved during another operation ("&Options" reached while it pumps
    // messages): the view is that operation's, left as it is.
    const bool nested = Dlg().OtherOperationRunning();
    if (!nested) {
        if (g_state.shownPane != PaneNone) {
            Dlg().HidePane();
            g_state.shownPane = PaneNone;
        }
        Dlg().ShowIdentification(false);
    }
    Dlg().BeginLongOperation(chosen, true);
    unsigned ordinal = 0;
    for (const File &f : files) {
        if (!(flags & f.bit))
            continue;
        Dlg().SetStatusText(f.status);
        int failed = SavePaneToFile(f.type);
        Dlg().StepProgressTo(++ordinal);
        if (failed)
            break;
    }
    Dlg().EndLongOperation();
    if (!nested)
        Dlg().ShowIdentification(true);
    return 1;
}

void ChooseAndSaveLogs()
{
    cl::CBrush brushes[4];
    for (cl::CBrush &b : brushes)
        b.CreateSolidBrush(0xC0C0C0);
    CQuitterDialog dlg(brushes);
    if (dlg.DoModal() != IDOK)
        return;
    uint32_t flags = (dlg.journal ? 0x1u : 0) | (dlg.trace ? 0x2u : 0) | (dlg.data ? 0x8u : 0) |
                     (dlg.diagnostic ? 0x4u : 0);
    SaveChosenLogs(flags);
}

// ---- printing ----

namespace {
bool g_printAborted = false;
HWND g_abortWindow = nullptr;
bool g_printing = false;

// Marks the print as running for the life of the object.
struct PrintingMark {
    PrintingMark() { g_printing = true; }
    ~PrintingMark() { g_printing = false; }
    PrintingMark(const PrintingMark &) = delete;
    PrintingMark &operator=(const PrintingMark &) = delete;
};

BOOL CALLBACK AbortProc(HDC, int)
{
    MSG msg;
    while (!g_printAborted && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage((int)msg.wParam); // for the main loop
            g_printAborted = true;
            break;
        }
        if (!g_abortWindow || !::IsDialogMessageA(g_abortWindow, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    return !g_printAborted;
}

INT_PTR CALLBACK AbortDlgProc(HWND hwnd, UINT msg, WPARAM, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        ::SetFocus(::GetDlgItem(hwnd, IDCANCEL));
        return TRUE;
    }
    if (msg == WM_COMMAND) {
        g_printAborted = true;
        return TRUE;
    }
    return FALSE;
}

// The most characters of a line that are printed.
constexpr int kPrintedLineChars = 127;

// The font the logs are printed in, selected into the printer's context for
// the life of the object. The context's own font may be too large for a
// line (Wine's default printer font is 24 points: 48 characters fill an A4
// line and the rest of a line runs off the page), so a fixed-pitch font in
// which a whole printed line fits the printable width, at most 10 points.
// When no font can be made, the context's own stays.
class PrintFont {
public:
    explicit PrintFont(HDC dc) : dc_(dc)
    {
        const int width = ::GetDeviceCaps(dc, HORZRES);
        int height = ::MulDiv(10, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
        const std::string longest(kPrintedLineChars, 'W');
        for (int attempt = 0; attempt < 4 && height > 0; ++attempt) {
            HFONT font = ::CreateFontA(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                       FIXED_PITCH | FF_MODERN, "Courier New");
            if (!font)
                break;
            Select(font);
            SIZE extent{};
            if (!::GetTextExtentPoint32A(dc, longest.c_str(), kPrintedLineChars, &extent) ||
                extent.cx <= width || width <= 0)
                return;
            // Smaller in proportion; the next measure corrects the rounding.
            // The last one tried stays when none fits.
            height = (int)((long long)height * width / extent.cx);
        }
    }
    ~PrintFont() { Select(nullptr); }
    PrintFont(const PrintFont &) = delete;
    PrintFont &operator=(const PrintFont &) = delete;

private:
    // Puts `font` in the context (none: the context's own font back) and
    // deletes the one selected before.
    void Select(HFONT font)
    {
        if (font) {
            HGDIOBJ previous = ::SelectObject(dc_, font);
            if (!original_)
                original_ = previous;
        } else if (original_) {
            ::SelectObject(dc_, original_);
        }
        if (font_)
            ::DeleteObject(font_);
        font_ = font;
    }

    HDC dc_;
    HGDIOBJ original_ = nullptr;
    HFONT font_ = nullptr;
};

// Prints the lines of one edit; false when the job must stop.
bool PrintLines(HDC dc, cl::CEdit &edit, int lineHeight, int linesPerPage, int &lineNumber)
{
    const int count = edit.GetLineCount();
    for (int i = 0; i < count; ++i) {
        std::string line = edit.GetLine(i, kPrintedLineChars);
        if (!::TextOutA(dc, 0, lineNumber * lineHeight, line.c_str(), (int)line.size())) {
            ShowMessage("Impossible d'imprimer", kCaption, MB_ICONHAND);
            break;
        }
        if (++lineNumber > linesPerPage) {
            lineNumber = 1;
            if (::EndPage(dc) <= 0 || g_printAborted)
                return false;
            if (::StartPage(dc) <= 0)
                return false;
        }
    }
    return true;
}
} // namespace

bool PrintInProgress()
{
    return g_printing;
}

void PrintPane()
{
    // The print dialog's modal loop and the abort procedure pass every
    // message on: a command posted to the main dialog meanwhile would run
    // inside the job (a second print, a card read rebuilding the log being
    // printed). The main dialog drops them (CMainDlg::OnCmdMsg).
    if (g_printing)
        return;
    PrintingMark printing;
    cl::CPrintDialog print(
        PD_NOPAGENUMS | PD_NOSELECTION | PD_USEDEVMODECOPIESANDCOLLATE | PD_HIDEPRINTTOFILE, g_mainDlg);
    if (print.DoModal() != IDOK)
        return;
    cl::CEdit *first = nullptr, *second = nullptr;
    switch (g_state.shownPane) {
    case PaneJournal:
        first = Dlg().PaneEdit(PaneJournal);
        break;
    case PaneData:
        first = Dlg().PaneEdit(PaneDataUpper);
        second = Dlg().PaneEdit(PaneDataLower);
        break;
    case PaneTrace:
        first = Dlg().PaneEdit(PaneTrace);
        break;
    case PaneDiagnostic:
        first = Dlg().PaneEdit(PaneDiagnostic);
        break;
    default:
        return;
    }
    HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT)));
    HDC dc = print.GetPrinterDC(); // deleted with the dialog object
    if (!dc || ::SetAbortProc(dc, AbortProc) <= 0) {
        ::SetCursor(previous);
        ShowMessage("Impossible d'imprimer", kCaption, MB_ICONHAND);
        return;
    }
    DOCINFOA doc{};
    doc.cbSize = sizeof doc;
    doc.lpszDocName = "VEL-GESTION";
    if (::StartDocA(dc, &doc) <= 0) {
        ::SetCursor(previous);
        ShowMessage("Unable to start print job", kCaption, MB_ICONHAND);
        return;
    }
    g_printAborted = false;
    g_abortWindow =
        ::CreateDialogParamA(cl::AfxGetInstanceHandle(), "AbortDlg", Dlg().m_hWnd, AbortDlgProc, 0);
    if (!g_abortWindow) {
        ::AbortDoc(dc);
        ::SetCursor(previous);
        ShowMessage("NULL Abort window handle", kCaption, MB_ICONHAND);
        return;
    }
    ::ShowWindow(g_abortWindow, SW_SHOW);
    Dlg().EnableWindow(FALSE);
    ::SetCursor(previous);

    PrintFont font(dc);
    TEXTMETRICA tm{};
    ::GetTextMetricsA(dc, &tm);
    int lineHeight = tm.tmHeight + tm.tmExternalLeading;
    if (lineHeight <= 0)
        lineHeight = 1;
    int linesPerPage = ::GetDeviceCaps(dc, VERTRES) / lineHeight - 1;
    if (linesPerPage < 1)
        linesPerPage = 1;
    int lineNumber = 1;
    // The lower data part follows the upper one on the same page.
    bool ok = ::StartPage(dc) > 0 && PrintLines(dc, *first, lineHeight, linesPerPage, lineNumber);
    if (ok && second)
        ok = PrintLines(dc, *second, lineHeight, linesPerPage, lineNumber);
    bool lost = false;
    if (ok && !g_printAborted) {
        ::EndPage(dc);
        // The spooler hands the job over here: a printer gone since the
        // print dialog loses it, and the holder must know the log was not
        // printed.
        lost = ::EndDoc(dc) <= 0;
    } else {
        // A document that cannot be finished is withdrawn, not left open.
        ::AbortDoc(dc);
    }
    Dlg().EnableWindow(TRUE);
    ::DestroyWindow(g_abortWindow);
    g_abortWindow = nullptr;
    if (lost)
        ShowMessage("Impossible d'imprimer", kCaption, MB_ICONHAND);
}

} // namespace vel
