#include "SlotList.h"

#include <new>

#include "../card/CardConnection.h"
#include "../card/CardServices.h"
#include "../card/CardTrace.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"

namespace vel {

namespace {

constexpr uint16_t kStateReady = 257;
constexpr uint16_t kStateNoReader = 259;
constexpr CK_ULONG kPresetCount = 40;
// More readers than any machine has: a count past it is taken for a
// list that cannot be held, as a failed allocation.
constexpr CK_ULONG kMaxListedSlots = 4096;

CK_RV TracedSlotList(CK_SLOT_ID *ids, CK_ULONG *count)
{
    CK_RV rv = g_functions->C_GetSlotList(CK_FALSE, ids, count);
    lastRv = rv;
    TraceCall(CallGetSlotList, rv);
    AppendPaneLine(PaneTrace, "   pSlotList = 0x%08x",
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(ids)));
    AppendPaneLine(PaneTrace, "   pSlotListSize = %d", static_cast<int>(*count));
    AppendPaneLine(PaneTrace, "   withToken = %s", "FALSE");
    return rv;
}

} // namespace

uint16_t ListReadersForChoice(std::vector<ReaderEntry> &readers)
{
    readers.clear();
    if (!g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return kStateNoReader;
    }
    // The session and the card stay as they are: the holder may cancel the
    // choice and must then find the card usable. The reader choice closes
    // the session once a reader is chosen.
    CK_ULONG count = kPresetCount;
    if (TracedSlotList(nullptr, &count) != CKR_OK)
        return kStateNoReader;
    try {
        if (count > kMaxListedSlots)
            throw std::bad_alloc();
        std::vector<CK_SLOT_ID> ids(count ? count : 1, 0);
        // A reader plugged in between the two listings makes the second one
        // refuse the array: the list is then not used.
        if (TracedSlotList(ids.data(), &count) != CKR_OK || count > ids.size())
            return kStateNoReader;
        if (count == 0)
            return kStateNoReader;

        for (CK_ULONG i = 0; i < count; ++i) {
            CK_SLOT_INFO info{};
            ReaderEntry entry{ids[i], false, {}};
            ReadSlotInfo(ids[i], &info);
            if (lastRv == CKR_OK) {
                entry.named = true;
                entry.name = PaddedFieldText(info.slotDescription, sizeof info.slotDescription);
            } else {
                lastRv = CKR_OK;
            }
            readers.push_back(entry);
        }
    } catch (const std::bad_alloc &) {
        readers.clear();
        lastRv = CKR_HOST_MEMORY;
        return kStateNoReader;
    }
    return kStateReady;
}

} // namespace vel
