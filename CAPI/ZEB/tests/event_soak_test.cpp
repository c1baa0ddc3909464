// 1,000 insertions and removals seen by the reader monitor in event-driven
// mode (no polling), through the frame's side of the monitor: the store is
// right after each one, threads and handles stay flat.
// VEL_SOAK_CYCLES sets another number of cycles.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FramePcsc.h"
#include "event_log.h"
#include "loaded_library.h"
#include "store_view.h"

using namespace zebtest;
using softcard_test::control;

namespace {

struct NullSink : zeb::CoreSink {
  void PostStatus(int) override {}
  void PostInitAgain() override {}
};

// The card state replaced in one step, as the control program does: a new
// file, so that its time tells the PC/SC side it changed.
void PutState(const std::string &from, const std::string &state) {
  std::string temp = state + ".next";
  std::string bytes = ReadText(from);
  ASSERT_FALSE(bytes.empty());
  HANDLE f = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  DWORD written = 0;
  WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(f);
  ASSERT_EQ(bytes.size(), written);
  // A reader of the state may hold it open for a moment.
  ASSERT_TRUE(WaitUntil([&] { return MoveFileExA(temp.c_str(), state.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; },
                        5000));
}

DWORD Threads() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 t;
  t.dwSize = sizeof t;
  DWORD n = 0;
  for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
    n += t.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snap);
  return n;
}

// Open handles, found by asking about every small handle value (the handle
// count reads 0 under Wine).
DWORD Handles() {
  DWORD n = 0, flags;
  for (uintptr_t h = 4; h < 0x10000; h += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) ++n;
  return n;
}

TEST(EventSoak, ThousandInsertionsAndRemovalsSeenByTheMonitor) {
  std::string state = softcard_test::usePrivateState("zebeventsoak");
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
  EXPECT_TRUE(WaitUntil([&] {
    auto readers = pcsc.Readers();
    return !readers.empty() && readers[0].present;
  }, 15000));

  const char *env = std::getenv("VEL_SOAK_CYCLES");
  const int cycles = env && std::atoi(env) > 0 ? std::atoi(env) : 1000;
  const int warmUp = cycles / 10;
  DWORD threadsAt = 0, handlesAt = 0;
  DWORD started = GetTickCount();
  for (int i = 0; i < cycles; ++i) {
    PutState(empty, state);
    if (HasFailure()) break;
    if (!WaitUntil([&] { return BoundDers().empty(); }, 15000)) {
      ADD_FAILURE() << "removal " << i;
      break;
    }
    PutState(card, state);
    if (HasFailure()) break;
    if (!WaitUntil([&] { return BoundDers() == certs; }, 15000) || core.SyncCount() != 1) {
      ADD_FAILURE() << "insertion " << i;
      break;
    }
    if (i == warmUp) {  // caches and the library's tables made
      threadsAt = Threads();
      handlesAt = Handles();
    }
  }
  printf("%d event-driven cycles in %lu ms; threads %lu -> %lu, handles %lu -> %lu\n", cycles,
         (unsigned long)(GetTickCount() - started), (unsigned long)threadsAt, (unsigned long)Threads(),
         (unsigned long)handlesAt, (unsigned long)Handles());
  EXPECT_EQ(threadsAt, Threads()) << "threads grew";
  EXPECT_EQ(handlesAt, Handles()) << "handles grew";
  pcsc.Stop();
  core.Shutdown();
  EXPECT_TRUE(BoundDers().empty());
  if (HasFailure()) printf("event log:\n%s\n", ReadText(log).c_str());
  SetEventLogPath(nullptr);
  for (auto *f : {&card, &empty, &log}) DeleteFileA(f->c_str());
}

}  // namespace
