// Where the card manager finds its data folder (through GetDataFolderPath):
// the shared data folder's `coffre` or `log` subfolder, with its trailing
// backslash; empty when no folder can be had (files then go to the current
// directory).
#ifndef VEL3GES_APP_DATAFOLDER_H
#define VEL3GES_APP_DATAFOLDER_H

#include <string>

namespace vel {

enum class DataFolderKind { Coffre = 1, Log = 2 };
std::string DataFolderPrefix(DataFolderKind kind);

} // namespace vel

#endif
