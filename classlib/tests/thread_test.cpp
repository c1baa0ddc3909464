// Worker threads that stay joinable to the end, with their results, a
// suspended start, a procedure that throws, and events.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

#include "classlib/thread.h"
#include "classlib/wnd.h"
#include "timeout_scale.h"

namespace {

DWORD PatienceMs()
{
    return vel_test::ScaledMs(20000);
}

struct Gate {
    cl::CEvent open{FALSE, TRUE};
    std::atomic<int> passed{0};
};

UINT WaitAtGate(LPVOID p)
{
    auto *gate = static_cast<Gate *>(p);
    if (!gate->open.Lock(INFINITE))
        return 1;
    return 100 + gate->passed.fetch_add(1);
}

UINT Throws(LPVOID)
{
    throw std::runtime_error("worker");
}

TEST(WorkerThreads, JoinableUntilDeletedWithTheirResults)
{
    Gate gate;
    ASSERT_NE(gate.open.m_hObject, nullptr);
    std::vector<std::unique_ptr<cl::CWinThread>> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(cl::AfxBeginThread(&WaitAtGate, &gate));
        ASSERT_NE(threads.back(), nullptr);
        EXPECT_NE(threads.back()->m_nThreadID, 0u);
    }
    // All held at the gate: running, not joinable yet.
    for (auto &t : threads) {
        EXPECT_TRUE(t->IsRunning());
        EXPECT_EQ(t->GetExitCode(), static_cast<DWORD>(STILL_ACTIVE));
    }
    EXPECT_FALSE(threads[0]->Join(10));
    ASSERT_TRUE(gate.open.SetEvent());
    std::vector<bool> seen(8, false);
    for (auto &t : threads) {
        ASSERT_TRUE(t->Join(PatienceMs()));
        EXPECT_TRUE(t->Join(0)); // ended threads stay joinable
        DWORD code = t->GetExitCode();
        ASSERT_GE(code, 100u);
        ASSERT_LT(code, 108u);
        EXPECT_FALSE(seen[code - 100]);
        seen[code - 100] = true;
    }
    EXPECT_EQ(gate.passed.load(), 8);
}

TEST(WorkerThreads, SuspendedStartThrowingProcedureAndBadArguments)
{
    Gate gate;
    gate.open.SetEvent();
    std::unique_ptr<cl::CWinThread> later(
        cl::AfxBeginThread(&WaitAtGate, &gate, THREAD_PRIORITY_BELOW_NORMAL, 0, CREATE_SUSPENDED));
    ASSERT_NE(later, nullptr);
    EXPECT_FALSE(later->Join(50)); // not started yet
    EXPECT_EQ(gate.passed.load(), 0);
    EXPECT_EQ(GetThreadPriority(later->m_hThread), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(later->ResumeThread(), 1u);
    ASSERT_TRUE(later->Join(PatienceMs()));
    EXPECT_EQ(later->GetExitCode(), 100u);

    std::unique_ptr<cl::CWinThread> thrower(cl::AfxBeginThread(&Throws, nullptr));
    ASSERT_NE(thrower, nullptr);
    ASSERT_TRUE(thrower->Join(PatienceMs()));
    EXPECT_EQ(thrower->GetExitCode(), cl::CWinThread::kThreadFailed);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(cl::AfxBeginThread(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Deleting the object only lets go of the handle: the thread runs on.
TEST(WorkerThreads, DeletingTheObjectLeavesTheThreadRunning)
{
    Gate gate;
    cl::CWinThread *thread = cl::AfxBeginThread(&WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    HANDLE mine = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread->m_hThread, GetCurrentProcess(), &mine,
                                SYNCHRONIZE, FALSE, 0));
    delete thread;
    EXPECT_EQ(WaitForSingleObject(mine, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    gate.open.SetEvent();
    EXPECT_EQ(WaitForSingleObject(mine, PatienceMs()), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(gate.passed.load(), 1);
    CloseHandle(mine);
}

// Workers that send to a window of the waiting thread as they finish: a
// plain wait would hold them forever; the pumping wait lets them end.
struct Reporter {
    HWND window;
};

UINT SendThenEnd(LPVOID p)
{
    auto *r = static_cast<Reporter *>(p);
    return static_cast<UINT>(SendMessageA(r->window, WM_USER + 7, 0, 0));
}

class CountingWnd : public cl::CWnd {
public:
    std::atomic<int> served{0};
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {cl::OnMessage<&CountingWnd::OnReport>(WM_USER + 7)};
        static const cl::MessageMap map(CWnd::GetMessageMap(), entries);
        return &map;
    }

private:
    LRESULT OnReport(WPARAM, LPARAM) { return 40 + served.fetch_add(1); }
};

TEST(WorkerThreads, PumpingWaitServesTheWorkersToTheirEnd)
{
    CountingWnd wnd;
    ASSERT_TRUE(wnd.CreateEx(0, cl::AfxRegisterWndClass(0), "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    Reporter reporter{wnd.m_hWnd};
    std::unique_ptr<cl::CWinThread> a(cl::AfxBeginThread(&SendThenEnd, &reporter));
    std::unique_ptr<cl::CWinThread> b(cl::AfxBeginThread(&SendThenEnd, &reporter));
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(a->Join(50)); // blocked in its send until this thread serves it
    cl::CWinThread *const all[] = {a.get(), nullptr, b.get()};
    ASSERT_TRUE(cl::AfxPumpUntilThreadsEnd(all, 3, PatienceMs()));
    EXPECT_EQ(wnd.served.load(), 2);
    EXPECT_EQ(a->GetExitCode() + b->GetExitCode(), 40u + 41u);
    EXPECT_TRUE(cl::AfxPumpUntilThreadsEnd(nullptr, 0, 0));

    // Still running at the timeout: false; a quit ends the wait and is kept.
    Gate gate;
    std::unique_ptr<cl::CWinThread> held(cl::AfxBeginThread(&WaitAtGate, &gate));
    cl::CWinThread *const one[] = {held.get()};
    EXPECT_FALSE(cl::AfxPumpUntilThreadsEnd(one, 1, 50));
    PostQuitMessage(5);
    EXPECT_FALSE(cl::AfxPumpUntilThreadsEnd(one, 1, PatienceMs()));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 5u);
    gate.open.SetEvent();
    EXPECT_TRUE(cl::AfxPumpUntilThreadsEnd(one, 1, PatienceMs()));
}

TEST(WorkerThreads, EventsAutoAndManualReset)
{
    cl::CEvent automatic;          // auto reset, not signalled
    cl::CEvent manual(TRUE, TRUE); // manual reset, signalled
    EXPECT_FALSE(automatic.Lock(0));
    automatic.SetEvent();
    EXPECT_TRUE(automatic.Lock(0));
    EXPECT_FALSE(automatic.Lock(0)); // taken by the first wait
    EXPECT_TRUE(manual.Lock(0));
    EXPECT_TRUE(manual.Lock(0)); // stays until reset
    manual.ResetEvent();
    EXPECT_FALSE(manual.Lock(0));
}

} // namespace
