#include "ChoixLAD.h"

#include "ChoixLADRes.h"
#include "ReaderChoice.h"

namespace vel {

CChoixLAD::CChoixLAD(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen, cl::CWnd *parent)
    : CDialog(IDD_CHOIX_LECTEUR, parent), m_readers(readers), m_chosen(chosen)
{
}

void CChoixLAD::DoDataExchange(cl::CDataExchange *dx)
{
    cl::DDX_Control(dx, IDC_LISTE_LECTEURS, m_cbLecteurs);
}

// Fills the list in reader order and selects the first reader.
BOOL CChoixLAD::OnInitDialog()
{
    CDialog::OnInitDialog();
    for (const std::string &name : ListedReaderNames(m_readers))
        m_cbLecteurs.AddString(name.c_str());
    m_cbLecteurs.SetCurSel(0);
    CenterWindow();
    return TRUE;
}

// Keeps the slot of the reader selected, then closes.
void CChoixLAD::OnOK()
{
    int selection = m_cbLecteurs.GetCurSel();
    if (selection != CB_ERR) {
        m_strLecteur = m_cbLecteurs.GetWindowText();
        PickReader(m_readers, selection, m_chosen);
    }
    CDialog::OnOK();
}

bool RunReaderChoiceDialog(cl::CWnd *parent, const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen)
{
    CChoixLAD dlg(readers, chosen, parent);
    return dlg.DoModal() == IDOK;
}

} // namespace vel
