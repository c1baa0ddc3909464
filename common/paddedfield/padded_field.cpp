#include "padded_field.h"

#include <cstring>

namespace vel {

size_t PaddedFieldLength(const unsigned char *field, size_t width)
{
    if (!field)
        return 0;
    size_t n = 0;
    while (n < width && field[n] != '\0')
        ++n;
    while (n > 0 && field[n - 1] == ' ')
        --n;
    return n;
}

std::string PaddedFieldText(const unsigned char *field, size_t width)
{
    const size_t length = PaddedFieldLength(field, width);
    return length ? std::string(reinterpret_cast<const char *>(field), length) : std::string();
}

bool PaddedFieldEquals(const unsigned char *field, size_t width, const char *name)
{
    if (!name)
        return false;
    const size_t length = PaddedFieldLength(field, width);
    size_t nameLength = strnlen(name, width + 1);
    if (nameLength > width) { // cut to the field, then read as the field is
        nameLength = width;
        while (nameLength > 0 && name[nameLength - 1] == ' ')
            --nameLength;
    }
    return nameLength == length && (length == 0 || std::memcmp(field, name, length) == 0);
}

} // namespace vel
