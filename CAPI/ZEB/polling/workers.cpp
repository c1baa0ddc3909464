// Life of the worker threads: start, one initialisation at a time, stop.
#include <process.h>

#include <cstring>

#include "cert_store.h"
#include "event_log.h"
#include "loader.h"
#include "zeb_core.h"

namespace zeb {

namespace {
HANDLE ManualResetEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
const DWORD kStartDelayMs = 5000;  // readers settle before the first scan
}  // namespace

ZebCore::ZebCore(CoreSink *sink, const Settings &settings) : m_sink(sink), m_settings(settings) {
  InitializeCriticalSection(&m_csSlotTable);
  m_evSlotTableReady = ManualResetEvent();
  m_evStopPoll = ManualResetEvent();
  m_evWakePoll = ManualResetEvent();
  m_evQuit = ManualResetEvent();
}

ZebCore::~ZebCore() {
  Shutdown();
  CloseHandle(m_evSlotTableReady);
  CloseHandle(m_evStopPoll);
  CloseHandle(m_evWakePoll);
  CloseHandle(m_evQuit);
  DeleteCriticalSection(&m_csSlotTable);
}

void ZebCore::Shutdown() {
  BeginStop();
  if (m_shutDown.exchange(true)) return;
  for (;;) {  // nothing below may run while a worker still uses the table
    HANDLE h[2];
    int n = WorkerHandles(h);
    if (n == 0 && WorkersEnded()) break;
    if (n) WaitForMultipleObjects(n, h, TRUE, INFINITE);
    WorkersEnded();
  }
  Lock();
  for (auto &entry : m_slotInfos) {
    ZEB_deleteCert(&entry);
    entry.bIgnoredWebAuthn = entry.changed = 0;
    if (m_pFunctionList && entry.hSession) m_pFunctionList->C_CloseAllSessions(entry.slotId);
    entry.hSession = 0;
    memset(&entry.slotInfo, 0, sizeof entry.slotInfo);
    memset(&entry.tokenInfo, 0, sizeof entry.tokenInfo);
  }
  Unlock();
  ZEB_cleanCAPICerts();
  ZEB_finalise(m_pFunctionList);
}

int ZebCore::SyncCount() {
  Lock();
  int n = syncCount;
  Unlock();
  return n;
}

unsigned long ZebCore::AvailableSlots() {
  Lock();
  unsigned long n = m_ulAvailableSlots;
  Unlock();
  return n;
}

void ZebCore::StartThreads() {
  if (m_bStopping) return;
  StartInitThread(&ZebCore::InitThreadProc);
  if (!m_bStopping && !m_settings.patch_fido_v4) StartPollThread();
}

void ZebCore::StartPollThread() {
  AcquireSRWLockExclusive(&m_threadLock);
  if (!m_bStopping) {
    if (m_hPollThread) {  // the previous poll thread has ended (see Reinitialise)
      WaitForSingleObject(m_hPollThread, INFINITE);
      CloseHandle(m_hPollThread);
    }
    m_hPollThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ZebCore::PollThreadProc, this, 0, nullptr));
  }
  ReleaseSRWLockExclusive(&m_threadLock);
}

bool ZebCore::StartInitThread(unsigned(__stdcall *proc)(void *)) {
  AcquireSRWLockExclusive(&m_threadLock);
  bool started = false;
  if (m_bStopping) {
  } else if (m_initRunning) {
    m_initPending = true;
  } else {
    if (m_hInitThread) {  // ended: it cleared m_initRunning as its last step
      WaitForSingleObject(m_hInitThread, INFINITE);
      CloseHandle(m_hInitThread);
    }
    m_hInitThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, proc, this, 0, nullptr));
    m_initRunning = m_hInitThread != nullptr;
    started = m_initRunning;
  }
  ReleaseSRWLockExclusive(&m_threadLock);
  return started;
}

void ZebCore::InitAgain() {
  if (m_bStopping) return;
  if (m_settings.patch_fido_v4) {
    int n = SyncCount();
    WriteEventLog("[ZEB] patch_fido branch active: reinit ignored, refresh tray only syncCount=%d", n);
    m_sink->PostStatus(n > 0 ? kStatusSynchronised : kStatusNoCard);
    return;
  }
  StartInitThread(&ZebCore::ReinitThreadProc);
}

void ZebCore::Refresh() {
  if (fullReInit.exchange(1) == 1) return;  // a full re-initialisation is already pending
  reinit = 1;
  m_sink->PostInitAgain();
}

void ZebCore::ToggleAutoDetect() {
  zeb::ToggleAutoDetect(&m_settings);
  SetEvent(m_evWakePoll);
  ResetEvent(m_evWakePoll);
}

void ZebCore::BeginStop() {
  if (m_bStopping.exchange(true)) return;
  SetEvent(m_evQuit);
  SetEvent(m_evStopPoll);
}

bool ZebCore::WorkersEnded() {
  AcquireSRWLockExclusive(&m_threadLock);
  bool ended = true;
  for (HANDLE *h : {&m_hPollThread, &m_hInitThread}) {
    if (!*h) continue;
    if (WaitForSingleObject(*h, 0) == WAIT_OBJECT_0) {
      CloseHandle(*h);
      *h = nullptr;
    } else {
      ended = false;
    }
  }
  ReleaseSRWLockExclusive(&m_threadLock);
  return ended;
}

int ZebCore::WorkerHandles(HANDLE out[2]) {
  AcquireSRWLockShared(&m_threadLock);
  int n = 0;
  if (m_hPollThread) out[n++] = m_hPollThread;
  if (m_hInitThread) out[n++] = m_hInitThread;
  ReleaseSRWLockShared(&m_threadLock);
  return n;
}

unsigned __stdcall ZebCore::InitThreadProc(void *self) {
  static_cast<ZebCore *>(self)->OnInitPkcsThread();
  return 0;
}

unsigned __stdcall ZebCore::ReinitThreadProc(void *self) {
  static_cast<ZebCore *>(self)->ReinitThread();
  return 0;
}

unsigned __stdcall ZebCore::PollThreadProc(void *self) {
  static_cast<ZebCore *>(self)->PollSlotsThread();
  return 0;
}

void ZebCore::FinishInitThread() {
  AcquireSRWLockExclusive(&m_threadLock);
  bool again = m_initPending && !m_bStopping;
  m_initPending = false;
  if (!again) m_initRunning = false;
  ReleaseSRWLockExclusive(&m_threadLock);
  if (again) ReinitThread();
}

void ZebCore::OnInitPkcsThread() {
  m_sink->PostStatus(kStatusInitialising);
  if (WaitForSingleObject(m_evQuit, kStartDelayMs) != WAIT_OBJECT_0) {
    InitSlotList();
    WriteEventLog("[ZEB] InitSlotList executed in OnInitPkcsThread");
  }
  SetEvent(m_evSlotTableReady);
  FinishInitThread();
}

void ZebCore::ReinitThread() {
  m_sink->PostStatus(kStatusInitialising);
  WriteEventLog("[ZEB] reinit thread started full=%d reinit=%d", fullReInit ? 1 : 0, reinit ? 1 : 0);
  if (!m_bStopping) Reinitialise();
  WriteEventLog("[ZEB] reinit thread finished");
  FinishInitThread();
}

void ZebCore::Reinitialise() {
  Lock();
  if (fullReInit) {
    // The poll thread ends first; a new one starts on the rebuilt table.
    SetEvent(m_evStopPoll);
    HANDLE poll = nullptr;
    AcquireSRWLockShared(&m_threadLock);
    if (m_hPollThread) DuplicateHandle(GetCurrentProcess(), m_hPollThread, GetCurrentProcess(), &poll, 0, FALSE,
                                       DUPLICATE_SAME_ACCESS);
    ReleaseSRWLockShared(&m_threadLock);
    if (poll) {
      WaitForSingleObject(poll, INFINITE);
      CloseHandle(poll);
    }
    if (m_bStopping) {
      Unlock();
      return;
    }
    ResetEvent(m_evSlotTableReady);
    ResetEvent(m_evStopPoll);
    if (!m_settings.patch_fido_v4) StartPollThread();
  }
  DeleteAllCertificates(reinit != 0);
  if (reinit) {
    ZEB_finalise(m_pFunctionList);
    reinit = 0;
    fullReInit = 0;
  }
  WriteEventLog("[ZEB] reinit thread calling InitSlotList");
  InitSlotList();
  SetEvent(m_evSlotTableReady);
  Unlock();
}

}  // namespace zeb
