// The file and print dialogs of comdlg32.
#pragma once
#include <windows.h>
#include <commdlg.h>
#include <string>
#include "classlib/wnd.h"

namespace cl {

// Turns "Name (*.x)|*.x|All (*.*)|*.*||" into comdlg32's NUL-separated list
// ending with two NULs.
std::string FilterFromBars(const char *filter);

class CFileDialog {
public:
    CFileDialog(BOOL openDialog, const char *defExt = nullptr, const char *fileName = nullptr,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char *filter = nullptr,
                CWnd *parent = nullptr);
    INT_PTR DoModal(); // IDOK or IDCANCEL
    std::string GetPathName() const { return m_path; }
    OPENFILENAMEA m_ofn{};

private:
    BOOL m_open;
    std::string m_defExt, m_filter;
    char m_file[MAX_PATH] = {};
    std::string m_path;
};

// The print dialog. The printer context it returns belongs to this object and
// is deleted with it, unless the caller takes it with DetachPrinterDC.
class CPrintDialog {
public:
    explicit CPrintDialog(DWORD flags, CWnd *parent = nullptr);
    ~CPrintDialog();
    CPrintDialog(const CPrintDialog &) = delete;
    CPrintDialog &operator=(const CPrintDialog &) = delete;
    INT_PTR DoModal(); // IDOK or IDCANCEL
    HDC GetPrinterDC() const { return m_pd.hDC; }
    HDC DetachPrinterDC();
    PRINTDLGA m_pd{};
};

} // namespace cl
