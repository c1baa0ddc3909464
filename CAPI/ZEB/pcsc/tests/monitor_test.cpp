// The PC/SC monitor against the PC/SC stand-in: cards and readers changed
// with the software card's control program reach the host as insertions and
// removals by slot, event-driven; badges reach the work-around hook; Stop
// ends a wait at once and leaves nothing behind.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pcsc_monitoring.h"
#include "pcsc_test_support.h"

using namespace zeb;
using namespace zeb_test;

namespace {

// The frame's side: records what the monitor asks and says.
class Host : public PcscMonitorHost {
public:
    std::map<std::string, unsigned long> slots = {{kReader0, 1}, {kReader1, 2}};
    CardWaitSettings wait{0, 1000, 300};
    std::atomic<int> failListings{0}; // the next slot listings that fail (C_GetSlotList)
    std::atomic<int> failInserts{0};  // the next insertions that fail

    void LogLine(const std::string &line) override { Add(lines_, line); }
    void ReadersChanged() override { Add(notices_, "changed"); }
    SlotListing ListSlots() override
    {
        SlotListing l;
        l.initialised = true;
        if (failListings > 0) {
            --failListings;
            l.listRv = 6; // CKR_FUNCTION_FAILED
            return l;
        }
        std::lock_guard<std::mutex> g(m_);
        for (const auto &s : slots) {
            std::string d = s.first;
            d.resize(64, ' ');
            l.slots.push_back({s.second, d});
        }
        return l;
    }
    bool InsertCertificatesFromSlot(unsigned long slot, const std::string &reader, unsigned version) override
    {
        Add(events_, "insert " + std::to_string(slot) + " " + reader + " V" + std::to_string(version));
        if (failInserts > 0) {
            --failInserts;
            return false;
        }
        return true;
    }
    bool DeleteCertificatesFromSlot(unsigned long slot, const std::string &reader, unsigned version) override
    {
        Add(events_, "delete " + std::to_string(slot) + " " + reader + " V" + std::to_string(version));
        return true;
    }
    CardWaitSettings WaitSettings() override { return wait; }
    void FidoBadgeArrived(PcscMonitoring &, unsigned index) override
    {
        Add(events_, "badge " + std::to_string(index));
    }
    void ReconcileReaders(const std::vector<std::string> &, const std::vector<std::string> &) override
    {
        std::function<void()> once;
        {
            std::lock_guard<std::mutex> g(m_);
            once.swap(onReconcile_);
        }
        if (once)
            once();
    }

    // Waits until `text` was recorded `times` times; how many times it was.
    size_t Seen(const std::string &text, size_t times = 1, unsigned long ms = 5000)
    {
        std::unique_lock<std::mutex> g(m_);
        auto count = [&] { return size_t(std::count(events_.begin(), events_.end(), text)); };
        cv_.wait_for(g, std::chrono::milliseconds(ScaledMs(ms)), [&] { return count() >= times; });
        return count();
    }
    // Waits until `count` events were recorded; all of them.
    std::vector<std::string> Events(size_t count, unsigned long ms = 5000)
    {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::milliseconds(ScaledMs(ms)), [&] { return events_.size() >= count; });
        return events_;
    }
    bool Logged(const std::string &text, unsigned long ms = 5000)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ScaledMs(ms)), [&] {
            return std::any_of(lines_.begin(), lines_.end(),
                               [&](const std::string &l) { return l.find(text) != std::string::npos; });
        });
    }
    // `then` runs once, at the next reconciliation (on the monitor thread).
    void OnNextReconcile(std::function<void()> then)
    {
        std::lock_guard<std::mutex> g(m_);
        onReconcile_ = std::move(then);
    }
    std::vector<std::string> AllLines()
    {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }

private:
    void Add(std::vector<std::string> &to, const std::string &what)
    {
        {
            std::lock_guard<std::mutex> g(m_);
            to.push_back(what);
        }
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_, events_, notices_;
    std::function<void()> onReconcile_;
};

class Monitor : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UsePrivateState("monitor"); }
    void SetUp() override { ASSERT_EQ(0, Ctl("reset")); }

    PcscMonitorConfig config;
    Host host;
};

TEST_F(Monitor, CardsComeAndGoByEvents)
{
    PcscMonitoring monitor(host, config);
    monitor.Start();
    EXPECT_EQ(std::vector<std::string>({"insert 1 Lecteur Ovrane VEL 0 V3"}), host.Events(1));
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    EXPECT_EQ("delete 1 Lecteur Ovrane VEL 0 V3", host.Events(2).at(1));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" " + CardImage("vel4-default")));
    EXPECT_EQ("insert 1 Lecteur Ovrane VEL 0 V4", host.Events(3).at(2));
    EXPECT_TRUE(
        host.Logged("[ZEB] WaitForCardAvailable no_inuse_detected reader=Lecteur Ovrane VEL 0 polled_ms=0"));
    // The table is published once the scan that propagated has ended.
    std::vector<ReaderInfo> readers;
    vel_test::WaitUntil(
        [&] {
            readers = monitor.Readers();
            return !readers.empty() && readers[0].present;
        },
        5000);
    ASSERT_EQ(1u, readers.size());
    EXPECT_TRUE(readers[0].present);
    EXPECT_EQ(4u, readers[0].version);
    EXPECT_EQ(1ul, readers[0].slotId);
    // A card of another family: seen, neither propagated nor removed.
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" unknown"));
    EXPECT_TRUE(host.Logged("atr=3B"));
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" vel3-cl"));
    std::vector<std::string> e = host.Events(5);
    ASSERT_EQ(5u, e.size());
    EXPECT_EQ("delete 1 Lecteur Ovrane VEL 0 V4", e[3]);
    EXPECT_EQ("insert 1 Lecteur Ovrane VEL 0 V3", e[4]);
    monitor.Stop();
    EXPECT_EQ(5u, host.Events(5, 0).size());
}

TEST_F(Monitor, ReadersPluggedAndUnplugged)
{
    const std::string in0 = "insert 1 Lecteur Ovrane VEL 0 V3", in1 = "insert 2 Lecteur Ovrane VEL 1 V3";
    PcscMonitoring monitor(host, config);
    monitor.Start();
    ASSERT_EQ(1u, host.Seen(in0));
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader1 + "\" 2"));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" vel3-cl"));
    EXPECT_EQ(1u, host.Seen(in1));
    // Unplugging a reader that holds a card removes that card's certificates.
    ASSERT_EQ(0, Ctl(std::string("remove-reader \"") + kReader1 + "\""));
    EXPECT_EQ(1u, host.Seen("delete 2 Lecteur Ovrane VEL 1 V3"));
    EXPECT_TRUE(host.Logged("[ZEB] reader unplugged cleanup VEL V3 on reader=Lecteur Ovrane VEL 1"));
    ASSERT_EQ(0, Ctl(std::string("remove-reader \"") + kReader0 + "\""));
    EXPECT_EQ(1u, host.Seen("delete 1 Lecteur Ovrane VEL 0 V3"));
    EXPECT_TRUE(
        host.Logged("[ZEB] reader removed (no_readers) cleanup VEL V3 on reader=Lecteur Ovrane VEL 0"));
    // The table is published after the cleanup is logged.
    EXPECT_TRUE(vel_test::WaitUntil([&] { return monitor.Readers().empty(); }, 5000));
    // Back again, with a card: propagated through the reader-list notice
    // (every list change propagates the cards present again).
    size_t before = host.Seen(in0, 0, 0);
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader0 + "\" 1"));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" vel3-default"));
    EXPECT_LE(before + 1, host.Seen(in0, before + 1));
    EXPECT_TRUE(host.Logged("[ZEB] PnP VEL V3 trigger propagation reader=Lecteur Ovrane VEL 0") ||
                host.Logged("[ZEB] VEL V3 inserted on reader=Lecteur Ovrane VEL 0"));
}

TEST_F(Monitor, BadgesAndSlotCacheMisses)
{
    config.fidoAtrs = {"3b8a800146494430424144474500"};
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader1 + "\" 2"));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" " + CardImage("fido-badge")));
    host.slots.erase(kReader0); // no PKCS#11 slot for this reader
    PcscMonitoring monitor(host, config);
    monitor.Start();
    // A badge already there is recorded, without the work-arounds.
    EXPECT_TRUE(host.Logged(std::string("[ZEB] FIDO badge detected on reader=Lecteur Ovrane VEL 1 atr=") +
                            kBadgeAtr));
    EXPECT_TRUE(
        host.Logged("[ZEB] InsertCertificatesFromReader slot cache miss reader=Lecteur Ovrane VEL 0 vel=V3"));
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader1 + "\""));
    EXPECT_TRUE(host.Logged("[ZEB] FIDO badge removed on reader=Lecteur Ovrane VEL 1"));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" fido-badge")); // the same badge, back
    EXPECT_EQ(std::vector<std::string>({"badge 1"}), host.Events(1));
    // The card of the reader without a slot leaves: the frame is told all
    // the same (it finds its entry by the reader's name), with no slot id.
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    EXPECT_EQ(1u, host.Seen("delete 4294967295 Lecteur Ovrane VEL 0 V3"));
    monitor.Stop();
}

// A slot listing that fails loses no removal (the frame needs no slot id to
// remove) and is made again on the next pass, which then propagates the card
// it missed.
TEST_F(Monitor, AFailedSlotListingLosesNoRemovalAndIsMadeAgain)
{
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader1 + "\" 2"));
    PcscMonitoring monitor(host, config);
    monitor.Start();
    ASSERT_EQ(1u, host.Seen("insert 1 Lecteur Ovrane VEL 0 V3"));
    host.failListings = 1;
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" vel3-1024"));
    EXPECT_TRUE(host.Logged("[ZEB] slot cache getSlotList FAILED rv=0x00000006"));
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    EXPECT_EQ(1u, host.Seen("delete 1 Lecteur Ovrane VEL 0 V3") +
                      host.Seen("delete 4294967295 Lecteur Ovrane VEL 0 V3", 1, 0));
    EXPECT_EQ(1u, host.Seen("insert 2 Lecteur Ovrane VEL 1 V3"));
    monitor.Stop();
}

// A card changed between two looks (swapped with another reader's, pulled
// and pushed back) is removed and inserted again; a failed propagation is
// tried again while the card stays.
TEST_F(Monitor, ChangedCardsAreReplacedAndFailedPropagationsRetried)
{
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader1 + "\" 2"));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" vel3-1024"));
    PcscMonitoring monitor(host, config);
    monitor.Start();
    const std::string in0 = "insert 1 Lecteur Ovrane VEL 0 V3", in1 = "insert 2 Lecteur Ovrane VEL 1 V3";
    ASSERT_EQ(1u, host.Seen(in0));
    ASSERT_EQ(1u, host.Seen(in1));
    ASSERT_EQ(0, Ctl(std::string("swap \"") + kReader0 + "\" \"" + kReader1 + "\""));
    EXPECT_EQ(1u, host.Seen("delete 1 Lecteur Ovrane VEL 0 V3"));
    EXPECT_EQ(1u, host.Seen("delete 2 Lecteur Ovrane VEL 1 V3"));
    EXPECT_EQ(2u, host.Seen(in0, 2));
    EXPECT_EQ(2u, host.Seen(in1, 2));
    // Pulled and pushed back between two looks: one state change seen.
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" vel3-1024"));
    EXPECT_EQ(3u, host.Seen(in0, 3));
    // A propagation that fails: tried again on a later pass, with no change.
    host.failInserts = 1;
    ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader1 + "\""));
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" vel3-default"));
    EXPECT_LE(4u, host.Seen(in1, 4));
    EXPECT_TRUE(host.Logged("[ZEB] VEL V3 propagation retry on reader=Lecteur Ovrane VEL 1"));
    monitor.Stop();
}

// A reader unplugged, and the card of another reader replaced after the
// rescan that follows has looked at it but before that rescan propagates it:
// the card side propagates the card it finds then, the new one. The status
// change the replacement left behind is that same card: it is not removed
// and propagated again (its certificates would leave the store for a while).
TEST_F(Monitor, ACardTheRescanAlreadyPropagatedIsNotRemovedAndAddedAgain)
{
    const std::string reader2 = "Lecteur Ovrane VEL 2";
    ASSERT_EQ(0, Ctl(std::string("add-reader \"") + kReader1 + "\" 2"));
    ASSERT_EQ(0, Ctl("add-reader \"" + reader2 + "\" 3"));
    PcscMonitoring monitor(host, config);
    monitor.Start();
    const std::string in0 = "insert 1 Lecteur Ovrane VEL 0 V3";
    ASSERT_EQ(1u, host.Seen(in0));
    std::atomic<int> replaced{-1};
    host.OnNextReconcile([&] {
        replaced = Ctl(std::string("remove \"") + kReader0 + "\"") |
                   Ctl(std::string("insert \"") + kReader0 + "\" vel3-1024");
    });
    ASSERT_EQ(0, Ctl("remove-reader \"" + reader2 + "\""));
    ASSERT_EQ(2u, host.Seen(in0, 2));
    ASSERT_EQ(0, replaced.load());
    // A card put in another reader afterwards: once it is propagated, every
    // look at reader 0 since its replacement has been made.
    ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader1 + "\" vel3-cl"));
    ASSERT_EQ(1u, host.Seen("insert 2 Lecteur Ovrane VEL 1 V3"));
    EXPECT_EQ(0u, host.Seen("delete 1 Lecteur Ovrane VEL 0 V3", 0, 0));
    EXPECT_EQ(2u, host.Seen(in0, 0, 0));
    monitor.Stop();
}

// PC/SC errors at each step never end the monitor: it logs, lets go of
// its context, and sees the next card.
TEST_F(Monitor, RecoversFromPcscErrors)
{
    struct Case {
        const char *inject;
        const char *line;
    } cases[] = {
        {"SCardEstablishContext 1 0x8010001D", "[ZEB] SCardEstablishContext failed: 0x8010001D"},
        {"SCardListReaders 1 0x8010001E", "[ZEB] SCardListReadersA failed: 0x8010001E"},
        // The first wait, after the two scans and the looks before and
        // after the first propagation.
        {"SCardGetStatusChange 5 0x80100017",
         "[ZEB] SCardGetStatusChangeA failed: 0x80100017 (anti-thrash 500ms)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.inject);
        Host h;
        ASSERT_EQ(0, Ctl("reset"));
        ASSERT_EQ(0, PcscCtl(std::string("inject ") + c.inject));
        PcscMonitoring monitor(h, config);
        monitor.Start();
        EXPECT_TRUE(h.Logged(c.line));
        EXPECT_EQ(1u, h.Seen("insert 1 Lecteur Ovrane VEL 0 V3"));
        ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
        EXPECT_EQ(1u, h.Seen("delete 1 Lecteur Ovrane VEL 0 V3"));
        monitor.Stop();
    }
}

TEST_F(Monitor, StopEndsAWaitAtOnceAndLeavesNothing)
{
    DWORD handlesBefore = 0, handlesAfter = 0;
    {
        PcscMonitoring warm(host, config); // first use of the stand-in, loaded once
        warm.Start();
        host.Events(1);
        warm.Stop();
    }
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    DWORD slowest = 0;
    for (int i = 0; i < 10; ++i) {
        PcscMonitoring monitor(host, config);
        monitor.Start();
        monitor.Start(); // only logged
        ASSERT_TRUE(host.Logged("[ZEB] PCSC monitoring already started"));
        host.Events(size_t(2 + i));
        DWORD start = GetTickCount();
        monitor.Stop();
        DWORD took = GetTickCount() - start;
        EXPECT_LT(took, ScaledMs(1000));
        slowest = std::max(slowest, took);
        monitor.Stop(); // nothing left to stop
    }
    std::printf("slowest stop %lu ms\n", slowest);
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LE(handlesAfter, handlesBefore + 2);
    std::vector<std::string> lines = host.AllLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[ZEB] PCSC monitoring thread ended"),
              std::count(lines.begin(), lines.end(), "[ZEB] PCSC monitoring stopped"));
}

// VEL_SOAK_CYCLES sets the number of cycles (100 by default).
TEST_F(Monitor, ManyInsertRemoveCyclesEachSeenOnce)
{
    PcscMonitoring monitor(host, config);
    monitor.Start();
    ASSERT_EQ(1u, host.Events(1).size());
    const char *soak = std::getenv("VEL_SOAK_CYCLES");
    const int cycles = soak && std::atoi(soak) > 0 ? std::atoi(soak) : 100;
    DWORD handlesBefore = 0, handlesAfter = 0, threadsBefore = ThreadCount();
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    DWORD started = GetTickCount();
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(0, Ctl(std::string("remove \"") + kReader0 + "\""));
        ASSERT_EQ(size_t(2 + 2 * i), host.Events(size_t(2 + 2 * i)).size()) << "cycle " << i;
        ASSERT_EQ(0, Ctl(std::string("insert \"") + kReader0 + "\" vel3-default"));
        ASSERT_EQ(size_t(3 + 2 * i), host.Events(size_t(3 + 2 * i)).size()) << "cycle " << i;
    }
    std::printf("%d cycles in %lu ms\n", cycles, GetTickCount() - started);
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LE(handlesAfter, handlesBefore + 2);
    EXPECT_EQ(threadsBefore, ThreadCount());
    monitor.Stop();
    std::vector<std::string> e = host.Events(0, 0);
    ASSERT_EQ(size_t(1 + 2 * cycles), e.size());
    for (size_t i = 1; i < e.size(); ++i)
        EXPECT_EQ(i % 2 ? "delete 1 Lecteur Ovrane VEL 0 V3" : "insert 1 Lecteur Ovrane VEL 0 V3", e[i]) << i;
}

} // namespace
