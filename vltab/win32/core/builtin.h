// The built-in copy of the dictionary, used when the file is missing or
// rejected: data/builtin-dictionary.txt with its Checksum record, made at
// build time (data/make-builtin.cmake).
#ifndef VLTAB_BUILTIN_H
#define VLTAB_BUILTIN_H

#include <cstddef>

namespace vltab {

extern const unsigned char kBuiltinDictionaryText[];
extern const size_t kBuiltinDictionarySize;

} // namespace vltab

#endif
