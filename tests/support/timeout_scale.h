// How long a test may wait on this machine: VEL_TIMEOUT_SCALE, set by
// scripts/test.sh or by CTest from scripts/machine.sh (higher on a busy
// machine, and where x86 code is emulated), the same factor as CTest's own
// time limits. Platform-free.
#pragma once

#include <cstdlib>

namespace vel_test {

// The factor, read once; 1 when it is missing, not a number, below 1 or
// beyond 1000.
inline double TimeoutScale()
{
    static const double factor = [] {
        const char *text = std::getenv("VEL_TIMEOUT_SCALE");
        if (!text)
            return 1.0;
        char *end = nullptr;
        const double f = std::strtod(text, &end);
        return end != text && *end == '\0' && f >= 1.0 && f <= 1000.0 ? f : 1.0;
    }();
    return factor;
}

// `ms` times the factor, kept below 0xFFFFFFFF (an endless wait on Windows).
inline unsigned long ScaledMs(unsigned long ms)
{
    const double scaled = ms * TimeoutScale();
    return scaled >= 4294967294.0 ? 4294967294UL : static_cast<unsigned long>(scaled);
}

} // namespace vel_test
