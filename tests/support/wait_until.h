// The tests' one wait on a condition: polled, bounded by a time on an idle
// machine times the machine's factor (timeout_scale.h). Platform-free.
#pragma once

#include "timeout_scale.h"

#include <chrono>
#include <thread>

namespace vel_test {

// Polls `done` every 20 ms until it holds, for up to `baseMs` scaled; whether
// it held (checked once more at the limit, so that a slow last poll counts).
template <class Done> bool WaitUntil(Done &&done, unsigned long baseMs)
{
    const auto limit = std::chrono::milliseconds(ScaledMs(baseMs));
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start > limit)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace vel_test
