// The reader list of the reader choice: every slot listed (with or without
// a card) with its description.
#ifndef VEL3GES_READERS_SLOTLIST_H
#define VEL3GES_READERS_SLOTLIST_H

#include <cstdint>
#include <vector>

#include "../host/DialogHost.h"

namespace vel {

// Lists the slots into `readers`: 257 when at least one slot is listed, else
// 259 (lastRv then says why). A slot whose description cannot be read has
// no name. The session and the card-present flag are left alone: a
// cancelled choice leaves the card as it was.
uint16_t ListReadersForChoice(std::vector<ReaderEntry> &readers);

} // namespace vel

#endif
