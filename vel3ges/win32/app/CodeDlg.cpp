#include "CodeDlg.h"

#include <cstdio>

#include "resource.h"

namespace vel {

CCodeDlg::CCodeDlg(unsigned maxLength, Type type, const char *caption, unsigned tries)
    : CDialog(IDD_CODE), m_maxLength(maxLength ? maxLength : 1), m_type(type)
{
    char text[64];
    switch (type) {
    case LoginPin:
        m_colour = 0x00FF00;
        std::snprintf(text, sizeof text, "Code porteur (reste %u tentative(s))", tries);
        m_caption = text;
        break;
    case OldPin:
        m_colour = 0xFF0000;
        m_caption = "Ancien code porteur";
        break;
    case NewPin:
        m_colour = 0xFF0000;
        m_caption = caption ? caption : "";
        break;
    default:
        m_colour = 0x0000FF;
        m_caption = "Code de déblocage";
        break;
    }
}

const cl::MessageMap *CCodeDlg::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {cl::OnCommand<&CCodeDlg::OnClear>(IDC_CODE_CLEAR)};
    static const cl::MessageMap map(CDialog::GetMessageMap(), entries);
    return &map;
}

void CCodeDlg::DoDataExchange(cl::CDataExchange *dx)
{
    cl::DDX_Control(dx, IDC_CODE_EDIT, m_edit);
}

BOOL CCodeDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_keypad.AutoLoad(IDC_CODE_KEYPAD, this);
    m_colourBrush.CreateSolidBrush(m_colour);
    m_greyBrush.CreateSolidBrush(0xC8C8C8);
    RECT r;
    m_edit.GetClientRect(&r);
    int height = r.bottom - 6;
    int width = ((int)(r.right) - 3 * (int)m_maxLength) / (int)m_maxLength;
    m_font.CreateFont(height, width > 0 ? width : 1, 800, OEM_CHARSET, DRAFT_QUALITY, "System");
    m_edit.SetFont(m_font);
    m_edit.SetMargins(0, 0);
    m_edit.SetFocus();
    m_edit.SetLimitText(m_maxLength);
    CenterWindow();
    SetWindowText(m_caption.c_str());
    return FALSE; // the focus is set
}

void CCodeDlg::OnClear()
{
    m_edit.SetWindowText("");
    m_edit.SetFocus();
}

void CCodeDlg::OnOK()
{
    char text[SecretText::Capacity + 1] = {};
    ::GetWindowTextA(m_edit.m_hWnd, text, sizeof text);
    m_code.Assign(text);
    volatile char *p = text;
    for (size_t i = 0; i < sizeof text; ++i)
        p[i] = 0;
    EndDialog(IDOK);
}

HBRUSH CCodeDlg::OnCtlColor(HDC dc, HWND child, UINT type)
{
    if (child == m_edit.m_hWnd) {
        ::SetTextColor(dc, m_colour);
        return m_colourBrush;
    }
    if (type == CTLCOLOR_MSGBOX)
        return m_colourBrush;
    if (type == CTLCOLOR_DLG)
        return m_greyBrush;
    return nullptr;
}

} // namespace vel
