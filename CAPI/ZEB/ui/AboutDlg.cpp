#include "AboutDlg.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "installed_package_win.h"
#include "row_text.h"

namespace zeb {

namespace {
const char kUnknown[] = "inconnue";
} // namespace

std::string GetDllProductVersion(const char *fileName)
{
    char dir[260];
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir)
        return kUnknown;
    char path[260];
    int len = snprintf(path, sizeof path, "%s\\%s", dir, fileName);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path)
        return kUnknown;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return kUnknown;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data()))
        return kUnknown;
    void *translation = nullptr;
    UINT translationLen = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation, &translationLen) ||
        !translation || translationLen < sizeof(DWORD))
        return kUnknown;
    DWORD first;
    memcpy(&first, translation, sizeof first);
    DWORD swapped = (first << 16) | (first >> 16); // language, then code page
    char sub[64];
    snprintf(sub, sizeof sub, "\\StringFileInfo\\%08lx\\ProductVersion", static_cast<unsigned long>(swapped));
    char *value = nullptr;
    UINT valueLen = 0;
    if (!VerQueryValueA(block.data(), sub, reinterpret_cast<void **>(&value), &valueLen))
        return kUnknown;
    if (!value)
        return "";
    return std::string(value, strnlen(value, valueLen));
}

std::string GetPackageVersion()
{
    // The first product registered, by its ProductName alone.
    const vel::InstalledPackage package = vel::ReadInstalledPackage(1);
    if (package.products.empty() || !package.products[0].hasProductName ||
        package.products[0].productName.empty())
        return kUnknown;
    return PackageVersionFromName(package.products[0].productName);
}

BOOL CAboutDlg::OnInitDialog()
{
    cl::CDialog::OnInitDialog();
    m_packageVersion = GetPackageVersion();
    m_providerVersion = GetDllProductVersion("vel3_csp_w64.dll");
    m_pkcs11Version = GetDllProductVersion("vel3_pkcs11_w64.dll");
    UpdateData(FALSE);
    CenterWindow(); // on the screen: the frame it belongs to is never shown
    return TRUE;
}

void CAboutDlg::DoDataExchange(cl::CDataExchange *dx)
{
    cl::DDX_Text(dx, 1001, m_packageVersion);
    cl::DDX_Text(dx, 1002, m_trayVersion);
    cl::DDX_Text(dx, 1003, m_providerVersion);
    cl::DDX_Text(dx, 1004, m_pkcs11Version);
}

} // namespace zeb
