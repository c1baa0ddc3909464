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

// What one reader held when last seen, and what it holds now. A card is
// known by its generation and by the reader's insertion count (the high
// word of its PC/SC event state), which changes with every card put in.
struct ReaderKept {
    bool present = false;    // a VEL card was there
    unsigned version = 0;    // its generation
    unsigned insertions = 0; // the reader's insertion count then
    bool propagated = false; // its certificates reached the store
};
struct ReaderNow {
    bool vel = false;
    unsigned version = 0;
    unsigned insertions = 0;
};

enum class CardAction {
    nothing,
    insert,  // a card arrived
    remove,  // the card left
    replace, // another card took its place: removal, then insertion
    retry,   // the same card, whose propagation failed: insertion again
};

CardAction DecideCardAction(const ReaderKept &kept, const ReaderNow &now);

// The reader count of a PC/SC event state (its high word).
inline unsigned InsertionCount(unsigned long eventState)
{
    return static_cast<unsigned>((eventState >> 16) & 0xFFFF);
}

} // namespace zeb

#endif
