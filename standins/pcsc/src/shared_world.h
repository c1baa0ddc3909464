// The one state the PC/SC stand-in and the software card share, as files:
// the software card's state file (readers, cards, latency, injected results,
// call log) and the stand-in's own "<state>.pcsc" (runtime_state.h). Every
// call reads them afresh, so a change made by any process (softcard_ctl,
// another caller) is seen at once. Windows only.
#ifndef PCSC_SHARED_WORLD_H
#define PCSC_SHARED_WORLD_H

#include <functional>
#include <string>

#include "runtime_state.h"
#include "state.h"

namespace pcsc {

struct World {
    softcard::State state;
    Runtime runtime;
};

class SharedWorld {
public:
    SharedWorld();

    // Both files as they are now; connections of processes that have ended
    // are left out. False when a file is damaged.
    bool Read(World &world);
    // Read, change and write back the runtime under its lock (held by every
    // process). `change` returns a PC/SC code and says whether it changed
    // anything; nothing is written otherwise.
    long Update(const std::function<long(World &, bool &changed)> &change);

    // The result injected for this call of `function`, if one is due (the
    // rule is consumed, counted across processes as the software card does).
    bool TakeInjection(const char *function, long &rv);
    // The latency set for calls that reach a card.
    void ApplyLatency();
    // One line in the software card's call log when its log is on.
    void Log(const std::string &line);

    // The folder of both files: what a waiting call watches.
    std::string Folder() const;

private:
    bool ReadState(softcard::State &state);
    std::string statePath_, runtimePath_;
};

} // namespace pcsc

#endif
