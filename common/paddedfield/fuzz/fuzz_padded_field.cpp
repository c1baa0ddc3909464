// Any field bytes, any width and any name: never a read past the field, and
// the text always a prefix of the field with no NUL and no trailing blank.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "padded_field.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte splits the rest into the field and the name.
    const size_t width = data[0] % 80 < size - 1 ? data[0] % 80 : size - 1;
    std::vector<unsigned char> field(data + 1, data + 1 + width); // exactly the width
    std::string name(reinterpret_cast<const char *>(data + 1 + width), size - 1 - width);
    const std::string text = vel::PaddedFieldText(field.data(), field.size());
    if (text.size() > width || std::memcmp(text.data(), field.data(), text.size()) != 0 ||
        text.find('\0') != std::string::npos || (!text.empty() && text.back() == ' '))
        std::abort();
    const bool equal = vel::PaddedFieldEquals(field.data(), field.size(), name.c_str());
    // A name the field holds whole is equal to the text and only to it.
    const std::string shortName = name.c_str();
    if (shortName.size() <= width && equal != (shortName == text))
        std::abort();
    return 0;
}
