#include "container_names.h"

#include <cstring>

#include "acquire_request.h"

namespace csp::names {

namespace {

// [start, end) into out as a C string; false when it does not fit.
bool CopyPart(const char *start, const char *end, char *out, size_t size)
{
    const size_t n = static_cast<size_t>(end - start);
    if (n >= size)
        return false;
    std::memcpy(out, start, n);
    out[n] = '\0';
    return true;
}

} // namespace

bool ReaderFromRequest(const char *container, char *out, size_t size)
{
    if (!size)
        return false;
    out[0] = '\0';
    if (!container || std::strncmp(container, "\\\\.\\", 4) != 0)
        return true;
    const char *start = container + 4;
    const char *end = std::strchr(start, '\\');
    if (!end || end == start)
        return true;
    return CopyPart(start, end, out, size);
}

bool ComputerNameFromContainer(const char *name, char *out, size_t size)
{
    if (!size)
        return false;
    out[0] = '\0';
    const char *start = std::strstr(name, "CName(");
    if (!start || !EndsAsServiceRequest(name))
        return true;
    start += 6;
    const char *end = name + std::strlen(name) - 1;
    if (end < start)
        return true;
    return CopyPart(start, end, out, size);
}

bool SmartCardGuidFromLabel(const char *label, size_t labelLength, uint8_t (&guid)[16])
{
    std::memset(guid, 0, sizeof guid);
    const char *end = label + labelLength;
    const char *dash = static_cast<const char *>(std::memchr(label, '-', labelLength));
    if (!dash)
        return false;
    const char *digits = dash + 1;
    const char *stop = digits;
    while (stop < end && *stop != ' ' && *stop != '\0')
        ++stop;
    const size_t n = static_cast<size_t>(stop - digits);
    if (n == 0 || n % 2 || n > 32)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (digits[i] < '0' || digits[i] > '9')
            return false;
    const size_t first = sizeof guid - n / 2;
    for (size_t i = 0; i < n / 2; ++i)
        guid[first + i] = static_cast<uint8_t>(((digits[2 * i] - '0') << 4) | (digits[2 * i + 1] - '0'));
    return true;
}

} // namespace csp::names
