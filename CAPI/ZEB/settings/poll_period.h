// The poll thread's pause from a watching period in seconds (watchOnTimer,
// watchOffTimer). Free of Windows headers (native tests).
#ifndef ZEB_POLL_PERIOD_H
#define ZEB_POLL_PERIOD_H

#include <cstdint>

namespace zeb {

// Bounds of a usable period: 0 would make the poll a busy loop, and a period
// of days would leave a removed card's certificates in the store that long
// (and overflow once turned into milliseconds).
constexpr uint32_t kMinPollSeconds = 1;
constexpr uint32_t kMaxPollSeconds = 24 * 60 * 60;

// `seconds` in milliseconds when it lies within the bounds, else
// `defaultSeconds` (itself within them) in milliseconds.
uint32_t PollPeriodMs(uint32_t seconds, uint32_t defaultSeconds);

} // namespace zeb

#endif
