// Propagation driven by the reader monitor: a card arrived in a reader, or
// left it.
#include "event_log.h"
#include "loader.h"
#include "zeb_core.h"

namespace zeb {

BOOL ZebCore::InsertCertificatesFromSlot(CK_SLOT_ID slotId, const char *readerName, unsigned char version)
{
    if (!InsertRequestUsable(slotId, readerName, version))
        return FALSE;
    TableLock lock(*this);
    WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot begin tid=0x%08lX reader=%s slotId=%lu vel=V%u",
                  (unsigned long)GetCurrentThreadId(), readerName, (unsigned long)slotId, (unsigned)version);
    if (ZEB_Init(&m_pFunctionList) != 0) {
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot init FAILED reader=%s slotId=%lu", readerName,
                      (unsigned long)slotId);
        return FALSE;
    }

    // The slot id may have changed since the monitor saw it: the reader's name
    // finds the slot again.
    const SlotList list = ListSlots();
    if (!list.Usable()) {
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot getSlotList failed rv=0x%08lX, keeping "
                      "cachedSlotId=%lu",
                      (unsigned long)list.rv, (unsigned long)slotId);
    } else {
        const std::vector<ListedSlot> slots = ReadSlots(list);
        CK_SLOT_ID current = slotId;
        bool found = RefreshSlotId(slots, readerName, &current);
        if (found && current != slotId)
            WriteEventLog(
                "[ZEB] MainFrm InsertCertificatesFromSlot slot ID refreshed reader=%s cachedSlotId=%lu "
                "currentSlotId=%lu",
                readerName, (unsigned long)slotId, (unsigned long)current);
        slotId = current;
        if (!found)
            WriteEventLog(
                "[ZEB] MainFrm InsertCertificatesFromSlot slot ID refresh: no slot with token found for "
                "reader=%s, keeping cachedSlotId=%lu",
                readerName, (unsigned long)slotId);
    }

    // The card now in the slot: an entry keeps its certificates only for the
    // very card they came from.
    CK_TOKEN_INFO token{};
    bool tokenKnown = m_pFunctionList->C_GetTokenInfo(slotId, &token) == CKR_OK;

    EntryChoice choice = ChooseInsertEntry(m_slotInfos, kSlotCount, readerName);
    SlotInfoEntry *entry = choice.match == EntryMatch::none ? nullptr : &m_slotInfos[choice.index];
    if (choice.match == EntryMatch::readerName)
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot match by reader name idx=%d oldSlotId=%lu "
                      "newSlotId=%lu",
                      (int)choice.index, (unsigned long)entry->slotId, (unsigned long)slotId);
    else if (choice.match == EntryMatch::unused)
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot match by slotId/empty idx=%d slotId=%lu",
                      (int)choice.index, (unsigned long)slotId);

    BOOL result = FALSE;
    if (!entry) {
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot no free slot info entry reader=%s slotId=%lu",
                      readerName, (unsigned long)slotId);
    } else {
        ClaimEntry(entry, slotId, readerName, version);
        InsertDecision decision =
            DecideInsert(*entry, tokenKnown, token, version, m_settings.patch_fido_v4 != 0,
                         m_settings.patch_fido_webauthn != 0);
        if (decision.action == InsertAction::keep) {
            WriteEventLog(
                "[ZEB] MainFrm InsertCertificatesFromSlot already synchronized skip re-propagation reader=%s "
                "slotId=%lu nbCerts=%lu",
                readerName, (unsigned long)slotId, (unsigned long)entry->nbCerts);
            result = TRUE;
        } else {
            if (decision.giveBackFirst) {
                WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot reset previous sync slotId=%lu",
                              (unsigned long)slotId);
                ZEB_deleteCert(entry);
            }
            PrepareForCard(entry, token);
            if (decision.action == InsertAction::inhibit) {
                WriteEventLog(
                    "PATCH_FIDO_WEBAUTHN MainFrm InsertCertificatesFromSlot propagation inhibee VEL V3 mode "
                    "WebAuthn EXCLUSIVE reader=%s slotId=%lu",
                    readerName, (unsigned long)slotId);
                entry->bIgnoredWebAuthn = 1;
                entry->bSynchro = 1;
                Recount();
                m_sink->PostStatus(kStatusSynchronised);
                result = TRUE;
            } else {
                CryptPropCert(entry);
                result = entry->bSynchro ? TRUE : FALSE;
            }
        }
    }
    CK_RV finalised = ZEB_finalise(m_pFunctionList); // initialised only for one insertion
    WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot end tid=0x%08lX reader=%s slotId=%lu vel=V%u "
                  "propagated=%d finalise_rv=0x%08lX",
                  (unsigned long)GetCurrentThreadId(), readerName, (unsigned long)slotId, (unsigned)version,
                  result ? 1 : 0, (unsigned long)finalised);
    return result;
}

BOOL ZebCore::DeleteCertificatesFromSlot(CK_SLOT_ID slotId, const char *readerName, unsigned char version)
{
    if (!RemoveRequestUsable(readerName, version))
        return FALSE;
    TableLock lock(*this);
    WriteEventLog("[ZEB] MainFrm DeleteCertificatesFromSlot begin tid=0x%08lX reader=%s slotId=%lu vel=V%u",
                  (unsigned long)GetCurrentThreadId(), readerName, (unsigned long)slotId, (unsigned)version);
    BOOL deleted = FALSE;
    size_t i = FindReaderEntry(m_slotInfos, kSlotCount, readerName);
    if (i < kSlotCount) {
        SlotInfoEntry &e = m_slotInfos[i];
        WriteEventLog("[ZEB] MainFrm DeleteCertificatesFromSlot match by reader name idx=%d cachedSlotId=%lu "
                      "requestedSlotId=%lu",
                      (int)i, (unsigned long)e.slotId, (unsigned long)slotId);
        if (e.bSynchro || e.nbCerts) {
            ZEB_deleteCert(&e);
            deleted = TRUE;
        }
        ReleaseReaderEntry(&e);
    }
    m_sink->PostStatus(syncCount > 0 ? kStatusSynchronised : kStatusNoCard);
    WriteEventLog(
        "[ZEB] MainFrm DeleteCertificatesFromSlot end tid=0x%08lX reader=%s slotId=%lu vel=V%u deleted=%d",
        (unsigned long)GetCurrentThreadId(), readerName, (unsigned long)slotId, (unsigned)version,
        deleted ? 1 : 0);
    return deleted;
}

bool ZebCore::SyncSlotInfos(const std::vector<ReaderPresence> &readers)
{
    TableLock lock(*this);
    std::vector<SlotInfoEntry> gone;
    size_t n = FollowReaders(m_slotInfos, readers, &gone);
    // Readers gone: their cards' certificates leave the store (those another
    // reader's card also holds stay).
    for (auto &e : gone)
        ZEB_deleteCert(&e);
    m_ulAvailableSlots = static_cast<unsigned long>(n);
    Recount();
    WriteEventLog("[ZEB] V3 SyncSlotInfosFromPcscMonitoring done m_ulAvailableSlots=%lu", (unsigned long)n);
    return AnyCardPresent(readers);
}

} // namespace zeb

namespace zeb {

void ZebCore::ReconcileWithReaders(const std::vector<std::string> &readers,
                                   const std::vector<std::string> &readersWithCard)
{
    TableLock lock(*this);
    // Entries of the start-up listing learn their readers' whole names first:
    // of two readers named alike, each keeps its own card's entry.
    NameEntries(m_slotInfos, kSlotCount, readers);
    for (unsigned i = 0; i < kSlotCount; ++i) {
        SlotInfoEntry &e = m_slotInfos[i];
        if (!HeldWithoutCard(e, readersWithCard))
            continue;
        WriteEventLog("[ZEB] MainFrm reconcile: no card any more in reader=%.64s, certificates removed",
                      reinterpret_cast<const char *>(e.slotInfo.slotDescription));
        ZEB_deleteCert(&e);
        e.bIgnoredWebAuthn = 0;
        Recount();
    }
}

} // namespace zeb
