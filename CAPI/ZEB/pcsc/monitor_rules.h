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

// What is kept of a reader once its card was propagated.
//   kept        the reader as seen by the look the propagation was decided
//               on (a rescan's, or a scan's)
//   before      the reader looked at again just before the propagation,
//   after       and just after it (null: that look failed)
//   propagated  the certificates reached the store
// The card side propagates the card it finds when it reads the token, which
// may have replaced the one that look saw. The same card at both looks
// (same generation as propagated, same insertion count) is the card it
// propagated: kept as such, the status change its arrival left queued is no
// change any more. Otherwise the earlier look stays, and the next scan
// takes the change for the real one it is.
ReaderKept KeptAfterPropagation(const ReaderKept &kept, const ReaderNow *before, const ReaderNow *after,
                                bool propagated);

// The reader count of a PC/SC event state (its high word).
inline unsigned InsertionCount(unsigned long eventState)
{
    return static_cast<unsigned>((eventState >> 16) & 0xFFFF);
}

} // namespace zeb

#endif
