// The middleware package as the Windows Installer registered it: the product
// codes under the package's upgrade code and each product's name, read
// through a port (win/installed_package_win.h reads the machine's registry).
// Shared by the provider's version label and the tray's about box, each of
// which makes its own text from the names. Platform-free.
#ifndef VEL_INSTALLED_PACKAGE_H
#define VEL_INSTALLED_PACKAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel {

// Keys under HKEY_LOCAL_MACHINE: the upgrade code's, whose value names are
// the product codes, and each product's.
extern const char kPackageUpgradeCodeKey[];
std::string InstalledProductKey(const std::string &productCode);

// Windows results the look-up tells apart.
constexpr long kRegistryOk = 0;
constexpr long kRegistryNotFound = 2;      // ERROR_FILE_NOT_FOUND
constexpr long kRegistryAccessDenied = 5;  // ERROR_ACCESS_DENIED
constexpr long kRegistryNoMoreItems = 259; // ERROR_NO_MORE_ITEMS

// What the look-up needs of the registry.
class InstallerRegistry {
public:
    virtual ~InstallerRegistry() = default;
    // Opens the upgrade code's key, in the 64-bit view when asked; the
    // products are then read in the same view. A Windows result.
    virtual long OpenUpgradeCodes(bool view64) = 0;
    // The name of the key's value at `index`: kRegistryOk, or the result
    // that ends the list.
    virtual long ProductCode(unsigned index, std::string &code) = 0;
    // A text value of a product's key; false when the key or the value
    // cannot be read as text.
    virtual bool ProductText(const std::string &code, const char *valueName, std::string &text) = 0;
};

struct InstalledProduct {
    std::string code;
    bool hasProductName = false;
    std::string productName;
    bool hasDisplayName = false; // read only when ProductName could not be
    std::string displayName;
};

struct InstalledPackage {
    long openResult = kRegistryNotFound; // the upgrade code's key, in its last view tried
    bool listEnded = false;              // the product list ended normally (no more items, or an empty name)
    std::vector<InstalledProduct> products; // in the installer's order
};

// Opens the upgrade code's key (again in the 64-bit view when the default
// view has no such key: a 32-bit process on a 64-bit system) and reads up to
// `maxProducts` products in order.
InstalledPackage LookUpInstalledPackage(InstallerRegistry &registry, size_t maxProducts = SIZE_MAX);

// The name a product goes by: its ProductName, else its DisplayName; NULL
// when it has neither.
const std::string *ProductShownName(const InstalledProduct &product);

} // namespace vel

#endif
