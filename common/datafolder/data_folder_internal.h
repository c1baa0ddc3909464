// The two halves of GetDataFolderPath, apart so that tests can give them
// bases the machine does not have (missing, long, environment-only).
#ifndef VEL_DATA_FOLDER_INTERNAL_H
#define VEL_DATA_FOLDER_INTERNAL_H

#include <stddef.h>

namespace vel_datafolder {

// Size of the base-folder buffer, as Windows' MAX_PATH.
constexpr size_t kBaseSize = 260;

// The base folder from the environment variable ALLUSERSPROFILE into base
// (kBaseSize bytes). A missing value, or one that does not fit, leaves base
// empty. Returns true when base holds a folder.
bool BaseFromEnvironment(char *base);

// GetDataFolderPath once the base folder is known (base not empty).
unsigned long PathFromBase(const char *base, char *dst, unsigned long dstLen, unsigned char kind);

} // namespace vel_datafolder

#endif
