// Where the library looks for DICO-FR.QUV.
#ifndef VLTAB_DICTIONARY_PATH_H
#define VLTAB_DICTIONARY_PATH_H

#include <string>

namespace vltab {

// The file in the data folder's coffre subfolder when that folder exists,
// else in the Windows folder. Only reads; creates nothing.
std::string GetDictionaryPath();

} // namespace vltab

#endif
