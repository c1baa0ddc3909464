#include "reader_entries.h"

#include <cstring>
#include <utility>

#include "reader_names.h"

namespace zeb {

namespace {

bool Unused(const SlotInfoEntry &e)
{
    return e.slotInfo.slotDescription[0] == '\0' && e.reader.empty() && e.nbCerts == 0 && !e.bSynchro &&
           !e.bIgnoredWebAuthn;
}

// The first entry not `taken` that belongs to the reader: one that bears its
// whole name, else one known by its description alone.
size_t OwnEntry(const SlotInfoEntry *table, size_t count, const char *readerName, const bool *taken = nullptr)
{
    for (int byDescription = 0; byDescription < 2; ++byDescription)
        for (size_t i = 0; i < count; ++i)
            if (!(taken && taken[i]) && table[i].reader.empty() == (byDescription == 1) &&
                EntryNamesReader(table[i], readerName))
                return i;
    return count;
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

bool RefreshSlotId(const std::vector<ListedSlot> &slots, const char *readerName, CK_SLOT_ID *cached)
{
    const ListedSlot *first = nullptr;
    for (const ListedSlot &s : slots) {
        if (!(s.info.flags & CKF_TOKEN_PRESENT) ||
            !vel::PaddedFieldEquals(s.info.slotDescription, sizeof s.info.slotDescription, readerName))
            continue;
        if (s.id == *cached)
            return true;
        if (!first)
            first = &s;
    }
    if (first)
        *cached = first->id;
    return first != nullptr;
}

EntryChoice ChooseInsertEntry(const SlotInfoEntry *table, size_t count, const char *readerName)
{
    size_t own = OwnEntry(table, count, readerName);
    if (own < count)
        return {EntryMatch::readerName, own};
    for (size_t i = 0; i < count; ++i)
        if (Unused(table[i]))
            return {EntryMatch::unused, i};
    return {};
}

size_t FindReaderEntry(const SlotInfoEntry *table, size_t count, const char *readerName)
{
    return OwnEntry(table, count, readerName);
}

void ClaimEntry(SlotInfoEntry *entry, CK_SLOT_ID slotId, const char *readerName, unsigned version)
{
    entry->slotId = slotId;
    entry->reader = readerName;
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
    entry->reader.clear();
    memset(&entry->slotInfo, 0, sizeof entry->slotInfo);
}

void NameEntries(SlotInfoEntry *table, size_t count, const std::vector<std::string> &readers)
{
    std::vector<std::string> unnamedReaders, descriptions;
    std::vector<size_t> unnamedEntries;
    for (const std::string &r : readers) {
        bool named = false;
        for (size_t i = 0; i < count && !named; ++i)
            named = table[i].reader == r;
        if (!named)
            unnamedReaders.push_back(r);
    }
    for (size_t i = 0; i < count; ++i) {
        if (!table[i].reader.empty() || !table[i].slotInfo.slotDescription[0])
            continue;
        unnamedEntries.push_back(i);
        descriptions.emplace_back(reinterpret_cast<const char *>(table[i].slotInfo.slotDescription),
                                  sizeof table[i].slotInfo.slotDescription);
    }
    std::vector<int> owner = ReadersOfDescriptions(descriptions, unnamedReaders);
    std::vector<bool> given(unnamedReaders.size(), false);
    for (size_t k = 0; k < owner.size(); ++k) {
        if (owner[k] < 0 || given[owner[k]])
            continue; // a second entry of one reader stays as it is
        given[owner[k]] = true;
        table[unnamedEntries[k]].reader = unnamedReaders[owner[k]];
    }
}

size_t FollowReaders(SlotInfoEntry *table, const std::vector<ReaderPresence> &readers,
                     std::vector<SlotInfoEntry> *gone)
{
    size_t n = readers.size() < kSlotCount ? readers.size() : kSlotCount;
    std::vector<std::string> names;
    for (size_t j = 0; j < n; ++j)
        names.push_back(readers[j].name);
    NameEntries(table, kSlotCount, names);
    SlotInfoEntry moved[kSlotCount];
    bool taken[kSlotCount] = {};
    for (size_t j = 0; j < n; ++j) {
        size_t i = OwnEntry(table, kSlotCount, readers[j].name.c_str(), taken);
        if (i == kSlotCount)
            continue;
        moved[j] = std::move(table[i]); // the reader's entry, certificates and all
        taken[i] = true;
    }
    for (size_t i = 0; i < kSlotCount; ++i) {
        if (!taken[i] && (table[i].nbCerts || table[i].bSynchro))
            gone->push_back(std::move(table[i]));
        table[i] = std::move(moved[i]);
    }
    for (size_t j = 0; j < n; ++j) {
        SlotInfoEntry &e = table[j];
        e.slotId = static_cast<CK_SLOT_ID>(j);
        e.reader = readers[j].name;
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
