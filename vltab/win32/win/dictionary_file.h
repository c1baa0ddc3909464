// Reading DICO-FR.QUV in one pass.
#ifndef VLTAB_DICTIONARY_FILE_H
#define VLTAB_DICTIONARY_FILE_H

#include <cstdint>
#include <string>

#include "load.h"

namespace vltab {

// Reads the whole file at path into out. Returns kOk, kCannotOpen (missing,
// a folder, or locked), kReadError (read or close failure), kBadLine (larger
// than any dictionary the format allows) or kOutOfMemory.
uint16_t ReadDictionaryFile(const std::string &path, FileBytes &out);

} // namespace vltab

#endif
