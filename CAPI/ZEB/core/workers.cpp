// Life of the worker threads: start, one initialisation at a time, stop.
#include "event_log.h"
#include "loader.h"
#include "zeb_core.h"

namespace zeb {

namespace {
const DWORD kStartDelayMs = 5000; // readers settle before the first scan

// An ended thread let go of; true when `thread` is now null.
bool ReleaseIfEnded(cl::CWinThread **thread)
{
    if (*thread && (*thread)->Join(0)) {
        delete *thread;
        *thread = nullptr;
    }
    return *thread == nullptr;
}
} // namespace

void ZebCore::StartThreads()
{
    // Once: a repeated start message would otherwise join the running poll
    // thread from the window's thread and hang it.
    if (m_bStopping || m_started.exchange(true))
        return;
    StartInitThread(&ZebCore::InitThreadProc);
    if (!m_bStopping && !m_settings.patch_fido_v4)
        StartPollThread();
}

void ZebCore::StartPollThread()
{
    AcquireSRWLockExclusive(&m_threadLock);
    if (!m_bStopping) {
        if (m_pPollThread) { // the previous poll thread has ended (see Reinitialise)
            m_pPollThread->Join();
            delete m_pPollThread;
        }
        m_pPollThread = cl::AfxBeginThread(&ZebCore::PollThreadProc, this);
    }
    ReleaseSRWLockExclusive(&m_threadLock);
}

bool ZebCore::StartInitThread(cl::AFX_THREADPROC proc)
{
    AcquireSRWLockExclusive(&m_threadLock);
    bool started = false;
    if (m_bStopping) {
    } else if (m_initRunning) {
        m_initPending = true;
    } else {
        if (m_pInitThread) { // ended: it cleared m_initRunning as its last step
            m_pInitThread->Join();
            delete m_pInitThread;
        }
        m_pInitThread = cl::AfxBeginThread(proc, this);
        m_initRunning = m_pInitThread != nullptr;
        started = m_initRunning;
    }
    ReleaseSRWLockExclusive(&m_threadLock);
    return started;
}

void ZebCore::InitAgain()
{
    if (m_bStopping)
        return;
    if (m_settings.patch_fido_v4) {
        int n = SyncCount();
        WriteEventLog("[ZEB] patch_fido branch active: reinit ignored, refresh tray only syncCount=%d", n);
        m_sink->PostStatus(n > 0 ? kStatusSynchronised : kStatusNoCard);
        return;
    }
    StartInitThread(&ZebCore::ReinitThreadProc);
}

void ZebCore::Refresh()
{
    if (fullReInit.exchange(1) == 1)
        return; // a full re-initialisation is already pending
    reinit = 1;
    m_sink->PostInitAgain();
}

void ZebCore::ToggleAutoDetect()
{
    {
        std::lock_guard<std::mutex> hold(m_watchLock);
        zeb::ToggleAutoDetect(&m_settings);
    }
    m_evWakePoll.SetEvent();
    m_evWakePoll.ResetEvent();
}

ZebCore::Watch ZebCore::CurrentWatch()
{
    std::lock_guard<std::mutex> hold(m_watchLock);
    return {m_settings.autoDetect != 0, m_settings.sleepMs};
}

void ZebCore::BeginStop()
{
    if (m_bStopping.exchange(true))
        return;
    m_evQuit.SetEvent();
    m_evStopPoll.SetEvent();
}

bool ZebCore::WorkersEnded()
{
    AcquireSRWLockExclusive(&m_threadLock);
    bool pollEnded = ReleaseIfEnded(&m_pPollThread);
    bool initEnded = ReleaseIfEnded(&m_pInitThread);
    ReleaseSRWLockExclusive(&m_threadLock);
    return pollEnded && initEnded;
}

int ZebCore::Workers(cl::CWinThread *out[2])
{
    AcquireSRWLockShared(&m_threadLock);
    int n = 0;
    if (m_pPollThread)
        out[n++] = m_pPollThread;
    if (m_pInitThread)
        out[n++] = m_pInitThread;
    ReleaseSRWLockShared(&m_threadLock);
    return n;
}

UINT ZebCore::InitThreadProc(void *self)
{
    static_cast<ZebCore *>(self)->OnInitPkcsThread();
    return 0;
}

UINT ZebCore::ReinitThreadProc(void *self)
{
    static_cast<ZebCore *>(self)->ReinitThread();
    return 0;
}

UINT ZebCore::PollThreadProc(void *self)
{
    static_cast<ZebCore *>(self)->PollSlotsThread();
    return 0;
}

void ZebCore::FinishInitThread()
{
    AcquireSRWLockExclusive(&m_threadLock);
    bool again = m_initPending && !m_bStopping;
    m_initPending = false;
    if (!again)
        m_initRunning = false;
    ReleaseSRWLockExclusive(&m_threadLock);
    if (again)
        ReinitThread();
}

void ZebCore::OnInitPkcsThread()
{
    m_sink->PostStatus(kStatusInitialising);
    if (!m_evQuit.Lock(kStartDelayMs)) {
        InitSlotList();
        WriteEventLog("[ZEB] InitSlotList executed in OnInitPkcsThread");
        if (m_settings.patch_fido_v4 && !m_bStopping)
            m_sink->SlotListReady();
    }
    m_evSlotTableReady.SetEvent();
    FinishInitThread();
}

void ZebCore::ReinitThread()
{
    m_sink->PostStatus(kStatusInitialising);
    WriteEventLog("[ZEB] reinit thread started full=%d reinit=%d", fullReInit ? 1 : 0, reinit ? 1 : 0);
    if (!m_bStopping)
        Reinitialise();
    WriteEventLog("[ZEB] reinit thread finished");
    FinishInitThread();
}

void ZebCore::Reinitialise()
{
    TableLock lock(*this);
    if (fullReInit) {
        // The poll thread ends first; a new one starts on the rebuilt table.
        m_evStopPoll.SetEvent();
        HANDLE poll = nullptr; // a copy: the window's thread may let go of its own meanwhile
        AcquireSRWLockShared(&m_threadLock);
        if (m_pPollThread)
            DuplicateHandle(GetCurrentProcess(), m_pPollThread->m_hThread, GetCurrentProcess(), &poll,
                            SYNCHRONIZE, FALSE, 0);
        ReleaseSRWLockShared(&m_threadLock);
        if (poll) {
            WaitForSingleObject(poll, INFINITE);
            CloseHandle(poll);
        }
        if (m_bStopping)
            return;
        m_evSlotTableReady.ResetEvent();
        m_evStopPoll.ResetEvent();
        if (!m_settings.patch_fido_v4)
            StartPollThread();
    }
    DeleteAllCertificates(reinit != 0);
    if (reinit) {
        ZEB_finalise(m_pFunctionList);
        reinit = 0;
        fullReInit = 0;
    }
    WriteEventLog("[ZEB] reinit thread calling InitSlotList");
    InitSlotList();
    m_evSlotTableReady.SetEvent();
}

} // namespace zeb
