#include "classlib/thread.h"

#include <process.h>

#include <new>
#include <vector>

namespace cl {

namespace {

struct StartInfo {
    AFX_THREADPROC proc;
    LPVOID param;
};

unsigned __stdcall ThreadStart(void *arg)
{
    StartInfo start = *static_cast<StartInfo *>(arg);
    delete static_cast<StartInfo *>(arg);
    // An exception must not end the program from a worker.
    try {
        return start.proc(start.param);
    } catch (...) {
        return CWinThread::kThreadFailed;
    }
}

} // namespace

CWinThread::~CWinThread()
{
    if (m_hThread)
        ::CloseHandle(m_hThread);
}

bool CWinThread::Join(DWORD timeoutMs) const
{
    return m_hThread && ::WaitForSingleObject(m_hThread, timeoutMs) == WAIT_OBJECT_0;
}

DWORD CWinThread::GetExitCode() const
{
    DWORD code = 0;
    if (!m_hThread || !::GetExitCodeThread(m_hThread, &code))
        return kThreadFailed;
    return code;
}

CWinThread *AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                           LPSECURITY_ATTRIBUTES security)
{
    if (!proc) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CWinThread *thread = new (std::nothrow) CWinThread();
    StartInfo *start = new (std::nothrow) StartInfo{proc, param};
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
    if (priority != THREAD_PRIORITY_NORMAL)
        ::SetThreadPriority(thread->m_hThread, priority);
    if (!(createFlags & CREATE_SUSPENDED))
        ::ResumeThread(thread->m_hThread);
    return thread;
}

bool AfxPumpUntilThreadsEnd(CWinThread *const *threads, size_t count, DWORD timeoutMs)
{
    std::vector<HANDLE> running;
    for (size_t i = 0; threads && i < count; ++i)
        if (threads[i] && threads[i]->m_hThread)
            running.push_back(threads[i]->m_hThread);
    const DWORD start = ::GetTickCount();
    while (!running.empty()) {
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            DWORD elapsed = ::GetTickCount() - start;
            if (elapsed >= timeoutMs)
                return false;
            wait = timeoutMs - elapsed;
        }
        // At most MAXIMUM_WAIT_OBJECTS - 1 handles beside the message queue per wait.
        DWORD n = static_cast<DWORD>(running.size() < MAXIMUM_WAIT_OBJECTS - 1 ? running.size()
                                                                               : MAXIMUM_WAIT_OBJECTS - 1);
        DWORD r = ::MsgWaitForMultipleObjects(n, running.data(), FALSE, wait, QS_ALLINPUT);
        if (r < WAIT_OBJECT_0 + n) {
            running.erase(running.begin() + (r - WAIT_OBJECT_0));
        } else if (r == WAIT_OBJECT_0 + n) {
            MSG msg;
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    ::PostQuitMessage(static_cast<int>(msg.wParam));
                    return false;
                }
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        } else {
            return false; // timed out, or the wait itself failed
        }
    }
    return true;
}

CEvent::CEvent(BOOL initiallyOwn, BOOL manualReset, const char *name, LPSECURITY_ATTRIBUTES security)
    : m_hObject(::CreateEventA(security, manualReset, initiallyOwn, name))
{
}

CEvent::~CEvent()
{
    if (m_hObject)
        ::CloseHandle(m_hObject);
}

} // namespace cl
