// The poll thread: watches the slots and asks for a re-initialisation when
// what they hold no longer matches the table.
#include <ctime>

#include "event_log.h"
#include "zeb_core.h"

namespace zeb {

namespace {
const time_t kHungSessionSeconds = 12;
}

void ZebCore::RequestReinit()
{
    m_evSlotTableReady.ResetEvent();
    m_sink->PostInitAgain();
}

void ZebCore::PollSlotsThread()
{
    while (PollOnce()) {
    }
}

bool ZebCore::PollOnce()
{
    HANDLE ready[] = {m_evStopPoll, m_evQuit, m_evSlotTableReady}; // stop first: it wins
    DWORD w = WaitForMultipleObjects(3, ready, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0 + 2)
        return false; // stop, quit, or a wait that failed

    // The table is not locked here: the ready event keeps re-initialisations
    // away until this thread asks for one.
    const SlotList list = ListSlots();
    const CK_SLOT_ID *ids = list.ids;
    const CK_RV rv = list.rv;
    const CK_ULONG count = list.listed > kSlotCount ? kSlotCount : list.listed;
    ++m_pollCount;
    const Watch watch = CurrentWatch();
    if ((long)count != m_lastLoggedCount || m_pollCount % 30 == 1) {
        WriteEventLog(
            "ZEB poll getSlotList rv=0x%08lX count=%lu m_ulAvailableSlots=%lu autoDetect=%d sleepMs=%lu",
            (unsigned long)rv, (unsigned long)count, m_ulAvailableSlots, watch.autoDetect ? 1 : 0,
            (unsigned long)watch.sleepMs);
        m_lastLoggedCount = (long)count;
    }
    bool sameSlots = rv == CKR_OK && count == m_ulAvailableSlots;
    for (CK_ULONG i = 0; sameSlots && i < count; ++i)
        sameSlots = ids[i] == m_slotInfos[i].slotId;
    if (rv != CKR_OK) {
        RequestReinit();
    } else if (count == m_ulAvailableSlots && !sameSlots) {
        // A reader unplugged and another plugged in between two polls: as
        // many slots, other ones. Read them all again.
        WriteEventLog("ZEB poll slot list change detected, posting WM_USER_INIT_AGAIN");
        reinit = 1;
        RequestReinit();
    } else if (count == m_ulAvailableSlots) {
        for (CK_ULONG i = 0; i < count; ++i) {
            SlotInfoEntry &e = m_slotInfos[i];
            CK_SLOT_INFO info = e.slotInfo;
            CK_RV srv = m_pFunctionList->C_GetSlotInfo(e.slotId, &info);
            if (srv != CKR_OK) {
                // What the slot holds is unknown: read it again rather than
                // take the table's old view for the truth.
                WriteEventLog("Error on GetSlotInfo: rv=0x%08lX", (unsigned long)srv);
                e.changed = 1;
                RequestReinit();
                break;
            }
            if (e.hSession) {
                time_t before = time(nullptr);
                CK_SESSION_INFO session;
                CK_RV r = m_pFunctionList->C_GetSessionInfo(e.hSession, &session);
                if (r != CKR_OK) {
                    if (time(nullptr) - before > kHungSessionSeconds)
                        reinit = 1;
                    e.changed = 1;
                    RequestReinit();
                    break;
                }
            }
            bool present = (info.flags & CKF_TOKEN_PRESENT) != 0;
            bool held = e.bSynchro || e.bIgnoredWebAuthn;
            bool mismatch = present != held;
            if (!mismatch && present && e.bSynchro) {
                // The same card still there? One pulled and another pushed in
                // between two polls leaves the flags as they were.
                CK_TOKEN_INFO token{};
                mismatch = m_pFunctionList->C_GetTokenInfo(e.slotId, &token) != CKR_OK ||
                           !SameToken(e.tokenInfo, token);
            }
            if (mismatch) {
                WriteEventLog(
                    "ZEB poll mismatch slotIdx=%d slotId=%lu flags2=%s bSynchro=%d bIgnoredWebAuthn=%d "
                    "syncCount=%d -> WM_USER_INIT_AGAIN",
                    (int)i, (unsigned long)e.slotId, present ? "TOKEN_PRESENT" : "no_token",
                    e.bSynchro ? 1 : 0, e.bIgnoredWebAuthn ? 1 : 0, (int)syncCount);
                e.changed = 1;
                RequestReinit();
                break;
            }
        }
    } else {
        WriteEventLog("ZEB poll count change detected : %lu -> %lu, posting WM_USER_INIT_AGAIN",
                      m_ulAvailableSlots, (unsigned long)count);
        reinit = 1;
        RequestReinit();
    }
    HANDLE pause[] = {m_evStopPoll, m_evQuit, m_evWakePoll};
    w = WaitForMultipleObjects(3, pause, FALSE, CurrentWatch().sleepMs);
    return w == WAIT_TIMEOUT || w == WAIT_OBJECT_0 + 2;
}

} // namespace zeb
