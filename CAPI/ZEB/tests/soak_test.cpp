// 1,000 insertions and removals of a card, the store checked after each:
// never a missing, extra or stale certificate; memory and handles flat.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "loaded_library.h"
#include "own_heap.h"
#include "process_counters.h"
#include "store_view.h"
#include "zeb_core.h"
#include "pcsc_test_support.h"

using namespace zebtest;
using softcard_test::control;

namespace {

struct NullSink : zeb::CoreSink {
    int initAgain = 0;
    void PostStatus(int) override {}
    void PostInitAgain() override { ++initAgain; }
};

TEST(Soak, ThousandInsertionsAndRemovals)
{
    std::string state = softcard_test::usePrivateState("zebsoak");
    ASSERT_TRUE(RegisterProvider());
    ClearMy();
    // Three states of the one reader: the default card, another card, empty.
    std::string cardA = state + ".a", cardB = state + ".b", empty = state + ".out";
    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    ASSERT_TRUE(CopyFileA(state.c_str(), empty.c_str(), FALSE));
    ASSERT_EQ(0, control("insert \"Lecteur Ovrane VEL 0\" vel3-1024"));
    ASSERT_TRUE(CopyFileA(state.c_str(), cardB.c_str(), FALSE));
    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    ASSERT_EQ(0, control("insert \"Lecteur Ovrane VEL 0\" vel3-default"));
    ASSERT_TRUE(CopyFileA(state.c_str(), cardA.c_str(), FALSE));

    const auto certsA = Certs({"auth", "sign"}), certsB = Certs({"auth1024", "sign1024"});
    NullSink sink;
    zeb::Settings settings;
    settings.sleepMs = 0;
    zeb::ZebCore core(&sink, settings);
    core.Reinitialise();
    ASSERT_EQ(certsA, BoundDers());

    auto cycle = [&] {
        int before = sink.initAgain;
        ASSERT_TRUE(core.PollOnce());
        ASSERT_NE(before, sink.initAgain) << "the change was not seen";
        core.Reinitialise();
    };
    const int kCycles = 1000;
    SIZE_T memoryAt = 0;
    DWORD handlesAt = 0;
    long long liveAt = 0;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(zeb_test::ReplaceCardState(empty, state));
        cycle();
        ASSERT_TRUE(BoundDers().empty()) << "removal " << i;
        bool b = i % 2 == 1;
        ASSERT_TRUE(zeb_test::ReplaceCardState(b ? cardB : cardA, state));
        cycle();
        ASSERT_EQ(b ? certsB : certsA, BoundDers()) << "insertion " << i;
        ASSERT_EQ(1, core.SyncCount());
        if (i == 99) { // after the warm-up: caches and the library's tables made
            memoryAt = vel_test::PrivateBytes();
            handlesAt = zeb_test::OpenHandles();
            liveAt = OwnHeapBytes();
        }
        if (i % 100 == 99)
            printf("cycle %d: private bytes %zu, own heap %lld, handles %lu\n", i + 1,
                   vel_test::PrivateBytes(), OwnHeapBytes(), zeb_test::OpenHandles());
    }
    EXPECT_EQ(liveAt, OwnHeapBytes()) << "the program's own heap grew";
    EXPECT_EQ(handlesAt, zeb_test::OpenHandles()) << "handles grew";
    // The whole process, Wine's crypt32 included (about 6 KB per addition).
    SIZE_T perCycle = (vel_test::PrivateBytes() - memoryAt) / 900;
    EXPECT_LT(perCycle, SIZE_T(16384)) << "private bytes per cycle " << perCycle;
    for (auto *f : {&cardA, &cardB, &empty})
        DeleteFileA(f->c_str());
}

} // namespace
