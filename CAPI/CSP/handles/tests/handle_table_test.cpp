// The handle table's rules, one behaviour per case: registration and the
// pending state, unknown and stale handles, the reuse rule, reference
// counting, releases during calls, and when the card library is finalised.
#include "handle_table.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "fake_port.h"

using csp::handles::Handle;
using csp::handles::HandleTable;
using csp::handles::SetUpEnd;
using csp::handles::Standing;
using handles_test::FakePort;

namespace {

class HandleTableTest : public ::testing::Test {
protected:
    // A registered, set-up context of thread for name (NULL allowed).
    Handle Ready(csp::handles::ThreadId thread, const char *name)
    {
        Handle h = &contexts_[next_++];
        EXPECT_TRUE(table_.AddHandle(thread, name, h));
        table_.MarkReady(h);
        return h;
    }
    unsigned short Refs(Handle h)
    {
        for (const csp::handles::HandleEntry &e : table_.Snapshot())
            if (e.pHC == h)
                return e.usRefs;
        return 0;
    }
    size_t Destroyed(Handle h)
    {
        size_t n = 0;
        for (Handle d : port_.destroyed)
            n += d == h;
        return n;
    }

    int contexts_[64] = {};
    int next_ = 0;
    FakePort port_;
    HandleTable table_{port_};
};

TEST_F(HandleTableTest, AnEntryIsPendingUntilItsSetUpSucceeds)
{
    Handle h = &contexts_[0];
    ASSERT_TRUE(table_.AddHandle(1, "alpha", h));
    EXPECT_FALSE(table_.IsHandleExist(h)) << "a pending context is not yet a handle";
    EXPECT_EQ(table_.Enter(h), nullptr);
    EXPECT_EQ(table_.GetHandle(1, "alpha"), nullptr) << "never handed out while set up";
    EXPECT_FALSE(table_.Release(h).known) << "nobody holds it yet";
    EXPECT_EQ(table_.EntryCount(), 1u);
    table_.MarkReady(h);
    EXPECT_TRUE(table_.IsHandleExist(h));
    EXPECT_EQ(table_.GetHandle(1, "alpha"), h);
    EXPECT_EQ(Refs(h), 2);
}

TEST_F(HandleTableTest, UnknownAndNullHandlesAreRefusedEverywhere)
{
    Handle known = Ready(1, "alpha");
    int stranger = 0;
    for (Handle h : {static_cast<Handle>(nullptr), static_cast<Handle>(&stranger)}) {
        EXPECT_FALSE(table_.IsHandleExist(h));
        EXPECT_EQ(table_.Enter(h), nullptr);
        const csp::handles::ReleaseOutcome r = table_.Release(h);
        EXPECT_FALSE(r.known || r.removed || r.finalised);
        table_.Leave(h);
        table_.Disown(h);
        table_.MarkReady(h);
        table_.RemovePending(h);
    }
    EXPECT_EQ(table_.EntryCount(), 1u);
    EXPECT_EQ(Refs(known), 1);
    EXPECT_TRUE(port_.destroyed.empty());
    EXPECT_TRUE(port_.finalisations.empty());
}

TEST_F(HandleTableTest, ReuseRule)
{
    struct Case {
        const char *what;
        csp::handles::ThreadId storedThread;
        const char *stored;
        csp::handles::ThreadId askingThread;
        const char *requested;
        bool reused;
    };
    const Case cases[] = {
        {"same thread, same name", 1, "alpha", 1, "alpha", true},
        {"same thread, stored name inside the request", 1, "alpha", 1, "xalphaCName(PC1)", true},
        {"same thread, request inside the stored name", 1, "alphabeta", 1, "alpha", false},
        {"same thread, NULL for NULL", 1, nullptr, 1, nullptr, true},
        {"same thread, NULL request, named entry", 1, "alpha", 1, nullptr, false},
        {"same thread, named request, NULL entry", 1, nullptr, 1, "alpha", false},
        {"same thread, empty stored name matches any request", 1, "", 1, "anything", true},
        {"same thread, service request", 1, "beta(PC1)", 1, "beta(PC1)", true},
        {"other thread, stored name inside the request", 1, "alpha", 2, "xalpha", true},
        {"other thread, service request", 1, "alpha", 2, "alpha(PC1)", false},
        {"other thread, empty request, empty name", 1, "", 2, "", true},
        {"other thread, NULL for NULL", 1, nullptr, 2, nullptr, false},
        {"other thread, different name", 1, "alpha", 2, "gamma", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakePort port;
        HandleTable table(port);
        int context = 0;
        ASSERT_TRUE(table.AddHandle(c.storedThread, c.stored, &context));
        table.MarkReady(&context);
        EXPECT_EQ(table.GetHandle(c.askingThread, c.requested), c.reused ? &context : nullptr);
    }
}

TEST_F(HandleTableTest, TheOldestMatchingEntryIsReused)
{
    Handle first = Ready(1, "alpha");
    Ready(1, "alpha");
    EXPECT_EQ(table_.GetHandle(1, "alpha"), first);
}

TEST_F(HandleTableTest, AServiceEntryIsHandedOutAgainOnceOnly)
{
    Handle h = Ready(1, "beta(PC1)");
    EXPECT_EQ(table_.GetHandle(1, "beta(PC1)"), h);
    EXPECT_EQ(table_.GetHandle(1, "beta(PC1)"), nullptr);
    EXPECT_EQ(Refs(h), 2);
    // An ordinary entry is handed out as often as asked.
    Handle o = Ready(1, "alpha");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(table_.GetHandle(1, "alpha"), o);
    EXPECT_EQ(Refs(o), 4);
}

TEST_F(HandleTableTest, TheReferenceCountStopsAtItsLimit)
{
    Handle h = Ready(1, "alpha");
    for (int i = 1; i < 0xFFFF; ++i)
        ASSERT_EQ(table_.GetHandle(1, "alpha"), h) << i;
    EXPECT_EQ(Refs(h), 0xFFFF);
    EXPECT_EQ(table_.GetHandle(1, "alpha"), nullptr) << "one more would wrap to zero";
}

TEST_F(HandleTableTest, EachReleaseDropsOneReferenceTheLastDestroysOnce)
{
    Handle h = Ready(1, "alpha");
    table_.GetHandle(1, "alpha");
    table_.GetHandle(2, "alpha");
    for (int i = 0; i < 2; ++i) {
        const csp::handles::ReleaseOutcome r = table_.Release(h);
        EXPECT_TRUE(r.known);
        EXPECT_FALSE(r.removed);
        EXPECT_TRUE(table_.IsHandleExist(h));
    }
    const csp::handles::ReleaseOutcome last = table_.Release(h);
    EXPECT_TRUE(last.known && last.removed && last.finalised);
    EXPECT_EQ(Destroyed(h), 1u);
    EXPECT_FALSE(table_.IsHandleExist(h));
    EXPECT_FALSE(table_.Release(h).known) << "a released handle is stale";
    EXPECT_EQ(port_.liveNames.load(), 0);
}

TEST_F(HandleTableTest, TheLibraryIsFinalisedWhenTheLastOrdinaryEntryGoes)
{
    Handle a = Ready(1, "alpha");
    Handle b = Ready(2, "gamma");
    EXPECT_FALSE(table_.Release(a).finalised);
    EXPECT_TRUE(port_.finalisations.empty());
    EXPECT_TRUE(table_.Release(b).finalised);
    ASSERT_EQ(port_.finalisations.size(), 1u);
    EXPECT_FALSE(port_.finalisations[0].forThread);
}

TEST_F(HandleTableTest, AServiceContextFinalisesItsThreadsDataOnly)
{
    struct Case {
        const char *what;
        bool threadData;        // the owner initialised with data of its own
        bool otherOfSameThread; // the owner keeps another entry
        bool otherThreadEntry;  // another thread keeps an entry
        bool finalised;
        bool forThread;
    };
    const Case cases[] = {
        {"its thread's data, others left", true, false, true, true, true},
        {"its thread's data, nothing left", true, false, false, true, true},
        {"no data of its own, others left", false, false, true, false, false},
        {"no data of its own, nothing left", false, false, false, true, false},
        {"its thread keeps another entry", true, true, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakePort port;
        HandleTable table(port);
        int service = 0, same = 0, other = 0;
        if (c.threadData)
            port.threadData.insert(7);
        table.AddHandle(7, "beta(PC1)", &service);
        table.MarkReady(&service);
        if (c.otherOfSameThread) {
            table.AddHandle(7, "alpha", &same);
            table.MarkReady(&same);
        }
        if (c.otherThreadEntry) {
            table.AddHandle(8, "alpha", &other);
            table.MarkReady(&other);
        }
        EXPECT_EQ(table.Release(&service).finalised, c.finalised);
        ASSERT_EQ(port.finalisations.size(), c.finalised ? 1u : 0u);
        if (c.finalised) {
            EXPECT_EQ(port.finalisations[0].forThread, c.forThread);
            if (c.forThread) {
                EXPECT_EQ(port.finalisations[0].owner, 7u);
            }
        }
        EXPECT_EQ(port.threadData.count(7), c.threadData && c.otherOfSameThread ? 1u : 0u)
            << "the thread's data is taken only when its last service context goes";
    }
}

TEST_F(HandleTableTest, ALastReleaseDuringCallsLeavesTheDestructionToTheLastCall)
{
    Handle h = Ready(1, "alpha");
    ASSERT_EQ(table_.Enter(h), h);
    ASSERT_EQ(table_.Enter(h), h);
    const csp::handles::ReleaseOutcome r = table_.Release(h);
    EXPECT_TRUE(r.known && r.removed);
    EXPECT_FALSE(r.finalised);
    EXPECT_TRUE(port_.destroyed.empty()) << "two calls still run on it";
    EXPECT_FALSE(table_.IsHandleExist(h));
    EXPECT_EQ(table_.Enter(h), nullptr) << "no new call starts on a released context";
    EXPECT_EQ(table_.GetHandle(1, "alpha"), nullptr);
    EXPECT_FALSE(table_.Release(h).known);
    table_.Leave(h);
    EXPECT_TRUE(port_.destroyed.empty());
    table_.Leave(h);
    EXPECT_EQ(Destroyed(h), 1u);
    EXPECT_EQ(port_.finalisations.size(), 1u) << "the last call's end empties the registry";
    EXPECT_EQ(table_.EntryCount(), 0u);
    table_.Leave(h); // one Leave too many changes nothing
    EXPECT_EQ(Destroyed(h), 1u);
}

TEST_F(HandleTableTest, ADisownedEntryIsNeverReusedButStaysWithItsHolders)
{
    Handle h = Ready(1, "alpha");
    ASSERT_EQ(table_.GetHandle(1, "alpha"), h);
    table_.Disown(h);
    EXPECT_EQ(Refs(h), 1) << "the reference the reuse took is given back";
    EXPECT_EQ(table_.GetHandle(1, "alpha"), nullptr);
    EXPECT_EQ(table_.GetHandle(2, "alpha"), nullptr);
    EXPECT_TRUE(table_.IsHandleExist(h));
    EXPECT_EQ(table_.Enter(h), h);
    table_.Leave(h);
    EXPECT_TRUE(table_.Release(h).removed);
    EXPECT_EQ(Destroyed(h), 1u);
}

TEST_F(HandleTableTest, ADisownedEntryWhoseHoldersLeftMeanwhileGoes)
{
    // Another thread releases its context while this one checks the card of
    // the context it was about to reuse: the reference given back is the
    // last one, and nobody would ever release the entry again.
    Handle h = Ready(1, "alpha");
    ASSERT_EQ(table_.GetHandle(2, "alpha"), h);
    EXPECT_FALSE(table_.Release(h).removed);
    table_.Disown(h);
    EXPECT_EQ(table_.EntryCount(), 0u);
    EXPECT_EQ(Destroyed(h), 1u);
    EXPECT_EQ(port_.finalisations.size(), 1u) << "the registry is left empty";
    EXPECT_EQ(port_.liveNames.load(), 0);
}

TEST_F(HandleTableTest, ReuseDisownsAContextThatNoLongerStands)
{
    Handle h = Ready(1, "alpha");
    int checked = 0;
    EXPECT_EQ(table_.Reuse(1, "alpha",
                           [&](Handle seen) {
                               ++checked;
                               EXPECT_EQ(seen, h);
                               return false;
                           }),
              nullptr);
    EXPECT_EQ(checked, 1);
    EXPECT_EQ(Refs(h), 1);
    EXPECT_EQ(table_.Reuse(1, "alpha", [](Handle) { return true; }), nullptr) << "stale for good";
    Handle fresh = Ready(1, "alpha");
    EXPECT_EQ(table_.Reuse(1, "alpha", [](Handle) { return true; }), fresh);
    EXPECT_EQ(Refs(fresh), 2);
}

TEST_F(HandleTableTest, ReuseGivesBackAContextThatDoesNotStandNow)
{
    // Its card is out: this acquire does not take it, a later one may.
    Handle h = Ready(1, "alpha");
    EXPECT_EQ(table_.Reuse(1, "alpha", [](Handle) { return Standing::notNow; }), nullptr);
    EXPECT_EQ(Refs(h), 1) << "the reference the reuse took is given back";
    EXPECT_EQ(table_.Reuse(2, "alpha", [](Handle) { return Standing::stands; }), h) << "not stale";
    EXPECT_EQ(Refs(h), 2);
    // Its holders released it while the card was looked at: the reference
    // given back was the last one.
    EXPECT_FALSE(table_.Release(h).removed);
    ASSERT_EQ(table_.GetHandle(1, "alpha"), h);
    EXPECT_FALSE(table_.Release(h).removed);
    table_.GiveBack(h);
    EXPECT_EQ(Destroyed(h), 1u);
    EXPECT_EQ(table_.EntryCount(), 0u);
    EXPECT_EQ(port_.finalisations.size(), 1u) << "the registry is left empty";
}

TEST_F(HandleTableTest, ASetUpThatFailsOrThrowsLeavesNothingBehind)
{
    Handle failed = &contexts_[10];
    EXPECT_EQ(table_.AddAndSetUp(1, "alpha", failed,
                                 [&] {
                                     EXPECT_FALSE(table_.IsHandleExist(failed));
                                     return false;
                                 }),
              SetUpEnd::failed);
    EXPECT_EQ(Destroyed(failed), 1u);

    Handle thrown = &contexts_[11];
    EXPECT_THROW(table_.AddAndSetUp(1, "alpha", thrown, []() -> bool { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(Destroyed(thrown), 1u);

    // A pending entry goes whatever its count.
    Handle pending = &contexts_[12];
    ASSERT_TRUE(table_.AddHandle(1, "alpha", pending));
    table_.RemovePending(pending);
    EXPECT_EQ(Destroyed(pending), 1u);

    EXPECT_EQ(table_.EntryCount(), 0u);
    EXPECT_EQ(port_.liveNames.load(), 0);
    EXPECT_TRUE(port_.finalisations.empty()) << "a failed set-up never finalises";

    Handle ok = &contexts_[13];
    EXPECT_EQ(table_.AddAndSetUp(1, "alpha", ok, [] { return true; }), SetUpEnd::ready);
    EXPECT_TRUE(table_.IsHandleExist(ok));
}

TEST_F(HandleTableTest, ANameThatCannotBeCopiedRegistersNothing)
{
    port_.failNames = true;
    bool ran = false;
    EXPECT_EQ(table_.AddAndSetUp(1, "alpha", &contexts_[0],
                                 [&] {
                                     ran = true;
                                     return true;
                                 }),
              SetUpEnd::noMemory);
    EXPECT_FALSE(ran);
    EXPECT_EQ(table_.EntryCount(), 0u);
    EXPECT_TRUE(port_.destroyed.empty()) << "the caller still owns it";
    // A NULL name needs no copy.
    EXPECT_EQ(table_.AddAndSetUp(1, nullptr, &contexts_[1], [] { return true; }), SetUpEnd::ready);
}

TEST_F(HandleTableTest, ClearDestroysEveryContextWithoutFinalising)
{
    Handle a = Ready(1, "alpha");
    Handle b = Ready(2, nullptr);
    table_.AddHandle(3, "gamma", &contexts_[40]);
    table_.Clear();
    EXPECT_EQ(Destroyed(a), 1u);
    EXPECT_EQ(Destroyed(b), 1u);
    EXPECT_EQ(Destroyed(&contexts_[40]), 1u);
    EXPECT_TRUE(port_.finalisations.empty());
    EXPECT_EQ(port_.liveNames.load(), 0);
    EXPECT_EQ(table_.EntryCount(), 0u);
}

} // namespace
