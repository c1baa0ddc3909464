#include "trace_level.h"

namespace vel::trace {

std::optional<int> LevelOfValue(uint32_t type, const uint8_t *data, size_t size)
{
    if ((type != kRegDword && type != kRegBinary) || size != 4 || !data)
        return std::nullopt;
    return static_cast<int>(data[0] | (data[1] << 8));
}

} // namespace vel::trace
