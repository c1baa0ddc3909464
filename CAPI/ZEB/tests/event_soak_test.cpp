// 1,000 insertions and removals seen by the reader monitor in event-driven
// mode (no polling), through the frame's side of the monitor: the store is
// right after each one, the program's own heap, threads and handles stay flat. The software
// provider's container keys (below) are counted apart: under Wine each
// certificate propagated in this mode leaves one open, outside the tray's code.
// VEL_SOAK_CYCLES sets another number of cycles.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FramePcsc.h"
#include "event_log.h"
#include "loaded_library.h"
#include "own_heap.h"
#include "process_counters.h"
#include "store_view.h"
#include "pcsc_test_support.h"

using namespace zebtest;
using softcard_test::control;
using zeb_test::OpenHandles;
using zeb_test::OpenKeysUnder;
using zeb_test::ReplaceCardState;
using zeb_test::ThreadCount;

namespace {

const wchar_t kContainerKeys[] = L"\\Software\\Wine\\Crypto\\RSA\\";

struct NullSink : zeb::CoreSink {
    void PostStatus(int) override {}
    void PostInitAgain() override {}
};

TEST(EventSoak, ThousandInsertionsAndRemovalsSeenByTheMonitor)
{
    std::string state = softcard_test::usePrivateState("zebeventsoak");
    ASSERT_TRUE(RegisterProvider());
    ClearMy();
    std::string card = state + ".in", empty = state + ".out";
    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    ASSERT_TRUE(CopyFileA(state.c_str(), empty.c_str(), FALSE));
    ASSERT_EQ(0, control("insert \"Lecteur Ovrane VEL 0\" vel3-default"));
    ASSERT_TRUE(CopyFileA(state.c_str(), card.c_str(), FALSE));

    std::string log = state + ".events";
    DeleteFileA(log.c_str());
    SetEventLogPath(log.c_str());
    const auto certs = Certs({"auth", "sign"});
    NullSink sink;
    zeb::Settings settings;
    settings.patch_fido_v4 = 1;
    zeb::ZebCore core(&sink, settings);
    core.InitSlotList();
    zeb::FramePcsc pcsc(core);
    pcsc.Start(nullptr);
    EXPECT_TRUE(WaitUntil([&] { return BoundDers() == certs; }, 15000)) << "the card found at start";
    // The monitor has seen the card too before the first change.
    EXPECT_TRUE(WaitUntil(
        [&] {
            auto readers = pcsc.Readers();
            return !readers.empty() && readers[0].present;
        },
        15000));

    const char *env = std::getenv("VEL_SOAK_CYCLES");
    const int cycles = env && std::atoi(env) > 0 ? std::atoi(env) : 1000;
    const int warmUp = cycles / 10;
    DWORD threadsAt = 0, handlesAt = 0, keysAt = 0;
    long long heapAt = 0;
    SIZE_T bytesAt = 0;
    DWORD started = GetTickCount();
    for (int i = 0; i < cycles; ++i) {
        ASSERT_TRUE(ReplaceCardState(empty, state));
        if (!WaitUntil([&] { return BoundDers().empty() && core.SyncCount() == 0; }, 15000)) {
            ADD_FAILURE() << "removal " << i;
            break;
        }
        ASSERT_TRUE(ReplaceCardState(card, state));
        // The count follows the store's last addition.
        if (!WaitUntil([&] { return BoundDers() == certs && core.SyncCount() == 1; }, 15000)) {
            ADD_FAILURE() << "insertion " << i;
            break;
        }
        if (i == warmUp) { // caches and the library's tables made
            threadsAt = ThreadCount();
            handlesAt = OpenHandles();
            keysAt = OpenKeysUnder(kContainerKeys);
            heapAt = OwnHeapBytes();
            bytesAt = vel_test::PrivateBytes();
        }
    }
    DWORD keys = OpenKeysUnder(kContainerKeys);
    long long heap = OwnHeapBytes();
    printf("%d event-driven cycles in %lu ms; private bytes %+.2f KB per cycle (Wine's crypt32: see "
           "docs/wine-notes.md), own heap %lld -> %lld, threads %lu -> %lu, handles %lu -> %lu, "
           "of which container keys %lu -> %lu\n",
           cycles, (unsigned long)(GetTickCount() - started),
           ((double)vel_test::PrivateBytes() - (double)bytesAt) / 1024.0 / (cycles - warmUp), heapAt, heap,
           (unsigned long)threadsAt, (unsigned long)ThreadCount(), (unsigned long)handlesAt,
           (unsigned long)OpenHandles(), (unsigned long)keysAt, (unsigned long)keys);
    EXPECT_EQ(heapAt, heap) << "the program's own heap grew";
    EXPECT_EQ(threadsAt, ThreadCount()) << "threads grew";
    EXPECT_EQ(handlesAt - keysAt, OpenHandles() - keys) << "handles grew";
    pcsc.Stop();
    core.Shutdown();
    EXPECT_TRUE(BoundDers().empty());
    if (HasFailure())
        printf("event log:\n%s\n", ReadText(log).c_str());
    SetEventLogPath(nullptr);
    for (auto *f : {&card, &empty, &log})
        DeleteFileA(f->c_str());
}

} // namespace
