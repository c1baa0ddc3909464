// The PC/SC stand-in across threads and processes: status changes waited
// for and woken by the control programs, SCardCancel, sharing violations
// between contexts and between processes, transactions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "scard_fixture.h"

using namespace pcsc_test;

namespace {

const char kReader1[] = "Lecteur sans contact 1";

// A status query running on its own thread, so that the test can act while
// it waits.
class Waiter {
public:
    Waiter(SCARDCONTEXT ctx, const char *reader, DWORD known, DWORD timeout = INFINITE)
    {
        state_.szReader = reader;
        state_.dwCurrentState = known;
        done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([=] {
            rv_ = Winscard().statusChangeA(ctx, timeout, &state_, 1);
            SetEvent(done_);
        });
    }
    ~Waiter()
    {
        thread_.join();
        CloseHandle(done_);
    }
    bool FinishedWithin(unsigned long ms) { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }
    LONG Rv() const { return rv_; }
    const SCARD_READERSTATEA &State() const { return state_; }

private:
    SCARD_READERSTATEA state_ = {};
    std::atomic<LONG> rv_{0};
    HANDLE done_;
    std::thread thread_;
};

class ScardWaiting : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UsePrivateState("waiting"); }
    void SetUp() override
    {
        ASSERT_EQ(0, SoftcardCtl("reset"));
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx));
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx2));
    }
    void TearDown() override
    {
        Winscard().release(ctx);
        Winscard().release(ctx2);
    }
    DWORD CurrentState(const char *reader)
    {
        SCARD_READERSTATEA rs = {};
        rs.szReader = reader;
        EXPECT_EQ(SCARD_S_SUCCESS, Winscard().statusChangeA(ctx, 0, &rs, 1));
        return rs.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
    }

    SCARDCONTEXT ctx = 0, ctx2 = 0;
};

TEST_F(ScardWaiting, InsertRemoveAndReaderChangesWakeTheWait)
{
    DWORD known = CurrentState(kReader0);
    ASSERT_EQ(DWORD(SCARD_STATE_PRESENT), known & 0xFFFF);
    // Nothing changes: a bounded wait times out, with the state filled in.
    SCARD_READERSTATEA rs = {};
    rs.szReader = kReader0;
    rs.dwCurrentState = known;
    EXPECT_EQ(SCARD_E_TIMEOUT, Winscard().statusChangeA(ctx, 50, &rs, 1));
    EXPECT_EQ(known, rs.dwEventState);
    {
        Waiter w(ctx, kReader0, known);
        ASSERT_EQ(0, SoftcardCtl(std::string("remove \"") + kReader0 + "\""));
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(SCARD_S_SUCCESS, w.Rv());
        EXPECT_EQ(DWORD(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED), w.State().dwEventState);
        EXPECT_EQ(0u, w.State().cbAtr);
        known = w.State().dwEventState & ~DWORD(SCARD_STATE_CHANGED);
    }
    {
        Waiter w(ctx, kReader0, known);
        ASSERT_EQ(0, SoftcardCtl(std::string("insert \"") + kReader0 + "\" vel3-default"));
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(DWORD(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED), w.State().dwEventState & 0xFFFF);
        EXPECT_EQ(17u, w.State().cbAtr);
        known = w.State().dwEventState & ~DWORD(SCARD_STATE_CHANGED);
    }
    {
        // A swap between two waits: same state bits, another insertion.
        ASSERT_EQ(0, SoftcardCtl("add-reader \"Lecteur Ovrane VEL 1\""));
        ASSERT_EQ(0, SoftcardCtl("insert \"Lecteur Ovrane VEL 1\" vel3-cl"));
        ASSERT_EQ(0, SoftcardCtl(std::string("swap \"") + kReader0 + "\" \"Lecteur Ovrane VEL 1\""));
        Waiter w(ctx, kReader0, known, 0);
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(SCARD_S_SUCCESS, w.Rv());
    }
    {
        DWORD pnp = CurrentState(SCARD_PNP_NOTIFICATION);
        Waiter w(ctx, SCARD_PNP_NOTIFICATION, pnp);
        ASSERT_EQ(0, SoftcardCtl(std::string("add-reader \"") + kReader1 + "\""));
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(SCARD_S_SUCCESS, w.Rv());
        EXPECT_EQ(3u, (w.State().dwEventState >> 16) & 0xFF); // the reader count
        // Same count, other names: still a change.
        pnp = w.State().dwEventState & ~DWORD(SCARD_STATE_CHANGED);
        ASSERT_EQ(0, SoftcardCtl(std::string("remove-reader \"") + kReader1 + "\""));
        ASSERT_EQ(0, SoftcardCtl("add-reader \"Lecteur sans contact 2\""));
        Waiter again(ctx, SCARD_PNP_NOTIFICATION, pnp, 0);
        ASSERT_TRUE(again.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(SCARD_S_SUCCESS, again.Rv());
    }
    {
        // A reader that goes away shows as unknown.
        DWORD k = CurrentState("Lecteur sans contact 2");
        Waiter w(ctx, "Lecteur sans contact 2", k);
        ASSERT_EQ(0, SoftcardCtl("remove-reader \"Lecteur sans contact 2\""));
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(3000)));
        EXPECT_TRUE(w.State().dwEventState & SCARD_STATE_UNKNOWN);
        EXPECT_TRUE(w.State().dwEventState & SCARD_STATE_CHANGED);
    }
}

TEST_F(ScardWaiting, CancelAndReleaseEndAWaitAtOnce)
{
    DWORD known = CurrentState(kReader0);
    {
        Waiter w(ctx, kReader0, known);
        EXPECT_FALSE(w.FinishedWithin(100)); // really waiting
        DWORD before = GetTickCount();
        EXPECT_EQ(SCARD_S_SUCCESS, Winscard().cancel(ctx));
        ASSERT_TRUE(w.FinishedWithin(ScaledMs(1000)));
        EXPECT_EQ(SCARD_E_CANCELLED, w.Rv());
        EXPECT_LT(GetTickCount() - before, ScaledMs(1000));
    }
    // A cancel with nobody waiting does not cancel the next wait.
    SCARD_READERSTATEA rs = {};
    rs.szReader = kReader0;
    rs.dwCurrentState = known;
    EXPECT_EQ(SCARD_E_TIMEOUT, Winscard().statusChangeA(ctx, 20, &rs, 1));
    {
        // The other context's wait goes on.
        Waiter mine(ctx, kReader0, known), theirs(ctx2, kReader0, known, 300);
        EXPECT_FALSE(mine.FinishedWithin(100)); // really waiting
        EXPECT_EQ(SCARD_S_SUCCESS, Winscard().release(ctx));
        ASSERT_TRUE(mine.FinishedWithin(ScaledMs(1000)));
        EXPECT_EQ(SCARD_E_CANCELLED, mine.Rv());
        ASSERT_TRUE(theirs.FinishedWithin(ScaledMs(3000)));
        EXPECT_EQ(SCARD_E_TIMEOUT, theirs.Rv());
    }
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx));
}

TEST_F(ScardWaiting, SharingBetweenContexts)
{
    struct Case {
        DWORD first, second;
        LONG expected;
        DWORD shownState; // in-use bits while the first is held
    } cases[] = {
        {SCARD_SHARE_SHARED, SCARD_SHARE_SHARED, SCARD_S_SUCCESS, SCARD_STATE_INUSE},
        {SCARD_SHARE_SHARED, SCARD_SHARE_EXCLUSIVE, SCARD_E_SHARING_VIOLATION, SCARD_STATE_INUSE},
        {SCARD_SHARE_EXCLUSIVE, SCARD_SHARE_SHARED, SCARD_E_SHARING_VIOLATION,
         SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE},
        {SCARD_SHARE_EXCLUSIVE, SCARD_SHARE_EXCLUSIVE, SCARD_E_SHARING_VIOLATION,
         SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE},
        {SCARD_SHARE_DIRECT, SCARD_SHARE_SHARED, SCARD_E_SHARING_VIOLATION,
         SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
        SCARDHANDLE a = 0, b = 0;
        DWORD protocol = 0;
        ASSERT_EQ(SCARD_S_SUCCESS,
                  Winscard().connectA(ctx, kReader0, c.first, SCARD_PROTOCOL_T0, &a, &protocol));
        EXPECT_EQ(c.shownState, CurrentState(kReader0) & (SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE));
        EXPECT_EQ(c.expected,
                  Winscard().connectA(ctx2, kReader0, c.second, SCARD_PROTOCOL_T0, &b, &protocol));
        if (c.expected == SCARD_S_SUCCESS) {
            // Both shared: neither may turn exclusive.
            EXPECT_EQ(SCARD_E_SHARING_VIOLATION,
                      Winscard().reconnect(b, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD,
                                           &protocol));
            Winscard().disconnect(b, SCARD_LEAVE_CARD);
        }
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(a, SCARD_LEAVE_CARD));
        EXPECT_EQ(0u, CurrentState(kReader0) & (SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE));
    }
}

// The test program again, as the other process: holds the reader as asked
// until the named event is set (or it is ended).
int HoldReader(const char *mode, const char *eventName)
{
    SCARDCONTEXT c = 0;
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    if (Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &c) != SCARD_S_SUCCESS)
        return 3;
    DWORD share = std::strcmp(mode, "exclusive") == 0 ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED;
    if (Winscard().connectA(c, kReader0, share, SCARD_PROTOCOL_T0, &h, &protocol) != SCARD_S_SUCCESS)
        return 4;
    if (std::strcmp(mode, "transaction") == 0 && Winscard().beginTransaction(h) != SCARD_S_SUCCESS)
        return 5;
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, eventName);
    std::printf("holding\n");
    std::fflush(stdout);
    WaitForSingleObject(e, INFINITE);
    Winscard().disconnect(h, SCARD_LEAVE_CARD);
    Winscard().release(c);
    return 0;
}

struct Child {
    PROCESS_INFORMATION pi = {};
    HANDLE release = nullptr;
};

// Starts the holder and waits until the reader shows it.
Child StartHolder(const char *mode, SCARDCONTEXT ctx, DWORD expectedBits)
{
    Child child;
    char name[64], exe[MAX_PATH], line[MAX_PATH + 160];
    std::snprintf(name, sizeof(name), "pcsc-test-release-%lu", GetCurrentProcessId());
    child.release = CreateEventA(nullptr, TRUE, FALSE, name);
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    std::snprintf(line, sizeof(line), "\"%s\" --hold %s %s", exe, mode, name);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    EXPECT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child.pi));
    SCARD_READERSTATEA rs = {};
    rs.szReader = kReader0;
    DWORD deadline = GetTickCount() + ScaledMs(10000);
    while (GetTickCount() < deadline) {
        rs.dwCurrentState = rs.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
        Winscard().statusChangeA(ctx, 500, &rs, 1);
        if ((rs.dwEventState & expectedBits) == expectedBits)
            break;
    }
    EXPECT_EQ(expectedBits, rs.dwEventState & expectedBits);
    return child;
}

void EndHolder(Child &child, bool kill)
{
    if (kill)
        TerminateProcess(child.pi.hProcess, 9);
    else
        SetEvent(child.release);
    WaitForSingleObject(child.pi.hProcess, INFINITE);
    CloseHandle(child.pi.hProcess);
    CloseHandle(child.pi.hThread);
    CloseHandle(child.release);
}

TEST_F(ScardWaiting, SharingBetweenProcesses)
{
    for (bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "holder killed" : "holder ends");
        Child child = StartHolder("exclusive", ctx, SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE);
        SCARDHANDLE h = 0;
        DWORD protocol = 0;
        EXPECT_EQ(SCARD_E_SHARING_VIOLATION,
                  Winscard().connectA(ctx, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &protocol));
        EndHolder(child, kill);
        // A process that ended, however it ended, holds nothing.
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().connectA(ctx, kReader0, SCARD_SHARE_EXCLUSIVE,
                                                       SCARD_PROTOCOL_T0, &h, &protocol));
        Winscard().disconnect(h, SCARD_LEAVE_CARD);
    }
}

TEST_F(ScardWaiting, TransactionsWaitForEachOther)
{
    Child child = StartHolder("transaction", ctx, SCARD_STATE_INUSE);
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().connectA(ctx, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &protocol));
    HANDLE began = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<LONG> rv{1};
    std::thread t([&] {
        rv = Winscard().beginTransaction(h);
        SetEvent(began);
    });
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(began, 200)); // held by the other process
    EndHolder(child, false);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(began, ScaledMs(5000)));
    t.join();
    EXPECT_EQ(SCARD_S_SUCCESS, rv.load());
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().endTransaction(h, SCARD_LEAVE_CARD));
    EXPECT_EQ(SCARD_E_NOT_TRANSACTED, Winscard().endTransaction(h, SCARD_LEAVE_CARD));
    Winscard().disconnect(h, SCARD_LEAVE_CARD);
    CloseHandle(began);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--hold") == 0)
        return HoldReader(argv[2], argv[3]); // same state: VEL_SOFTCARD_STATE is inherited
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
