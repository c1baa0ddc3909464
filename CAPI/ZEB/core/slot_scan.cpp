// Listing the library's slots; building and emptying the slot table.
#include <cstring>

#include "cert_store.h"
#include "event_log.h"
#include "loader.h"
#include "traced_call.h"
#include "zeb_core.h"

namespace zeb {

SlotList ZebCore::ListSlots()
{
    SlotList list;
    CK_FUNCTION_LIST_PTR f = m_pFunctionList;
    list.rv = TracedCall("ZEB_getSlotList", [&] {
        return f ? f->C_GetSlotList(CK_FALSE, list.ids, &list.listed) : CKR_CRYPTOKI_NOT_INITIALIZED;
    });
    return list;
}

std::vector<ListedSlot> ZebCore::ReadSlots(const SlotList &list)
{
    std::vector<ListedSlot> slots;
    for (CK_ULONG i = 0; list.Usable() && i < list.listed; ++i) {
        ListedSlot s;
        s.id = list.ids[i];
        if (m_pFunctionList->C_GetSlotInfo(s.id, &s.info) == CKR_OK)
            slots.push_back(s);
    }
    return slots;
}

SlotSurvey ZebCore::SurveySlots()
{
    SlotSurvey out;
    TableLock lock(*this);
    if (ZEB_Init(&m_pFunctionList) != 0)
        return out;
    out.initialised = true;
    SlotList list = ListSlots();
    out.listRv = list.rv;
    out.slots = ReadSlots(list);
    out.finaliseRv = ZEB_finalise(m_pFunctionList);
    return out;
}

void ZebCore::InitSlotList()
{
    TableLock lock(*this);
    WriteEventLog("[ZEB] InitSlotList begin");
    if (ZEB_Init(&m_pFunctionList) != 0) {
        WriteEventLog("[ZEB] InitSlotList init FAILED");
        m_sink->PostStatus(kStatusNoCard);
        return;
    }
    WriteEventLog("[ZEB] InitSlotList init OK");
    const SlotList list = ListSlots();
    const CK_SLOT_ID *ids = list.ids;
    CK_ULONG count = list.listed;
    CK_RV rv = list.rv;
    if (!list.Usable()) {
        WriteEventLog("[ZEB] InitSlotList getSlotList FAILED rv=0x%08lX", (unsigned long)rv);
        count = 0;
    } else {
        WriteEventLog("[ZEB] InitSlotList getSlotList OK count=%lu", (unsigned long)count);
    }
    // An entry that held another slot's card gives its certificates back
    // before it is reused, so none is left behind in the store.
    for (CK_ULONG i = 0; i < kSlotCount; ++i) {
        SlotInfoEntry &e = m_slotInfos[i];
        bool reused = i < count && e.slotId != ids[i];
        if ((i >= count || reused) && (e.nbCerts || e.bSynchro)) {
            ZEB_deleteCert(&e);
            e.bIgnoredWebAuthn = 0;
        }
        if (i >= count && e.hSession && m_pFunctionList) {
            m_pFunctionList->C_CloseAllSessions(e.slotId);
            e.hSession = 0;
        }
    }
    m_ulAvailableSlots = count;

    bool inhibited = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        SlotInfoEntry &e = m_slotInfos[i];
        e.slotId = ids[i];
        e.reader.clear(); // known by its slot's description from now on
        WriteEventLog("[ZEB] InitSlotList slot[%lu] C_GetSlotInfo start slotId=%lu", (unsigned long)i,
                      (unsigned long)e.slotId);
        rv = m_pFunctionList->C_GetSlotInfo(e.slotId, &e.slotInfo);
        WriteEventLog("[ZEB] InitSlotList slot[%lu] C_GetSlotInfo rv=0x%08lX flags=0x%08lX", (unsigned long)i,
                      (unsigned long)rv, (unsigned long)e.slotInfo.flags);
        if (rv != CKR_OK || !(e.slotInfo.flags & CKF_TOKEN_PRESENT)) {
            if (rv == CKR_OK && (e.nbCerts || e.bSynchro))
                ZEB_deleteCert(&e); // its card left
            continue;
        }
        WriteEventLog("[ZEB] InitSlotList slot[%lu] C_GetTokenInfo start slotId=%lu", (unsigned long)i,
                      (unsigned long)e.slotId);
        CK_TOKEN_INFO token{};
        rv = m_pFunctionList->C_GetTokenInfo(e.slotId, &token);
        WriteEventLog("[ZEB] InitSlotList slot[%lu] C_GetTokenInfo rv=0x%08lX label=%.4s", (unsigned long)i,
                      (unsigned long)rv, rv == CKR_OK ? reinterpret_cast<const char *>(token.label) : "");
        if (rv != CKR_OK) {
            m_sink->PostStatus(kStatusSynchronised);
            continue;
        }
        if (e.bSynchro && !SameToken(e.tokenInfo, token)) {
            ZEB_deleteCert(&e); // another card than the one propagated
            e.bIgnoredWebAuthn = 0;
        }
        e.tokenInfo = token;
        if (e.bSynchro) {
            m_sink->PostStatus(kStatusSynchronised);
        } else if (m_settings.patch_fido_v4 && m_settings.patch_fido_webauthn && token.label[0] &&
                   memcmp(token.label, "VEL3", 4) == 0) {
            WriteEventLog(
                "PATCH_FIDO_WEBAUTHN propagation certs inhibee pour slot=%lu token=VEL3 en mode WebAuthn "
                "EXCLUSIVE",
                (unsigned long)e.slotId);
            e.bIgnoredWebAuthn = 1;
            m_sink->PostStatus(kStatusSynchronised);
            inhibited = true;
        } else {
            WriteEventLog("[ZEB] InitSlotList slot[%lu] CryptPropCert start slotId=%lu", (unsigned long)i,
                          (unsigned long)e.slotId);
            e.heldToken = token;
            CryptPropCert(&e);
            WriteEventLog("[ZEB] InitSlotList slot[%lu] CryptPropCert end slotId=%lu synchro=%d",
                          (unsigned long)i, (unsigned long)e.slotId, e.bSynchro ? 1 : 0);
        }
    }
    if (syncCount == 0 && !inhibited)
        m_sink->PostStatus(kStatusNoCard);
    WriteEventLog("[ZEB] InitSlotList end syncCount=%d ignoredWebAuthn=%d", (int)syncCount,
                  inhibited ? 1 : 0);
}

void ZebCore::DeleteAllCertificates(bool reset)
{
    TableLock lock(*this);
    for (auto &e : m_slotInfos) {
        if (e.changed || reset) {
            ZEB_deleteCert(&e);
            e.bIgnoredWebAuthn = 0;
            e.changed = 0;
            if (m_pFunctionList && e.hSession)
                m_pFunctionList->C_CloseAllSessions(e.slotId);
            e.hSession = 0;
            if (reset) {
                memset(&e.slotInfo, 0, sizeof e.slotInfo);
                e.reader.clear();
            }
            memset(&e.tokenInfo, 0, sizeof e.tokenInfo);
        }
        // A still-propagated entry keeps its token's identity: the next scan
        // tells its own card from another one put in its place.
        if (!e.bSynchro)
            memset(&e.tokenInfo, 0, sizeof e.tokenInfo);
    }
    if (reset)
        ZEB_cleanCAPICerts();
}

} // namespace zeb
