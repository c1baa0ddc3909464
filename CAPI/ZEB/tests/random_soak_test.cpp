// Randomized soak of both modes: random sequences of card insertions,
// removals, swaps between readers, replacements, readers plugged and
// unplugged, latency changes and a failure injected at a random card call,
// each followed by a random short pause or none. At every quiet point (no
// injection pending, the tray idle) "MY" holds exactly the certificates of
// the cards present, bound to the card provider, the count of synchronised
// cards matches, and another provider's certificate is untouched.
//   VEL_SOAK_SEED    the seed (printed; a failure is replayed with it)
//   VEL_SOAK_EVENTS  random events per mode (default 40)
//   VEL_SOAK_SECONDS time bound per mode (default 75): the run stops at the
//                    next quiet point once it is over
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FramePcsc.h"
#include "event_log.h"
#include "loaded_library.h"
#include "store_view.h"
#include "timeout_scale.h"

using namespace zebtest;
using softcard_test::control;

namespace {

const char *const kReaders[] = {"Lecteur Ovrane VEL 0", "Lecteur Ovrane VEL 1", "Lecteur Ovrane VEL 2"};
struct Card {
    const char *name;
    std::initializer_list<const char *> certs;
};
const Card kCards[] = {
    {"vel3-default", {"auth", "sign"}}, {"vel3-1024", {"auth1024", "sign1024"}}, {"vel3-cl", {"tech"}}};
const char *const kCalls[] = {"C_GetSlotList",       "C_GetSlotInfo",     "C_GetTokenInfo",
                              "C_OpenSession",       "C_FindObjectsInit", "C_FindObjects",
                              "C_GetAttributeValue", "C_CloseSession",    "C_Initialize"};

unsigned long EnvNumber(const char *name, unsigned long fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::strtoul(v, nullptr, 0) : fallback;
}

std::string Q(const std::string &s)
{
    return "\"" + s + "\"";
}

struct NullSink : zeb::CoreSink {
    void PostStatus(int) override {}
    void PostInitAgain() override { ++initAgain; }
    int initAgain = 0;
};

// The readers and cards as the test made them; the software card follows.
class World {
public:
    explicit World(unsigned seed) : rng_(seed) {}

    void Reset()
    {
        ASSERT_EQ(0, control("reset")); // one reader, the default card in it
        readers_ = {{kReaders[0], "vel3-default"}};
    }
    // One random event; its text in `done` (for the failure message).
    void Step(std::string *done)
    {
        for (;;) {
            switch (Pick(8)) {
            case 0: { // insert
                std::string r = EmptyReader(), c = CardOut();
                if (r.empty() || c.empty())
                    continue;
                Run("insert " + Q(r) + " " + c, done);
                readers_[r] = c;
                return;
            }
            case 1: { // remove
                std::string r = FullReader();
                if (r.empty())
                    continue;
                Run("remove " + Q(r), done);
                readers_[r].clear();
                return;
            }
            case 2: { // swap
                if (readers_.size() < 2)
                    continue;
                auto a = readers_.begin(), b = std::next(a, 1 + Pick(readers_.size() - 1));
                Run("swap " + Q(a->first) + " " + Q(b->first), done);
                std::swap(a->second, b->second);
                return;
            }
            case 3: { // replace: pulled and another pushed in at once
                std::string r = FullReader(), c = CardOut();
                if (r.empty() || c.empty())
                    continue;
                Run("remove " + Q(r), done);
                Run("insert " + Q(r) + " " + c, done);
                readers_[r] = c;
                return;
            }
            case 4: { // reader plugged
                for (const char *r : kReaders)
                    if (!readers_.count(r)) {
                        Run("add-reader " + Q(r), done);
                        readers_[r] = "";
                        return;
                    }
                continue;
            }
            case 5: { // reader unplugged (its card leaves with it); the first stays
                if (readers_.size() < 2)
                    continue;
                auto it = std::next(readers_.begin(), 1 + Pick(readers_.size() - 1));
                Run("remove-reader " + Q(it->first), done);
                readers_.erase(it);
                return;
            }
            case 6: {
                static const int latencies[] = {0, 20, 80, 200};
                Run("latency " + std::to_string(latencies[Pick(4)]), done);
                return;
            }
            default:
                Run(std::string("inject ") + kCalls[Pick(sizeof kCalls / sizeof *kCalls)] + " " +
                        std::to_string(1 + Pick(3)) + " 0x30",
                    done);
                return;
            }
        }
    }
    // What a quiet tray shows: the certificates of the cards present.
    std::set<std::vector<BYTE>> Expected(int *cards) const
    {
        std::set<std::vector<BYTE>> out;
        *cards = 0;
        for (const auto &r : readers_)
            for (const Card &c : kCards)
                if (r.second == c.name) {
                    ++*cards;
                    for (const char *cert : c.certs)
                        out.insert(CardCert(cert));
                }
        return out;
    }
    // A short pause or none, at random: the next event comes before or
    // after the tray has seen this one.
    DWORD Pause() { return Pick(3) == 0 ? 0 : Pick(250); }
    unsigned Pick(size_t n) { return static_cast<unsigned>(rng_() % n); }

private:
    void Run(const std::string &command, std::string *done)
    {
        *done += command + "; ";
        ASSERT_EQ(0, control(command)) << command;
    }
    std::string EmptyReader()
    {
        std::vector<std::string> e;
        for (const auto &r : readers_)
            if (r.second.empty())
                e.push_back(r.first);
        return e.empty() ? "" : e[Pick(e.size())];
    }
    std::string FullReader()
    {
        std::vector<std::string> f;
        for (const auto &r : readers_)
            if (!r.second.empty())
                f.push_back(r.first);
        return f.empty() ? "" : f[Pick(f.size())];
    }
    std::string CardOut()
    {
        std::vector<std::string> out;
        for (const Card &c : kCards) {
            bool placed = false;
            for (const auto &r : readers_)
                placed = placed || r.second == c.name;
            if (!placed)
                out.push_back(c.name);
        }
        return out.empty() ? "" : out[Pick(out.size())];
    }
    std::mt19937 rng_;
    std::map<std::string, std::string> readers_; // reader -> card ("" empty)
};

class RandomSoak : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::string state = softcard_test::usePrivateState("zebrandomsoak");
        log = state + ".events";
        seed = static_cast<unsigned>(EnvNumber("VEL_SOAK_SEED", GetTickCount()));
        events = EnvNumber("VEL_SOAK_EVENTS", 40);
        seconds = EnvNumber("VEL_SOAK_SECONDS", 75);
        printf("seed %u (VEL_SOAK_SEED=%u replays it), %lu events, %lu s at most\n", seed, seed, events,
               seconds);
        ASSERT_TRUE(RegisterProvider());
        ClearMy();
        AddBound(CardCert("ca"), L"Other Provider", L"other");
        DeleteFileA(log.c_str());
        SetEventLogPath(log.c_str());
    }
    void TearDown() override
    {
        if (HasFailure())
            printf("seed %u; event log:\n%s\n", seed, ReadText(log).c_str());
        SetEventLogPath(nullptr);
        control("latency 0");
        control("inject clear");
        ClearMy();
        DeleteFileA(log.c_str());
    }
    // The random run: `quiet` brings the tray to rest and says whether it did.
    template <class Quiet, class Count> void Run(World &world, Quiet quiet, Count syncCount)
    {
        DWORD started = GetTickCount();
        unsigned long done = 0, quietPoints = 0;
        std::string since;
        while (done < events && GetTickCount() - started < seconds * 1000) {
            unsigned burst = 1 + world.Pick(4);
            for (unsigned i = 0; i < burst && done < events; ++i, ++done) {
                world.Step(&since);
                if (HasFatalFailure())
                    return;
                Sleep(world.Pause()); // the event's timing is part of the scenario
            }
            ASSERT_EQ(0, control("inject clear")); // the quiet point: nothing pending
            ASSERT_EQ(0, control("latency 0"));
            int cards = 0;
            const auto expected = world.Expected(&cards);
            bool exact = quiet([&] { return BoundDers() == expected && syncCount() == cards; });
            ASSERT_TRUE(exact) << "after event " << done << " (seed " << seed << "): " << since;
            ASSERT_EQ(Certs({"ca"}), BoundDers(L"Other Provider"));
            ++quietPoints;
            since.clear();
        }
        printf("%lu random events, %lu quiet points with the store exact, in %lu ms\n", done, quietPoints,
               (unsigned long)(GetTickCount() - started));
    }
    unsigned seed = 0;
    unsigned long events = 0, seconds = 0;
    std::string log;
};

TEST_F(RandomSoak, EventDrivenStoreFollowsTheCards)
{
    World world(seed);
    world.Reset();
    NullSink sink;
    zeb::Settings settings;
    settings.patch_fido_v4 = 1;
    settings.patch_fido_v4_initial_delay_ms = 0;
    zeb::ZebCore core(&sink, settings);
    core.InitSlotList();
    zeb::FramePcsc pcsc(core);
    pcsc.Start(nullptr);
    // Quiet: the store and the count right and staying so (the monitor
    // reacts within a wait slice of a second; a retry comes after one).
    Run(
        world,
        [&](const std::function<bool()> &right) {
            return WaitUntil(right, 30000) && !WaitUntil([&] { return !right(); }, 1000);
        },
        [&] { return core.SyncCount(); });
    pcsc.Stop();
    core.Shutdown();
    EXPECT_TRUE(BoundDers().empty());
}

TEST_F(RandomSoak, PollingStoreFollowsTheCards)
{
    World world(seed);
    world.Reset();
    NullSink sink;
    zeb::Settings settings;
    settings.sleepMs = 0; // the test makes each poll itself
    zeb::ZebCore core(&sink, settings);
    core.Reinitialise();
    // Quiet: a poll that asks for nothing more, the store then checked.
    Run(
        world,
        [&](const std::function<bool()> &right) {
            for (int i = 0; i < 12; ++i) {
                int before = sink.initAgain;
                if (!core.PollOnce())
                    return false;
                if (sink.initAgain == before)
                    return right();
                core.Reinitialise();
            }
            return false;
        },
        [&] { return core.SyncCount(); });
    core.Shutdown();
    EXPECT_TRUE(BoundDers().empty());
}

} // namespace
