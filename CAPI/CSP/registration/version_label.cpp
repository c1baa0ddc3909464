#include "version_label.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "log_trace.h"
#include "trace_scope.h"

namespace {

const char kUpgradeKey[] = "Software\\Classes\\Installer\\UpgradeCodes\\0D3C7A91B2E84F5A9C61D07E4B28F3A5";
const char kProductsKey[] = "Software\\Classes\\Installer\\Products";
const char kOurVersion[] = " - v03.09.00";

#ifdef _WIN64
const std::string kFileName = "vel3_csp_w64.dll";
#else
const std::string kFileName = "vel3_csp_w32.dll";
#endif

// Copies text into label, cut to fit capacity.
void Put(char *label, DWORD capacity, const std::string &text)
{
    if (!capacity)
        return;
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(label, text.data(), n);
    label[n] = '\0';
}

// A registry text read whole; false when absent or unreadable.
bool ReadText(HKEY key, const char *name, std::string &out)
{
    char buffer[512] = {};
    DWORD type = 0, size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    buffer[size < sizeof buffer ? size : sizeof buffer - 1] = '\0'; // the stored text may lack its NUL
    out = buffer;
    return true;
}

} // namespace

const char *ProviderWidthMark()
{
    return kFileName.find("w64") != std::string::npos ? " 64b" : " 32b";
}

void LabelFromProductName(const char *productName, char *label, DWORD capacity, DWORD *length)
{
    std::string name = productName;
    const size_t vel = name.find("VEL ");
    if (vel == std::string::npos) {
        Put(label, capacity, name);
        return;
    }
    std::string package = name.substr(vel + 4);
    const size_t x64 = package.find("(x64)");
    std::string width;
    if (x64 != std::string::npos) {
        package.erase(x64);
        width = "64b";
    } else {
        width = " 32b";
    }
    const std::string suffix = width + kOurVersion + ProviderWidthMark();
    // Suffixes always show whole: a long package name is cut instead.
    if (capacity > suffix.size() + 1 && package.size() > capacity - 1 - suffix.size())
        package.erase(capacity - 1 - suffix.size());
    Put(label, capacity, package + suffix);
    if (length)
        *length = static_cast<DWORD>(std::strlen(label));
}

int getSorveloVersion(DWORD *capacity, char *label)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "getSorveloVersion", TRUE, "%s", "");
    if (!capacity || !label || *capacity == 0) {
        trace.Return(FALSE, "Bad parameters supplied");
        return 0;
    }
    const DWORD room = *capacity;
    REGSAM access = KEY_READ;
    HKEY upgrade = nullptr;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpgradeKey, 0, access, &upgrade);
    if (r == ERROR_FILE_NOT_FOUND) {
        access = KEY_READ | KEY_WOW64_64KEY;
        r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpgradeKey, 0, access, &upgrade);
    }
    if (r == ERROR_ACCESS_DENIED) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "getSorveloVersion", 0, FALSE, "Access denied : %lx",
                   static_cast<unsigned long>(r));
        Put(label, room, std::string("TAV") + kOurVersion + ProviderWidthMark());
        trace.Return(TRUE, "%s", "");
        return 1;
    }
    if (r != ERROR_SUCCESS) {
        trace.Return(FALSE, "Error RegOpenKeyEx : %lx", static_cast<unsigned long>(r));
        return 0;
    }
    bool lastFound = false;
    LONG e = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        char code[256] = {};
        DWORD codeLength = sizeof code;
        e = RegEnumValueA(upgrade, index, code, &codeLength, nullptr, nullptr, nullptr, nullptr);
        if (e != ERROR_SUCCESS || code[0] == '\0')
            break;
        std::memset(label, 0, room);
        lastFound = false;
        HKEY product = nullptr;
        const std::string path = std::string(kProductsKey) + "\\" + code;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &product) != ERROR_SUCCESS)
            continue;
        std::string name;
        const bool read = ReadText(product, "ProductName", name) || ReadText(product, "DisplayName", name);
        RegCloseKey(product);
        if (!read)
            continue;
        lastFound = true;
        DWORD length = 0;
        LabelFromProductName(name.c_str(), label, room, &length);
        if (name.find("VEL ") != std::string::npos)
            *capacity = length;
    }
    RegCloseKey(upgrade);
    const bool ok = (e == ERROR_NO_MORE_ITEMS || e == ERROR_SUCCESS) && lastFound;
    trace.Return(ok ? TRUE : FALSE, "%s", "");
    return 1;
}
