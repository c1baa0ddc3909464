// CAboutDlg: the tray's about box (template 100) with four versions: the
// installed package, the tray itself, the provider and the PKCS#11
// library. Every lookup that fails shows "inconnue"; the box always opens.
#ifndef ZEB_UI_ABOUT_DLG_H
#define ZEB_UI_ABOUT_DLG_H

#include <string>

#include "classlib/dialog.h"

namespace zeb {

constexpr UINT kAboutTemplate = 100;

// The ProductVersion string of `fileName` in the system directory, under
// the file's first translation; "inconnue" when the file, its version
// resource or the string is missing.
std::string GetDllProductVersion(const char *fileName);

// The installed package's version, from the product name registered under
// the package's upgrade code (Windows Installer, HKLM); "inconnue" when it
// is not installed or the name holds no version.
std::string GetPackageVersion();

class CAboutDlg : public cl::CDialog {
public:
    CAboutDlg() : cl::CDialog(kAboutTemplate) {}
    BOOL OnInitDialog() override;
    void DoDataExchange(cl::CDataExchange *dx) override;

    std::string m_trayVersion = "03.14.00";
    std::string m_providerVersion;
    std::string m_pkcs11Version;
    std::string m_packageVersion;
};

} // namespace zeb

#endif
