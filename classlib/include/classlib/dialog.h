// CDialog: a dialog built from a resource template, run modally by our own
// loop so that two behaviours do not depend on the platform's dialog code:
//  - WM_QUIT ends the modal loop at once: DoModal returns -1, the quit message
//    is posted again for the enclosing loop, and OnCancel is NOT called;
//  - WM_CLOSE (close box, Alt+F4, a posted close) becomes a click on IDCANCEL
//    only while that control is enabled; a dialog without IDCANCEL is
//    cancelled, one whose IDCANCEL is disabled ignores the close.
// Commands the dialog's map does not handle go on to the application's map.
#pragma once
#include <windows.h>
#include <string>
#include "classlib/wnd.h"

namespace cl {

class CDataExchange;

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd *parent = nullptr);
    ~CDialog() override;

    // IDOK, IDCANCEL or the value given to EndDialog; -1 when the template
    // cannot be loaded or the loop ended on WM_QUIT.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless (visible when the template says so).
    BOOL Create(CWnd *parent = nullptr);
    void EndDialog(INT_PTR result);

    // Runs DoDataExchange: save = true reads the controls into the members.
    BOOL UpdateData(BOOL save = TRUE);

    virtual BOOL OnInitDialog(); // base: UpdateData(FALSE); TRUE = default focus
    virtual void OnOK();         // base: UpdateData(TRUE), then EndDialog(IDOK)
    virtual void OnCancel();     // base: EndDialog(IDCANCEL)
    virtual void DoDataExchange(CDataExchange *dx) {}

    const MessageMap *GetMessageMap() const override;
    bool OnCmdMsg(UINT id, UINT code, LPARAM lParam) override;

    bool IsModalRunning() const { return m_inModalLoop && !m_ended; }

protected:
    UINT m_templateId;
    CWnd *m_pParent;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND CreateFromTemplate(HWND parent);
    void OnOKCommand() { OnOK(); }
    void OnCancelCommand() { OnCancel(); }
    LRESULT OnClose(WPARAM, LPARAM);

    bool m_inModalLoop = false;
    bool m_ended = false;
    INT_PTR m_result = -1;
};

// Data exchange between a dialog's controls and its members.
class CDataExchange {
public:
    CDataExchange(CDialog *dlg, BOOL save) : m_pDlgWnd(dlg), m_bSaveAndValidate(save) {}
    CDialog *m_pDlgWnd;
    BOOL m_bSaveAndValidate;
    bool m_failed = false; // a control named by the exchange is missing
};

// Binds `control` to the dialog's control `id` (once).
void DDX_Control(CDataExchange *dx, int id, CWnd &control);
// A check box's state (BST_UNCHECKED, BST_CHECKED, BST_INDETERMINATE).
void DDX_Check(CDataExchange *dx, int id, int &value);
// A control's text.
void DDX_Text(CDataExchange *dx, int id, std::string &value);

} // namespace cl
