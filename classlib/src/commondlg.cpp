#include "classlib/commondlg.h"

#include <cstring>

#include "classlib/app.h"

namespace cl {

std::string FilterFromBars(const char *filter)
{
    std::string out;
    if (!filter || !*filter)
        return out;
    for (const char *p = filter; *p; ++p)
        out.push_back(*p == '|' ? '\0' : *p);
    while (out.size() < 2 || out[out.size() - 1] != '\0' || out[out.size() - 2] != '\0')
        out.push_back('\0');
    return out;
}

namespace {
HWND OwnerOf(CWnd *parent)
{
    if (parent)
        return parent->m_hWnd;
    CWinApp *app = AfxGetApp();
    return app && app->m_pMainWnd ? app->m_pMainWnd->m_hWnd : nullptr;
}
} // namespace

CFileDialog::CFileDialog(BOOL openDialog, const char *defExt, const char *fileName, DWORD flags,
                         const char *filter, CWnd *parent)
    : m_open(openDialog)
{
    // comdlg32 wants the extension without its dot.
    if (defExt)
        m_defExt = defExt[0] == '.' ? defExt + 1 : defExt;
    m_filter = FilterFromBars(filter);
    if (fileName) {
        std::strncpy(m_file, fileName, sizeof m_file - 1);
        m_file[sizeof m_file - 1] = '\0';
    }
    m_ofn.lStructSize = sizeof m_ofn;
    m_ofn.hwndOwner = OwnerOf(parent);
    m_ofn.Flags = flags;
}

INT_PTR CFileDialog::DoModal()
{
    m_ofn.lpstrFilter = m_filter.empty() ? nullptr : m_filter.data();
    m_ofn.lpstrFile = m_file;
    m_ofn.nMaxFile = sizeof m_file;
    m_ofn.lpstrDefExt = m_defExt.empty() ? nullptr : m_defExt.c_str();
    BOOL ok = m_open ? ::GetOpenFileNameA(&m_ofn) : ::GetSaveFileNameA(&m_ofn);
    if (!ok)
        return IDCANCEL;
    m_path = m_file;
    return IDOK;
}

CPrintDialog::CPrintDialog(DWORD flags, CWnd *parent)
{
    m_pd.lStructSize = sizeof m_pd;
    m_pd.hwndOwner = OwnerOf(parent);
    m_pd.Flags = flags | PD_RETURNDC;
}

CPrintDialog::~CPrintDialog()
{
    if (m_pd.hDC)
        ::DeleteDC(m_pd.hDC);
    if (m_pd.hDevMode)
        ::GlobalFree(m_pd.hDevMode);
    if (m_pd.hDevNames)
        ::GlobalFree(m_pd.hDevNames);
}

INT_PTR CPrintDialog::DoModal()
{
    return ::PrintDlgA(&m_pd) ? IDOK : IDCANCEL;
}

HDC CPrintDialog::DetachPrinterDC()
{
    HDC dc = m_pd.hDC;
    m_pd.hDC = nullptr;
    return dc;
}

} // namespace cl
