// What the PC/SC monitor does after a status change, as a rule of its own
// so it can be checked on every combination. Platform-free.
#ifndef ZEB_PCSC_MONITOR_RULES_H
#define ZEB_PCSC_MONITOR_RULES_H

namespace zeb {

struct StatusChangeSeen {
    bool pnp = false;         // the Plug-and-Play pseudo reader changed
    bool readerEntry = false; // at least one real reader's entry changed
    bool listRead = false;    // after a pnp change: the reader list was read again
    bool listChanged = false; // ... and differs from the one kept
};

enum class AfterChange {
    nothing,
    scanStates, // ScanReaderStates
    rescanAll,  // InitialScan, RebuildSlotCache, ScanReaderStates, propagation
};

// A Plug-and-Play notice whose list turns out unchanged (or cannot be read)
// still scans the readers when one of their entries changed in the same
// status change: the card event it carries is not lost.
AfterChange DecideAfterStatusChange(const StatusChangeSeen &seen);

} // namespace zeb

#endif
