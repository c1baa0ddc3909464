// Worker threads and events. Unlike the classic shape, a CWinThread never
// deletes itself and its handle stays open until the object is deleted, so
// the starter can always wait for the thread's end (Join) and read its
// result: shutting down means joining every thread it started.
#pragma once
#include <windows.h>

#include <cstddef>

namespace cl {

using AFX_THREADPROC = UINT (*)(LPVOID param);

class CWinThread {
public:
    // Lets go of the handle; never waits for the thread and never ends it.
    ~CWinThread();
    CWinThread(const CWinThread &) = delete;
    CWinThread &operator=(const CWinThread &) = delete;

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    operator HANDLE() const { return m_hThread; }

    // Starts a thread made with CREATE_SUSPENDED; the previous suspend count,
    // or (DWORD)-1 with the last error set.
    DWORD ResumeThread() const { return ::ResumeThread(m_hThread); }
    // Waits up to timeoutMs for the thread's end; true once it has ended.
    bool Join(DWORD timeoutMs = INFINITE) const;
    bool IsRunning() const { return !Join(0); }
    // The procedure's result once ended; STILL_ACTIVE while it runs;
    // kThreadFailed when it let an exception out.
    DWORD GetExitCode() const;

    static constexpr DWORD kThreadFailed = 0xFFFFFFFFu;

private:
    friend CWinThread *AfxBeginThread(AFX_THREADPROC, LPVOID, int, UINT, DWORD, LPSECURITY_ATTRIBUTES);
    CWinThread() = default;
};

// Runs proc(param) on a new thread. The caller owns the result: Join it, then
// delete it. NULL when the thread cannot be started (last error set).
//   priority     THREAD_PRIORITY_* (set before the thread runs)
//   stackSize    0: the program's default
//   createFlags  0 or CREATE_SUSPENDED (then ResumeThread starts it)
CWinThread *AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0,
                           LPSECURITY_ATTRIBUTES security = nullptr);

// Waits for the end of every thread given (NULL entries are skipped) while
// serving the calling thread's messages, sent ones included, so that workers
// that post or send to this thread's windows as they finish can finish.
// True once all have ended; false after timeoutMs, or at a WM_QUIT, which is
// posted again for the enclosing loop.
bool AfxPumpUntilThreadsEnd(CWinThread *const *threads, size_t count, DWORD timeoutMs = INFINITE);

// A Win32 event owned by the object.
class CEvent {
public:
    // initiallyOwn: starts signalled; manualReset: stays signalled until
    // ResetEvent. m_hObject is NULL when the event cannot be made.
    explicit CEvent(BOOL initiallyOwn = FALSE, BOOL manualReset = FALSE, const char *name = nullptr,
                    LPSECURITY_ATTRIBUTES security = nullptr);
    ~CEvent();
    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    HANDLE m_hObject = nullptr;
    operator HANDLE() const { return m_hObject; }
    BOOL SetEvent() const { return ::SetEvent(m_hObject); }
    BOOL ResetEvent() const { return ::ResetEvent(m_hObject); }
    // Waits up to timeoutMs; TRUE when the event was signalled.
    BOOL Lock(DWORD timeoutMs = INFINITE) const
    {
        return ::WaitForSingleObject(m_hObject, timeoutMs) == WAIT_OBJECT_0;
    }
};

} // namespace cl
