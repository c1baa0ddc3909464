#include "classlib/thread.h"

#include <process.h>

#include <new>

namespace cl {

namespace {

struct StartInfo {
  AFX_THREADPROC proc;
  LPVOID param;
};

unsigned __stdcall ThreadStart(void* arg) {
  StartInfo start = *static_cast<StartInfo*>(arg);
  delete static_cast<StartInfo*>(arg);
  // An exception must not end the program from a worker.
  try {
    return start.proc(start.param);
  } catch (...) {
    return CWinThread::kThreadFailed;
  }
}

}  // namespace

CWinThread::~CWinThread() {
  if (m_hThread) ::CloseHandle(m_hThread);
}

bool CWinThread::Join(DWORD timeoutMs) const {
  return m_hThread && ::WaitForSingleObject(m_hThread, timeoutMs) == WAIT_OBJECT_0;
}

DWORD CWinThread::GetExitCode() const {
  DWORD code = 0;
  if (!m_hThread || !::GetExitCodeThread(m_hThread, &code)) return kThreadFailed;
  return code;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                           LPSECURITY_ATTRIBUTES security) {
  if (!proc) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  CWinThread* thread = new (std::nothrow) CWinThread();
  StartInfo* start = new (std::nothrow) StartInfo{proc, param};
  if (!thread || !start) {
    delete thread;
    delete start;
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  unsigned id = 0;
  // Suspended first, so the priority is set before the procedure runs.
  uintptr_t handle = _beginthreadex(security, stackSize, &ThreadStart, start, CREATE_SUSPENDED, &id);
  if (!handle) {
    DWORD error = ::GetLastError();
    delete thread;
    delete start;
    ::SetLastError(error ? error : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->m_hThread = reinterpret_cast<HANDLE>(handle);
  thread->m_nThreadID = id;
  if (priority != THREAD_PRIORITY_NORMAL) ::SetThreadPriority(thread->m_hThread, priority);
  if (!(createFlags & CREATE_SUSPENDED)) ::ResumeThread(thread->m_hThread);
  return thread;
}

CEvent::CEvent(BOOL initiallyOwn, BOOL manualReset, const char* name, LPSECURITY_ATTRIBUTES security)
    : m_hObject(::CreateEventA(security, manualReset, initiallyOwn, name)) {}

CEvent::~CEvent() {
  if (m_hObject) ::CloseHandle(m_hObject);
}

}  // namespace cl
