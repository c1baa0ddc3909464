#include "reader_entries.h"
#include "padded_field.h"

#include <cstring>
#include <utility>

namespace zeb {

namespace {

bool Unused(const SlotInfoEntry &e)
{
    return e.slotInfo.slotDescription[0] == '\0' && e.nbCerts == 0 && !e.bSynchro && !e.bIgnoredWebAuthn;
}

bool NamesReader(const SlotInfoEntry &e, const char *readerName)
{
    return e.slotInfo.slotDescription[0] &&
           vel::PaddedFieldEquals(e.slotInfo.slotDescription, sizeof e.slotInfo.slotDescription, readerName);
}

} // namespace

bool InsertRequestUsable(CK_SLOT_ID slotId, const char *readerName, unsigned version)
{
    return RemoveRequestUsable(readerName, version) && slotId != static_cast<CK_SLOT_ID>(-1);
}

bool RemoveRequestUsable(const char *readerName, unsigned version)
{
    return readerName && readerName[0] && version != 0;
}

EntryChoice ChooseInsertEntry(const SlotInfoEntry *table, size_t count, const char *readerName)
{
    for (size_t i = 0; i < count; ++i)
        if (NamesReader(table[i], readerName))
            return {EntryMatch::readerName, i};
    for (size_t i = 0; i < count; ++i)
        if (Unused(table[i]))
            return {EntryMatch::unused, i};
    return {};
}

size_t FindReaderEntry(const SlotInfoEntry *table, size_t count, const char *readerName)
{
    for (size_t i = 0; i < count; ++i)
        if (NamesReader(table[i], readerName))
            return i;
    return count;
}

void ClaimEntry(SlotInfoEntry *entry, CK_SLOT_ID slotId, const char *readerName, unsigned version)
{
    entry->slotId = slotId;
    memset(&entry->slotInfo, 0, sizeof entry->slotInfo);
    memcpy(entry->slotInfo.slotDescription, readerName,
           strnlen(readerName, sizeof entry->slotInfo.slotDescription));
    memset(&entry->tokenInfo, 0, sizeof entry->tokenInfo);
    memcpy(entry->tokenInfo.label, version == 4 ? "VEL4" : "VEL3", 4);
}

InsertDecision DecideInsert(const SlotInfoEntry &entry, bool tokenKnown, const CK_TOKEN_INFO &token,
                            unsigned version, bool fidoV4, bool webauthn)
{
    if (KeepsSameCard(entry, tokenKnown, token))
        return {InsertAction::keep, false};
    InsertDecision d;
    d.giveBackFirst = entry.bSynchro || entry.nbCerts > 0;
    d.action = version == 3 && fidoV4 && webauthn ? InsertAction::inhibit : InsertAction::propagate;
    return d;
}

void PrepareForCard(SlotInfoEntry *entry, const CK_TOKEN_INFO &token)
{
    entry->bIgnoredWebAuthn = 0;
    entry->changed = 1;
    entry->hSession = 0;
    entry->heldToken = token;
}

void ReleaseReaderEntry(SlotInfoEntry *entry)
{
    entry->bIgnoredWebAuthn = 0;
    entry->changed = 0;
    entry->hSession = 0;
    memset(&entry->slotInfo, 0, sizeof entry->slotInfo);
}

size_t FollowReaders(SlotInfoEntry *table, const std::vector<ReaderPresence> &readers,
                     std::vector<SlotInfoEntry> *gone)
{
    size_t n = readers.size() < kSlotCount ? readers.size() : kSlotCount;
    SlotInfoEntry moved[kSlotCount];
    bool taken[kSlotCount] = {};
    for (size_t j = 0; j < n; ++j) {
        for (size_t i = 0; i < kSlotCount; ++i) {
            if (taken[i] || !NamesReader(table[i], readers[j].name.c_str()))
                continue;
            moved[j] = std::move(table[i]); // the reader's entry, certificates and all
            taken[i] = true;
            break;
        }
    }
    for (size_t i = 0; i < kSlotCount; ++i) {
        if (!taken[i] && (table[i].nbCerts || table[i].bSynchro))
            gone->push_back(std::move(table[i]));
        table[i] = std::move(moved[i]);
    }
    for (size_t j = 0; j < n; ++j) {
        SlotInfoEntry &e = table[j];
        e.slotId = static_cast<CK_SLOT_ID>(j);
        memset(e.slotInfo.slotDescription, ' ', sizeof e.slotInfo.slotDescription);
        const std::string &name = readers[j].name;
        memcpy(e.slotInfo.slotDescription, name.data(),
               name.size() < sizeof e.slotInfo.slotDescription ? name.size()
                                                               : sizeof e.slotInfo.slotDescription);
        // bSynchro stays what the propagation made it: a card present whose
        // propagation failed is not synchronised, and is not counted.
    }
    return n;
}

bool AnyCardPresent(const std::vector<ReaderPresence> &readers)
{
    size_t n = readers.size() < kSlotCount ? readers.size() : kSlotCount;
    for (size_t j = 0; j < n; ++j)
        if (readers[j].present)
            return true;
    return false;
}

} // namespace zeb
