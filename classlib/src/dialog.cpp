#include "classlib/dialog.h"

#include "classlib/app.h"
#include "classlib/module.h"

namespace cl {

CDialog::CDialog(UINT templateId, CWnd *parent) : m_templateId(templateId), m_pParent(parent)
{
}

CDialog::~CDialog()
{
    if (m_hWnd)
        ::DestroyWindow(m_hWnd); // a modeless dialog still open
}

const MessageMap *CDialog::GetMessageMap() const
{
    static const MessageEntry entries[] = {
        OnCommand<&CDialog::OnOKCommand>(IDOK),
        OnCommand<&CDialog::OnCancelCommand>(IDCANCEL),
        OnMessage<&CDialog::OnClose>(WM_CLOSE),
    };
    static const MessageMap map(CWnd::GetMessageMap(), entries);
    return &map;
}

bool CDialog::OnCmdMsg(UINT id, UINT code, LPARAM lParam)
{
    if (CWnd::OnCmdMsg(id, code, lParam))
        return true;
    // Commands the dialog leaves go on to the application.
    CWinApp *app = AfxGetApp();
    return app && app->OnCmdMsg(id, code, lParam);
}

// Windows turns a close into a cancel only while the cancel control can be
// used; with it disabled (an operation running) the close is ignored.
LRESULT CDialog::OnClose(WPARAM, LPARAM)
{
    HWND cancel = GetDlgItem(IDCANCEL);
    if (!cancel || ::IsWindowEnabled(cancel))
        PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
    return 0;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::UpdateData(BOOL save)
{
    CDataExchange dx(this, save);
    DoDataExchange(&dx);
    return !dx.m_failed;
}

void CDialog::EndDialog(INT_PTR result)
{
    m_result = result;
    if (m_inModalLoop) {
        m_ended = true;
        PostMessage(WM_NULL); // wakes the modal loop if it is waiting
    } else if (m_hWnd) {
        ::DestroyWindow(m_hWnd);
    }
}

HWND CDialog::CreateFromTemplate(HWND parent)
{
    HINSTANCE inst = AfxGetResourceHandle();
    HRSRC res = ::FindResourceA(inst, MAKEINTRESOURCEA(m_templateId), reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (!res)
        return nullptr;
    HGLOBAL data = ::LoadResource(inst, res);
    const void *tmpl = data ? ::LockResource(data) : nullptr;
    if (!tmpl)
        return nullptr;
    return ::CreateDialogIndirectParamA(inst, static_cast<LPCDLGTEMPLATEA>(tmpl), parent,
                                        &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::Create(CWnd *parent)
{
    if (m_hWnd)
        return FALSE;
    if (parent)
        m_pParent = parent;
    m_inModalLoop = false;
    return CreateFromTemplate(m_pParent ? m_pParent->m_hWnd : nullptr) != nullptr;
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd)
        return -1;
    HWND parent = m_pParent ? m_pParent->m_hWnd : nullptr;
    if (!parent) {
        CWinApp *app = AfxGetApp();
        if (app && app->m_pMainWnd && app->m_pMainWnd != this)
            parent = app->m_pMainWnd->m_hWnd;
    }
    while (parent && (::GetWindowLongA(parent, GWL_STYLE) & WS_CHILD))
        parent = ::GetParent(parent);

    const bool reenable = parent && ::IsWindowEnabled(parent);
    if (reenable)
        ::EnableWindow(parent, FALSE);
    m_inModalLoop = true;
    m_ended = false;
    m_result = -1;
    HWND dlg = CreateFromTemplate(parent);
    if (dlg && !m_ended)
        ::ShowWindow(dlg, SW_SHOWNORMAL);

    MSG msg;
    while (dlg && !m_ended) {
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            // The program is quitting: leave without OnCancel and let the
            // enclosing loop see the quit message too.
            ::PostQuitMessage((int)msg.wParam);
            m_result = -1;
            break;
        }
        if (got == -1) {
            m_result = -1;
            break;
        }
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && msg.hwnd &&
            (msg.hwnd == dlg || ::IsChild(dlg, msg.hwnd))) {
            // Escape cancels only while the cancel control can be used, as a close does.
            HWND cancel = ::GetDlgItem(dlg, IDCANCEL);
            if (cancel && !::IsWindowEnabled(cancel))
                continue;
        }
        if (!::IsDialogMessageA(dlg, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    m_inModalLoop = false;
    if (reenable)
        ::EnableWindow(parent, TRUE);
    if (dlg) {
        if (parent && ::GetActiveWindow() == dlg)
            ::SetActiveWindow(parent);
        ::DestroyWindow(dlg);
    }
    return m_result;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG) {
        auto *dlg = reinterpret_cast<CDialog *>(lParam);
        dlg->Attach(hwnd);
        return dlg->OnInitDialog();
    }
    auto *dlg = static_cast<CDialog *>(FromHandle(hwnd));
    if (!dlg)
        return FALSE;
    if (msg == WM_NCDESTROY) {
        dlg->Detach();
        return FALSE;
    }
    LRESULT result = 0;
    if (!dlg->OnWndMsg(msg, wParam, lParam, result))
        return FALSE;
    switch (msg) {
    // These answer through the procedure's own result.
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return (INT_PTR)result;
    default:
        ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

void DDX_Control(CDataExchange *dx, int id, CWnd &control)
{
    if (control.m_hWnd)
        return;
    if (!control.SubclassDlgItem((UINT)id, dx->m_pDlgWnd))
        dx->m_failed = true;
}

void DDX_Check(CDataExchange *dx, int id, int &value)
{
    HWND item = dx->m_pDlgWnd->GetDlgItem(id);
    if (!item) {
        dx->m_failed = true;
        return;
    }
    if (dx->m_bSaveAndValidate)
        value = (int)::SendMessageA(item, BM_GETCHECK, 0, 0);
    else
        ::SendMessageA(item, BM_SETCHECK, (WPARAM)value, 0);
}

void DDX_Text(CDataExchange *dx, int id, std::string &value)
{
    if (!dx->m_pDlgWnd->GetDlgItem(id)) {
        dx->m_failed = true;
        return;
    }
    if (dx->m_bSaveAndValidate)
        value = dx->m_pDlgWnd->GetDlgItemText(id);
    else
        dx->m_pDlgWnd->SetDlgItemText(id, value.c_str());
}

} // namespace cl
