// The installed package read from this machine's installer registry
// (HKEY_LOCAL_MACHINE, read only). Windows only.
#ifndef VEL_INSTALLED_PACKAGE_WIN_H
#define VEL_INSTALLED_PACKAGE_WIN_H

#include <cstddef>
#include <cstdint>

#include "installed_package.h"

namespace vel {

// LookUpInstalledPackage over the registry: product codes of up to 255
// characters, names of up to 511 bytes (REG_SZ or REG_EXPAND_SZ).
InstalledPackage ReadInstalledPackage(size_t maxProducts = SIZE_MAX);

} // namespace vel

#endif
