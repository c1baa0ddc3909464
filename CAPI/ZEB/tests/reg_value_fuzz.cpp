// Registry value checks on arbitrary bytes: the first byte picks the type.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reg_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint32_t type = data[0] & 7;
    const uint8_t *value = data + 1;
    size_t len = size - 1;
    uint32_t dw;
    zeb::DwordFromValue(type, value, len, &dw);
    char text[260];
    zeb::StringFromValue(type, value, len, text, sizeof text);
    std::vector<std::string> list;
    zeb::MultiStringFromValue(type, value, len, &list);
    return 0;
}
