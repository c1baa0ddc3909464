#include "installed_package.h"

namespace vel {

const char kPackageUpgradeCodeKey[] =
    "Software\\Classes\\Installer\\UpgradeCodes\\0D3C7A91B2E84F5A9C61D07E4B28F3A5";

std::string InstalledProductKey(const std::string &productCode)
{
    return "Software\\Classes\\Installer\\Products\\" + productCode;
}

InstalledPackage LookUpInstalledPackage(InstallerRegistry &registry, size_t maxProducts)
{
    InstalledPackage package;
    package.openResult = registry.OpenUpgradeCodes(false);
    if (package.openResult == kRegistryNotFound)
        package.openResult = registry.OpenUpgradeCodes(true);
    if (package.openResult != kRegistryOk)
        return package;
    for (unsigned index = 0; package.products.size() < maxProducts; ++index) {
        InstalledProduct product;
        const long result = registry.ProductCode(index, product.code);
        if (result != kRegistryOk || product.code.empty()) {
            package.listEnded = result == kRegistryOk || result == kRegistryNoMoreItems;
            break;
        }
        product.hasProductName = registry.ProductText(product.code, "ProductName", product.productName);
        if (!product.hasProductName)
            product.hasDisplayName = registry.ProductText(product.code, "DisplayName", product.displayName);
        package.products.push_back(product);
    }
    return package;
}

const std::string *ProductShownName(const InstalledProduct &product)
{
    if (product.hasProductName)
        return &product.productName;
    if (product.hasDisplayName)
        return &product.displayName;
    return nullptr;
}

} // namespace vel
