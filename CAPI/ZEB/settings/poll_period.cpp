#include "poll_period.h"

namespace zeb {

uint32_t PollPeriodMs(uint32_t seconds, uint32_t defaultSeconds)
{
    if (seconds < kMinPollSeconds || seconds > kMaxPollSeconds)
        seconds = defaultSeconds;
    return seconds * 1000u;
}

} // namespace zeb
