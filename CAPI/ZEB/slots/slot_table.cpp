#include "slot_table.h"

#include <cstring>

namespace zeb {

void SlotInfoEntry::Clear()
{
    slotId = 0;
    memset(&slotInfo, 0, sizeof slotInfo);
    reader.clear();
    memset(&tokenInfo, 0, sizeof tokenInfo);
    memset(&heldToken, 0, sizeof heldToken);
    hSession = 0;
    for (auto &c : certs)
        c.reset();
    nbCerts = 0;
    bSynchro = bIgnoredWebAuthn = changed = 0;
}

bool SameToken(const CK_TOKEN_INFO &stored, const CK_TOKEN_INFO &now)
{
    return memcmp(stored.label, now.label, sizeof stored.label) == 0 &&
           memcmp(stored.serialNumber, now.serialNumber, sizeof stored.serialNumber) == 0 &&
           memcmp(stored.manufacturerID, now.manufacturerID, sizeof stored.manufacturerID) == 0 &&
           memcmp(stored.model, now.model, sizeof stored.model) == 0;
}

bool EntryNamesReader(const SlotInfoEntry &entry, const char *name)
{
    if (!entry.reader.empty())
        return name && entry.reader == name;
    return entry.slotInfo.slotDescription[0] &&
           vel::PaddedFieldEquals(entry.slotInfo.slotDescription, sizeof entry.slotInfo.slotDescription,
                                  name);
}

bool HeldWithoutCard(const SlotInfoEntry &entry, const std::vector<std::string> &readersWithCard)
{
    if (!entry.nbCerts && !entry.bSynchro)
        return false;
    for (const std::string &reader : readersWithCard)
        if (EntryNamesReader(entry, reader.c_str()))
            return false;
    return true;
}

bool KeepsSameCard(const SlotInfoEntry &entry, bool known, const CK_TOKEN_INFO &now)
{
    return known && entry.bSynchro && entry.nbCerts > 0 && SameToken(entry.heldToken, now);
}

bool HeldElsewhere(const SlotInfoEntry *table, size_t count, const SlotInfoEntry *self,
                   const CertRecord &record)
{
    for (size_t i = 0; i < count; ++i) {
        const SlotInfoEntry &e = table[i];
        if (&e == self)
            continue;
        for (CK_ULONG k = 0; k < e.nbCerts && k < kMaxCertsPerSlot; ++k)
            if (e.certs[k] && *e.certs[k] == record)
                return true;
    }
    return false;
}

} // namespace zeb
