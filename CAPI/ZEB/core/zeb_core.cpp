// The core object's life and the slot table's views: construction, the
// shutdown that gives back what this run propagated, the counts and rows
// the window reads.
#include <cstring>

#include "cert_store.h"
#include "loader.h"
#include "zeb_core.h"

namespace zeb {

ZebCore::ZebCore(CoreSink *sink, const Settings &settings) : m_sink(sink), m_settings(settings)
{
    InitializeCriticalSection(&m_csSlotTable);
}

ZebCore::~ZebCore()
{
    Shutdown();
    DeleteCriticalSection(&m_csSlotTable);
}

void ZebCore::Shutdown()
{
    BeginStop();
    if (m_shutDown.exchange(true))
        return;
    for (;;) { // nothing below may run while a worker still uses the table
        cl::CWinThread *workers[2];
        int n = Workers(workers);
        for (int i = 0; i < n; ++i)
            workers[i]->Join();
        if (WorkersEnded())
            break;
    }
    {
        TableLock lock(*this);
        for (auto &entry : m_slotInfos) {
            ZEB_deleteCert(&entry);
            entry.bIgnoredWebAuthn = entry.changed = 0;
            if (m_pFunctionList && entry.hSession)
                m_pFunctionList->C_CloseAllSessions(entry.slotId);
            entry.hSession = 0;
            memset(&entry.slotInfo, 0, sizeof entry.slotInfo);
            memset(&entry.tokenInfo, 0, sizeof entry.tokenInfo);
        }
    }
    ZEB_cleanCAPICerts();
    ZEB_finalise(m_pFunctionList);
    m_providerHold.Release();
}

int ZebCore::SyncCount()
{
    return syncCount;
}

bool ZebCore::TrySlotRows(std::vector<SlotRow> *rows)
{
    if (!TryEnterCriticalSection(&m_csSlotTable))
        return false;
    rows->clear();
    for (unsigned long j = 0; j < m_ulAvailableSlots && j < kSlotCount; ++j) {
        const SlotInfoEntry &e = m_slotInfos[j];
        rows->push_back({std::string(reinterpret_cast<const char *>(e.slotInfo.slotDescription),
                                     sizeof e.slotInfo.slotDescription),
                         e.bSynchro != 0});
    }
    LeaveCriticalSection(&m_csSlotTable);
    return true;
}

unsigned long ZebCore::AvailableSlots()
{
    TableLock lock(*this);
    return m_ulAvailableSlots;
}

} // namespace zeb
