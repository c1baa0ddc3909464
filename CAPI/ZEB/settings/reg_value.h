// Registry value contents checked before use: the type, the size and the
// terminators are verified, every read stays inside the bytes the registry
// returned. Free of Windows headers (native tests and the fuzzer use it).
#ifndef ZEB_REG_VALUE_H
#define ZEB_REG_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeb {

// Registry value types, as the registry reports them.
enum RegType : uint32_t { kRegSz = 1, kRegExpandSz = 2, kRegDword = 4, kRegMultiSz = 7 };

// A DWORD setting: a REG_DWORD of exactly 4 bytes.
//   type, data, size  what the registry returned
//   out               receives the value (untouched on failure)
// False for any other type or size.
bool DwordFromValue(uint32_t type, const uint8_t *data, size_t size, uint32_t *out);

// A text setting: a REG_SZ or REG_EXPAND_SZ, taken up to its first NUL or
// the end of the data when the terminator is missing, cut to outSize - 1
// characters and always terminated.
//   out, outSize  destination (outSize > 0)
// False for another type (out is then the empty string).
bool StringFromValue(uint32_t type, const uint8_t *data, size_t size, char *out, size_t outSize);

// A list setting: a REG_MULTI_SZ walked string by string inside `size`
// bytes (a missing final NUL or double NUL ends the list at the data's end),
// up to the first empty string; strings of one character are skipped.
//   out  receives the strings (cleared first)
// False for another type.
bool MultiStringFromValue(uint32_t type, const uint8_t *data, size_t size, std::vector<std::string> *out);

} // namespace zeb

#endif
