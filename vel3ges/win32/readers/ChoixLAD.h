// CChoixLAD: the dialog "Choix d'un lecteur" (template 106) that lists the
// readers and gives back the slot of the one picked.
#pragma once
#include <vector>

#include "classlib/classlib.h"
#include "../host/DialogHost.h"

namespace vel {

class CChoixLAD : public cl::CDialog {
public:
    // `readers` and `chosen` outlive the dialog; `chosen` changes only on
    // "&Valider" with a reader selected.
    CChoixLAD(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen, cl::CWnd *parent = nullptr);

    cl::CComboBox m_cbLecteurs;
    std::string m_strLecteur; // the text selected, after "&Valider"

protected:
    void DoDataExchange(cl::CDataExchange *dx) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    const std::vector<ReaderEntry> &m_readers;
    CK_SLOT_ID &m_chosen;
};

// The dialog run modally over `parent`: true for "&Valider".
bool RunReaderChoiceDialog(cl::CWnd *parent, const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen);

} // namespace vel
