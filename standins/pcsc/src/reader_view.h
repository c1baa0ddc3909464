// What PC/SC shows of one shared state: the readers in the software card's
// order and, per reader, the state bits, event counter and ATR that
// SCardGetStatusChange reports. Platform-free.
#ifndef PCSC_READER_VIEW_H
#define PCSC_READER_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "runtime_state.h"
#include "state.h"

namespace pcsc {

// State bits (the same values as the PC/SC interface's).
enum : uint32_t {
    kStateIgnore = 0x1,
    kStateChanged = 0x2,
    kStateUnknown = 0x4,
    kStateEmpty = 0x10,
    kStatePresent = 0x20,
    kStateExclusive = 0x80,
    kStateInUse = 0x100,
};

extern const char kPnpReaderName[]; // \\?PnP?\Notification

struct ReaderSnapshot {
    bool known = false;
    uint32_t state = 0; // event state, high word included, CHANGED never set
    std::vector<uint8_t> atr;
};

// The state of one reader name (or of the Plug-and-Play pseudo reader,
// whose high word changes with the reader list).
ReaderSnapshot SnapshotOf(const softcard::State &state, const Runtime &rt, const std::string &reader);

// Whether a caller holding `current` must be told of `now`: differences in
// the low word (CHANGED aside), in the counter when the caller gave one,
// and always when the caller knows nothing (0).
bool Differs(uint32_t current, uint32_t now);

} // namespace pcsc

#endif
