// The about box and the card prompt.
#ifndef VEL3GES_APP_SMALLDIALOGS_H
#define VEL3GES_APP_SMALLDIALOGS_H

#include <cstdint>

#include "classlib/classlib.h"

namespace vel {

class CAboutDlg : public cl::CDialog {
public:
    CAboutDlg();
    BOOL OnInitDialog() override;
};

// "Introduction carte" (mode 0), "Changement carte" (2), "Connexion lecteur" (3).
class CIntroCarteDlg : public cl::CDialog {
public:
    enum Mode : uint32_t { InsertCard = 0, ChangeCard = 2, ConnectReader = 3 };
    explicit CIntroCarteDlg(uint32_t mode, const char *readerName);
    void DoDataExchange(cl::CDataExchange *dx) override;
    BOOL OnInitDialog() override;

private:
    cl::CStatic m_line1, m_line2;
    uint32_t m_mode;
    const char *m_readerName;
};

} // namespace vel

#endif
