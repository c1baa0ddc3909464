#include "SmallDialogs.h"

#include <string>

#include "AppState.h"
#include "resource.h"

namespace vel {

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX)
{
}

BOOL CAboutDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetDlgItemText(IDC_ABOUT_VERSION, (std::string("Version ") + kVersion).c_str());
    return TRUE;
}

CIntroCarteDlg::CIntroCarteDlg(uint32_t mode, const char *readerName)
    : CDialog(IDD_INTROCARTE), m_mode(mode), m_readerName(readerName ? readerName : "")
{
}

void CIntroCarteDlg::DoDataExchange(cl::CDataExchange *dx)
{
    cl::DDX_Control(dx, IDC_INTRO_LINE1, m_line1);
    cl::DDX_Control(dx, IDC_INTRO_LINE2, m_line2);
}

BOOL CIntroCarteDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    std::string caption, line1, line2;
    switch (m_mode) {
    case ChangeCard:
        caption = "Changement carte";
        line1 = "Veuillez changer la carte";
        line2 = std::string("du lecteur ") + m_readerName + " puis valider";
        break;
    case ConnectReader:
        caption = "Connexion lecteur";
        line1 = "Veuillez brancher un lecteur";
        line2 = std::string("sur votre poste ") + "puis valider";
        break;
    default:
        caption = "Introduction carte";
        line1 = "Veuillez introduire votre carte";
        line2 = std::string("dans le lecteur ") + m_readerName + " puis valider";
        break;
    }
    SetWindowText(caption.c_str());
    m_line1.SetWindowText(line1.c_str());
    m_line2.SetWindowText(line2.c_str());
    CenterWindow();
    return TRUE;
}

} // namespace vel
