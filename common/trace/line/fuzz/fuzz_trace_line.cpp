// Any parts and any buffer size for a trace line: never a write past the
// buffer, never a line past the bound, the ending always last and whole
// when it fits.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "trace_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    // Sizes from the first bytes; the parts are the rest, split at NULs.
    const size_t bufferSize = 1 + (data[0] | data[1] << 8) % 5000;
    const size_t indent = (data[2] | (data[3] & 0x1F) << 8);
    std::vector<std::string> parts(4);
    size_t part = 0;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0 && part < 3)
            ++part;
        else if (data[i] != 0)
            parts[part] += static_cast<char>(data[i]);
    }
    std::vector<char> out(bufferSize + 16, '#');
    const size_t n = vel::trace::ComposeLine(out.data(), bufferSize, parts[0].c_str(), indent,
                                             parts[1].c_str(), '(', parts[2].c_str(), parts[3].c_str());
    const size_t room =
        bufferSize - 1 < vel::trace::kMaxLineLength ? bufferSize - 1 : vel::trace::kMaxLineLength;
    if (n > room || out[n] != '\0' || std::strlen(out.data()) != n || out[bufferSize] != '#')
        __builtin_trap();
    const std::string &ending = parts[3];
    if (ending.size() <= room &&
        std::string(out.data(), n).compare(n - ending.size(), ending.size(), ending) != 0)
        __builtin_trap();
    return 0;
}
