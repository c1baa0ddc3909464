// CCodeDlg: the PIN entry dialog (PIN at login, old PIN, new PIN and its
// confirmation, unblock code). The typed code is kept in a wiped buffer.
#ifndef VEL3GES_APP_CODEDLG_H
#define VEL3GES_APP_CODEDLG_H

#include <string>

#include "classlib/classlib.h"

#include "SecretText.h"

namespace vel {

class CCodeDlg : public cl::CDialog {
public:
    enum Type { LoginPin = 0, OldPin = 1, NewPin = 2, UnblockCode = 3 };
    // `caption`: the prompt of a new-PIN dialog; `tries`: the remaining tries
    // shown by the login dialog.
    CCodeDlg(unsigned maxLength, Type type, const char *caption = nullptr, unsigned tries = 0);

    const cl::MessageMap *GetMessageMap() const override;
    void DoDataExchange(cl::CDataExchange *dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    HBRUSH OnCtlColor(HDC dc, HWND child, UINT type) override;

    const SecretText &Code() const { return m_code; }

private:
    void OnClear();

    cl::CEdit m_edit;
    SecretText m_code;
    cl::CBitmapButton m_keypad;
    cl::CFont m_font;
    cl::CBrush m_colourBrush, m_greyBrush;
    unsigned m_maxLength;
    Type m_type;
    COLORREF m_colour;
    std::string m_caption;
};

} // namespace vel

#endif
