// The slot table in event-driven mode, where entries belong to readers:
// which entry a reader's card takes, what an insertion does with it, and
// the table following the reader monitor's list of readers. Free of Windows
// headers (native tests, soak); the core object applies these decisions
// under its table lock and does the card and store work they call for.
#ifndef ZEB_READER_ENTRIES_H
#define ZEB_READER_ENTRIES_H

#include <cstddef>
#include <string>
#include <vector>

#include "slot_table.h"

namespace zeb {

// One reader as the reader monitor sees it (event-driven mode).
struct ReaderPresence {
    std::string name;
    bool present = false; // a VEL card is in it
};

// A request of the reader monitor that names a reader and a card
// generation, and (insertion) a slot id other than all bits set.
bool InsertRequestUsable(CK_SLOT_ID slotId, const char *readerName, unsigned version);
// A removal finds its entry by the reader's name alone: it needs no slot
// id, so one the monitor could not learn still takes the certificates out.
bool RemoveRequestUsable(const char *readerName, unsigned version);

// One slot as an insertion lists it: its id and C_GetSlotInfo's answer.
struct ListedSlot {
    CK_SLOT_ID id = 0;
    CK_SLOT_INFO info{};
};
// The slot whose card an insertion reads: the one the monitor named
// (`cached`) while it still holds a card under the reader's name (of two
// readers named alike over a description's width, the other's slot matches
// too), else the first that does in the library's order (the slot id
// changed since the monitor looked). False when no slot does: `cached` stays.
bool RefreshSlotId(const std::vector<ListedSlot> &slots, const char *readerName, CK_SLOT_ID *cached);

// How an insertion found its entry.
enum class EntryMatch {
    none,       // every entry belongs to another reader or holds something
    readerName, // the reader's own entry
    unused,     // the first entry that holds nothing
};
struct EntryChoice {
    EntryMatch match = EntryMatch::none;
    size_t index = 0;
};

// The entry a card arriving in `readerName` takes: the reader's own (the
// first that names it, EntryNamesReader), else the first that holds
// nothing. Never an entry of another reader, whatever its slot id.
//   table, count  the slot table
EntryChoice ChooseInsertEntry(const SlotInfoEntry *table, size_t count, const char *readerName);

// The reader's own entry for a removal; `count` when it has none.
size_t FindReaderEntry(const SlotInfoEntry *table, size_t count, const char *readerName);

// The entry takes the reader: its slot id, the reader's whole name, that
// name as the slot description (at most its 64 bytes, NUL-padded), the
// token label "VEL4" for generation 4, else "VEL3".
void ClaimEntry(SlotInfoEntry *entry, CK_SLOT_ID slotId, const char *readerName, unsigned version);

enum class InsertAction {
    keep,      // the same card's certificates are in the store already
    inhibit,   // a VEL3 card in WebAuthn exclusive mode: marked, not propagated
    propagate, // the card's certificates go into the store
};
struct InsertDecision {
    InsertAction action = InsertAction::propagate;
    bool giveBackFirst = false; // the entry's earlier certificates leave the store first
};

// What an insertion does with its chosen (and claimed) entry.
//   tokenKnown, token  the card now in the slot, when it could be read
//   version            the card's generation (3 or 4)
//   fidoV4, webauthn   the settings patch_fido_v4 and patch_fido_webauthn
InsertDecision DecideInsert(const SlotInfoEntry &entry, bool tokenKnown, const CK_TOKEN_INFO &token,
                            unsigned version, bool fidoV4, bool webauthn);

// The entry made ready for the card `token` once its earlier certificates
// are given back: no inhibition, marked changed, no session (the library
// was finalised since), the card it will hold.
void PrepareForCard(SlotInfoEntry *entry, const CK_TOKEN_INFO &token);

// After a removal: the entry no longer names its reader and keeps nothing
// of the card (its certificates were given back first).
void ReleaseReaderEntry(SlotInfoEntry *entry);

// Entries known by their slot description alone (filled from the PKCS#11
// slots before the reader monitor ran) take the whole name of the reader
// they stand for: the entries in table order against the readers no entry
// names yet, in the monitor's order, by ReadersOfDescriptions. Two readers
// named alike over the description's width so keep each its own card.
//   table, count  the slot table
//   readers       every reader of the monitor, in its order
void NameEntries(SlotInfoEntry *table, size_t count, const std::vector<std::string> &readers);

// The table follows the first `kSlotCount` of `readers`, in their order:
// entry j becomes reader j's, taking over the entry that held that reader's
// name (certificates and all; entries known by description alone are named
// first, NameEntries); its slot id is j, its reader's name the reader's and
// its description that name padded with blanks. Entries from j = n on are
// empty.
//   table  kSlotCount entries
//   gone   receives the entries of readers no longer listed that still
//          hold certificates or a propagated mark: the caller gives them back
// Returns n, the number of entries in use.
size_t FollowReaders(SlotInfoEntry *table, const std::vector<ReaderPresence> &readers,
                     std::vector<SlotInfoEntry> *gone);

// True when a card is present in one of the first `kSlotCount` readers.
bool AnyCardPresent(const std::vector<ReaderPresence> &readers);

} // namespace zeb

#endif
