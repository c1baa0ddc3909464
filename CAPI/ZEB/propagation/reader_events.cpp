// Propagation driven by the reader monitor: a card arrived in a reader, or
// left it.
#include <cstring>

#include "event_log.h"
#include "loader.h"
#include "log_trace.h"
#include "zeb_core.h"

namespace zeb {

namespace {

bool Unusable(CK_SLOT_ID slotId, const char *readerName, unsigned char version)
{
    return !readerName || !readerName[0] || version == 0 || slotId == static_cast<CK_SLOT_ID>(-1);
}

// A removal finds its entry by the reader's name alone: it needs no slot id,
// so one the monitor could not learn still takes the card's certificates out.
bool UnusableForRemoval(const char *readerName, unsigned char version)
{
    return !readerName || !readerName[0] || version == 0;
}

bool Unused(const SlotInfoEntry &e)
{
    return e.slotInfo.slotDescription[0] == '\0' && e.nbCerts == 0 && !e.bSynchro && !e.bIgnoredWebAuthn;
}

} // namespace

BOOL ZebCore::InsertCertificatesFromSlot(CK_SLOT_ID slotId, const char *readerName, unsigned char version)
{
    if (Unusable(slotId, readerName, version))
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
    CK_SLOT_ID ids[kSlotCount];
    CK_ULONG count = kSlotCount;
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_getSlotList", 0, FALSE, "%s", "");
    CK_RV rv = m_pFunctionList->C_GetSlotList(CK_FALSE, ids, &count);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_getSlotList", rv, FALSE, "%s", "");
    if (rv != CKR_OK || count > kSlotCount) {
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot getSlotList failed rv=0x%08lX, keeping "
                      "cachedSlotId=%lu",
                      (unsigned long)rv, (unsigned long)slotId);
    } else {
        bool found = false;
        for (CK_ULONG i = 0; i < count && !found; ++i) {
            CK_SLOT_INFO info;
            if (m_pFunctionList->C_GetSlotInfo(ids[i], &info) != CKR_OK)
                continue;
            if (!PaddedEquals(info.slotDescription, sizeof info.slotDescription, readerName) ||
                !(info.flags & CKF_TOKEN_PRESENT))
                continue;
            found = true;
            if (ids[i] != slotId)
                WriteEventLog(
                    "[ZEB] MainFrm InsertCertificatesFromSlot slot ID refreshed reader=%s cachedSlotId=%lu "
                    "currentSlotId=%lu",
                    readerName, (unsigned long)slotId, (unsigned long)ids[i]);
            slotId = ids[i];
        }
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

    // The reader's own entry, else one that holds nothing: never an entry of
    // another reader, whatever its slot id.
    SlotInfoEntry *entry = nullptr;
    for (unsigned i = 0; i < kSlotCount && !entry; ++i) {
        SlotInfoEntry &e = m_slotInfos[i];
        if (e.slotInfo.slotDescription[0] &&
            PaddedEquals(e.slotInfo.slotDescription, sizeof e.slotInfo.slotDescription, readerName)) {
            WriteEventLog(
                "[ZEB] MainFrm InsertCertificatesFromSlot match by reader name idx=%d oldSlotId=%lu "
                "newSlotId=%lu",
                (int)i, (unsigned long)e.slotId, (unsigned long)slotId);
            entry = &e;
        }
    }
    for (unsigned i = 0; i < kSlotCount && !entry; ++i) {
        if (!Unused(m_slotInfos[i]))
            continue;
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot match by slotId/empty idx=%d slotId=%lu",
                      (int)i, (unsigned long)slotId);
        entry = &m_slotInfos[i];
    }

    BOOL result = FALSE;
    if (!entry) {
        WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot no free slot info entry reader=%s slotId=%lu",
                      readerName, (unsigned long)slotId);
    } else {
        entry->slotId = slotId;
        memset(&entry->slotInfo, 0, sizeof entry->slotInfo);
        memcpy(entry->slotInfo.slotDescription, readerName,
               strnlen(readerName, sizeof entry->slotInfo.slotDescription));
        memset(&entry->tokenInfo, 0, sizeof entry->tokenInfo);
        memcpy(entry->tokenInfo.label, version == 4 ? "VEL4" : "VEL3", 4);
        if (KeepsSameCard(*entry, tokenKnown, token)) {
            WriteEventLog(
                "[ZEB] MainFrm InsertCertificatesFromSlot already synchronized skip re-propagation reader=%s "
                "slotId=%lu nbCerts=%lu",
                readerName, (unsigned long)slotId, (unsigned long)entry->nbCerts);
            result = TRUE;
        } else {
            if (entry->bSynchro || entry->nbCerts > 0) {
                WriteEventLog("[ZEB] MainFrm InsertCertificatesFromSlot reset previous sync slotId=%lu",
                              (unsigned long)slotId);
                ZEB_deleteCert(entry);
            }
            entry->bIgnoredWebAuthn = 0;
            entry->changed = 1;
            entry->hSession = 0; // the library was finalised since: that session is gone
            entry->heldToken = token;
            if (version == 3 && m_settings.patch_fido_v4 && m_settings.patch_fido_webauthn) {
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
    if (UnusableForRemoval(readerName, version))
        return FALSE;
    TableLock lock(*this);
    WriteEventLog("[ZEB] MainFrm DeleteCertificatesFromSlot begin tid=0x%08lX reader=%s slotId=%lu vel=V%u",
                  (unsigned long)GetCurrentThreadId(), readerName, (unsigned long)slotId, (unsigned)version);
    BOOL deleted = FALSE;
    for (unsigned i = 0; i < kSlotCount; ++i) {
        SlotInfoEntry &e = m_slotInfos[i];
        if (!e.slotInfo.slotDescription[0] ||
            !PaddedEquals(e.slotInfo.slotDescription, sizeof e.slotInfo.slotDescription, readerName))
            continue;
        WriteEventLog("[ZEB] MainFrm DeleteCertificatesFromSlot match by reader name idx=%d cachedSlotId=%lu "
                      "requestedSlotId=%lu",
                      (int)i, (unsigned long)e.slotId, (unsigned long)slotId);
        if (e.bSynchro || e.nbCerts) {
            ZEB_deleteCert(&e);
            deleted = TRUE;
        }
        e.bIgnoredWebAuthn = 0;
        e.changed = 0;
        e.hSession = 0;
        memset(&e.slotInfo, 0, sizeof e.slotInfo);
        break;
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
    size_t n = readers.size() < kSlotCount ? readers.size() : kSlotCount;
    SlotInfoEntry moved[kSlotCount];
    bool taken[kSlotCount] = {};
    bool any = false;
    for (size_t j = 0; j < n; ++j) {
        const std::string &name = readers[j].name;
        any = any || readers[j].present;
        for (unsigned i = 0; i < kSlotCount; ++i) {
            SlotInfoEntry &e = m_slotInfos[i];
            if (taken[i] || !e.slotInfo.slotDescription[0] ||
                !PaddedEquals(e.slotInfo.slotDescription, sizeof e.slotInfo.slotDescription, name.c_str()))
                continue;
            moved[j] = std::move(e); // the reader's entry, certificates and all
            taken[i] = true;
            break;
        }
    }
    SlotInfoEntry gone[kSlotCount];
    for (unsigned i = 0; i < kSlotCount; ++i) {
        if (!taken[i])
            gone[i] = std::move(m_slotInfos[i]);
        m_slotInfos[i] = std::move(moved[i]);
    }
    // Readers gone: their cards' certificates leave the store (those another
    // reader's card also holds stay).
    for (auto &e : gone)
        if (e.nbCerts || e.bSynchro)
            ZEB_deleteCert(&e);
    for (size_t j = 0; j < n; ++j) {
        SlotInfoEntry &e = m_slotInfos[j];
        e.slotId = static_cast<CK_SLOT_ID>(j);
        memset(e.slotInfo.slotDescription, ' ', sizeof e.slotInfo.slotDescription);
        const std::string &name = readers[j].name;
        memcpy(e.slotInfo.slotDescription, name.data(),
               name.size() < sizeof e.slotInfo.slotDescription ? name.size()
                                                               : sizeof e.slotInfo.slotDescription);
        // bSynchro stays what the propagation made it: a card present whose
        // propagation failed is not synchronised, and is not counted.
    }
    m_ulAvailableSlots = static_cast<unsigned long>(n);
    Recount();
    WriteEventLog("[ZEB] V3 SyncSlotInfosFromPcscMonitoring done m_ulAvailableSlots=%lu", (unsigned long)n);
    return any;
}

} // namespace zeb

namespace zeb {

void ZebCore::ReconcileWithReaders(const std::vector<std::string> &readersWithCard)
{
    TableLock lock(*this);
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
