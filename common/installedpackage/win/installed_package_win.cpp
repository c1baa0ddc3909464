#include "installed_package_win.h"

#include <windows.h>

namespace vel {

namespace {

class MachineInstallerRegistry : public InstallerRegistry {
public:
    ~MachineInstallerRegistry() override
    {
        if (upgrade_)
            RegCloseKey(upgrade_);
    }

    long OpenUpgradeCodes(bool view64) override
    {
        if (upgrade_)
            RegCloseKey(upgrade_);
        upgrade_ = nullptr;
        access_ = KEY_READ | (view64 ? KEY_WOW64_64KEY : 0);
        HKEY key = nullptr;
        const LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPackageUpgradeCodeKey, 0, access_, &key);
        if (result == ERROR_SUCCESS)
            upgrade_ = key;
        return result;
    }

    long ProductCode(unsigned index, std::string &code) override
    {
        char name[256] = {};
        DWORD length = sizeof name;
        const LONG result = RegEnumValueA(upgrade_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS)
            code = name;
        return result;
    }

    bool ProductText(const std::string &code, const char *valueName, std::string &text) override
    {
        HKEY product = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstalledProductKey(code).c_str(), 0, access_, &product) !=
            ERROR_SUCCESS)
            return false;
        char buffer[512] = {};
        DWORD type = 0, size = sizeof buffer - 1;
        const bool read = RegQueryValueExA(product, valueName, nullptr, &type,
                                           reinterpret_cast<BYTE *>(buffer), &size) == ERROR_SUCCESS &&
                          (type == REG_SZ || type == REG_EXPAND_SZ);
        RegCloseKey(product);
        if (!read)
            return false;
        buffer[size < sizeof buffer ? size : sizeof buffer - 1] = '\0'; // the stored text may lack its NUL
        text = buffer;
        return true;
    }

private:
    HKEY upgrade_ = nullptr;
    REGSAM access_ = KEY_READ;
};

} // namespace

InstalledPackage ReadInstalledPackage(size_t maxProducts)
{
    MachineInstallerRegistry registry;
    return LookUpInstalledPackage(registry, maxProducts);
}

} // namespace vel
