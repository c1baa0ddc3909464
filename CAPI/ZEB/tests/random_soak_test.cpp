// Randomized soak of both modes, in this process (the card side and the
// reader monitor) and from outside (ZEB.exe as the user runs it): random
// sequences of card insertions (VEL3 and VEL4 cards, a FIDO badge),
// removals, swaps between readers, replacements, readers plugged and
// unplugged (two of them named alike over the 64 characters a slot
// description keeps), latency changes and a failure injected at a random
// card call, each followed by a random short pause or none. The FIDO
// timings are read from the registry as the tray reads them, each set to
// one of 0, 1, 0x33333334 and 0xFFFFFFFF at random. The user's own entries
// for the cards' certificates (others of the same issuer and serial, bound
// to another provider or to none) and another provider's certificate lie in
// "MY" throughout. At every quiet point (no injection pending, the tray
// idle) "MY" holds exactly the certificates of the cards present bound to
// the card provider (none of a VEL3 card in WebAuthn exclusive mode), the
// count of synchronised cards matches (in this process), and the user's
// entries are untouched.
//   VEL_SOAK_SEED    the seed (printed; a failure is replayed with it)
//   VEL_SOAK_EVENTS  random events per run (default 40 in this process, 20 from outside)
//   VEL_SOAK_SECONDS time bound per run (default 75 in this process, 90 from
//                    outside): the run stops at the next quiet point once it is over
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
#include "settings.h"
#include "store_view.h"
#include "timeout_scale.h"
#include "tray_process.h"
#include "pcsc_test_support.h"

using namespace zebtest;
using softcard_test::control;

namespace {

const char *const kReaders[] = {"Lecteur Ovrane VEL 0", "Lecteur Ovrane VEL 1", "Lecteur Ovrane VEL 2",
                                // Named alike over their first 64 characters.
                                "Lecteur Ovrane VEL sans contact double interface modele professionnel 0",
                                "Lecteur Ovrane VEL sans contact double interface modele professionnel 1"};
struct Card {
    const char *name;  // as the control program knows it
    const char *image; // a card image of the PC/SC stand-in, inserted by its path; null: built in
    unsigned version;  // 3, 4, or 0: a FIDO badge
    std::initializer_list<const char *> certs;
};
// The VEL4 card holds the default card's certificates: while both are in,
// the store's copies belong to both.
const Card kCards[] = {{"vel3-default", nullptr, 3, {"auth", "sign"}},
                       {"vel3-1024", nullptr, 3, {"auth1024", "sign1024"}},
                       {"vel4-default", "vel4-default", 4, {"auth", "sign"}},
                       {"fido-badge", "fido-badge", 0, {}}};
// The quiet point's own reader and card (its certificate "tech" is no other
// card's): the tray has seen every event once it has seen this card come and go.
const char kControlReader[] = "Lecteur de controle du banc d'essai";
const char kControlCard[] = "vel3-cl";
const char *const kCardCerts[] = {"auth", "sign", "auth1024", "sign1024", "tech"};
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

    // One reader holding the default card, the two named alike and the
    // control reader.
    void Reset()
    {
        ASSERT_EQ(0, control("reset"));
        ASSERT_EQ(0, control("add-reader " + Q(kControlReader) + " 90"));
        readers_ = {{kReaders[0], "vel3-default"}};
        for (const char *r : {kReaders[3], kReaders[4]}) {
            ASSERT_EQ(0, control("add-reader " + Q(r)));
            readers_[r] = "";
        }
    }
    // VEL3 cards are counted without being propagated (WebAuthn exclusive mode).
    void InhibitVel3(bool inhibit) { inhibitVel3_ = inhibit; }
    // The FIDO badge is used (event-driven mode: the polling mode knows no
    // badge, and takes its unreadable token for a slot to read again at each poll).
    void UseBadge(bool use) { badge_ = use; }
    // One random event; its text in `done` (for the failure message).
    void Step(std::string *done)
    {
        for (;;) {
            switch (Pick(8)) {
            case 0: { // insert
                std::string r = EmptyReader(), c = CardOut();
                if (r.empty() || c.empty())
                    continue;
                Run("insert " + Q(r) + " " + Insertable(c), done);
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
                Run("insert " + Q(r) + " " + Insertable(c), done);
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
    // What a quiet tray shows: the certificates of the VEL cards present
    // (not of a VEL3 card in WebAuthn exclusive mode, which is counted all
    // the same), and how many it counts.
    std::set<std::vector<BYTE>> Expected(int *cards) const
    {
        std::set<std::vector<BYTE>> out;
        *cards = 0;
        for (const auto &r : readers_)
            for (const Card &c : kCards) {
                if (r.second != c.name || c.version == 0)
                    continue;
                ++*cards;
                if (c.version == 3 && inhibitVel3_)
                    continue;
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
    static std::string Insertable(const std::string &card)
    {
        for (const Card &c : kCards)
            if (card == c.name && c.image)
                return zeb_test::CardImage(c.image);
        return card;
    }
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
            if (c.version == 0 && !badge_)
                continue;
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
    bool inhibitVel3_ = false;
    bool badge_ = false;
};

// The FIDO timings as the soak sets them in the registry: each at one of
// the extremes a value can take, drawn from the seed.
struct Extremes {
    static constexpr DWORD kValues[] = {0, 1, 0x33333334u, 0xFFFFFFFFu};
    static constexpr const char *kNames[] = {"patch_fido_webauthn",
                                             "patch_fido_webautn_retry_ms",
                                             "patch_fido_webautn_retry_window_ms",
                                             "patch_fido_v4_detect_delay_ms",
                                             "patch_fido_v4_initial_delay_ms",
                                             "patch_fido_v4_stability_ms",
                                             "reset_v4_on_startup_delay_ms"};
    DWORD values[7] = {};

    explicit Extremes(unsigned seed)
    {
        std::mt19937 rng(seed ^ 0x5EEDu);
        for (DWORD &v : values)
            v = kValues[rng() % 4];
    }
    // Written as the user's settings of the mode (`fidoV4`), with the badge
    // recognised and VEL3 as the protected contact card.
    void Write(bool fidoV4, const std::string &logfile) const
    {
        RemoveSettingsKeys();
        SetUserDword("patch_fido_v4", fidoV4 ? 1 : 0);
        SetUserDword("contournement_ssa", 1);
        SetUserDword("watchOnTimer", 1);
        for (size_t i = 0; i < 7; ++i)
            SetUserDword(kNames[i], values[i]);
        std::string badge = std::string(zeb_test::kBadgeAtr) + '\0' + '\0';
        RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Ovrane\\ZEB", "atr_badge_fido", REG_MULTI_SZ,
                        badge.data(), (DWORD)badge.size());
        if (!logfile.empty())
            SetUserString("logfile", logfile.c_str());
    }
    // A VEL3 card is held back in WebAuthn exclusive mode (a hold time set).
    bool WebAuthn(bool fidoV4) const { return fidoV4 && values[0] != 0; }
    std::string Text() const
    {
        std::string out;
        for (size_t i = 0; i < 7; ++i) {
            char v[16];
            snprintf(v, sizeof v, "0x%lX", (unsigned long)values[i]);
            out += std::string(kNames[i]) + "=" + v + " ";
        }
        return out;
    }
};
constexpr DWORD Extremes::kValues[];
constexpr const char *Extremes::kNames[];

// The user's own entries beside the cards' certificates, there throughout:
// for each, another certificate of the same issuer and serial, bound to
// another provider or to none in turn, and a certificate of another provider.
struct UsersEntries {
    std::set<std::vector<BYTE>> other, unbound;
    void Add()
    {
        other.insert(CardCert("ca"));
        AddBound(CardCert("ca"), L"Other Provider", L"other");
        bool bind = true;
        for (const char *cert : kCardCerts) {
            std::vector<BYTE> copy = SameIssuerAndSerial(CardCert(cert));
            if (bind) {
                AddBound(copy, L"Other Provider", L"user");
                other.insert(copy);
            } else {
                AddUnbound(copy);
                unbound.insert(copy);
            }
            bind = !bind;
        }
    }
    bool Intact() const { return BoundDers(L"Other Provider") == other && UnboundDers() == unbound; }
};

class RandomSoak : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::string state = softcard_test::usePrivateState("zebrandomsoak");
        log = state + ".events";
        seed = static_cast<unsigned>(EnvNumber("VEL_SOAK_SEED", GetTickCount()));
        ASSERT_TRUE(RegisterProvider());
        ClearMy();
        users.Add();
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
        RemoveSettingsKeys();
        DeleteFileA(log.c_str());
    }
    // The run's bounds (the environment's, else these) and its FIDO timings,
    // written to the registry for the mode; VEL3 cards held back when they
    // make WebAuthn exclusive mode.
    void Prepare(World &world, bool fidoV4, unsigned long defaultEvents, unsigned long defaultSeconds)
    {
        events = EnvNumber("VEL_SOAK_EVENTS", defaultEvents);
        seconds = EnvNumber("VEL_SOAK_SECONDS", defaultSeconds);
        Extremes extremes(seed);
        printf("seed %u (VEL_SOAK_SEED=%u replays it), %lu events, %lu s at most\n%s\n", seed, seed, events,
               seconds, extremes.Text().c_str());
        extremes.Write(fidoV4, log);
        world.Reset();
        world.InhibitVel3(extremes.WebAuthn(fidoV4));
        world.UseBadge(fidoV4);
    }
    // The settings as the tray reads them.
    static zeb::Settings Load()
    {
        zeb::Settings s;
        zeb::EnsureSettingsKey(&s);
        zeb::LoadSettings(&s);
        return s;
    }
    // The tray has seen every event: the control card put in and taken out
    // again, each seen to its end by `seen(in)` (bounded). The tray takes
    // the events in the order they came; what may follow them (a retry of a
    // propagation that failed) only adds to the store.
    static bool ControlCardSeen(const std::function<bool(bool in)> &seen)
    {
        for (bool in : {true, false}) {
            std::string command =
                in ? "insert " + Q(kControlReader) + " " + kControlCard : "remove " + Q(kControlReader);
            if (control(command) != 0 || !seen(in))
                return false;
        }
        return true;
    }
    // Event-driven mode: the reader monitor's end line for the control
    // reader's insertion or removal, one more than before.
    bool MonitorSawControlCard()
    {
        // A removal the monitor learns of only when the reader list changes
        // (its thread busy meanwhile) ends in the reconciliation's line instead.
        auto ends = [&](bool in) {
            const std::string all = ReadText(log);
            const std::string reader = std::string(" reader=") + kControlReader;
            auto count = [&](const std::string &line, const std::string &after) {
                size_t n = 0;
                for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) {
                    size_t r = all.find(reader + after, at);
                    n += r != std::string::npos && r < all.find('\n', at);
                }
                return n;
            };
            return in ? count("InsertCertificatesFromReader end", " vel=")
                      : count("DeleteCertificatesFromReader end", " vel=") +
                            count("MainFrm reconcile: no card any more in", ", certificates removed");
        };
        size_t before[2] = {ends(false), ends(true)};
        return ControlCardSeen(
            [&](bool in) { return WaitUntil([&] { return ends(in) > before[in]; }, 60000); });
    }
    // Polling mode: its certificate in the store, then gone.
    static bool StoreSawControlCard()
    {
        return ControlCardSeen([](bool in) {
            return WaitUntil([&] { return BoundDers().count(CardCert("tech")) == (in ? 1u : 0u); }, 60000);
        });
    }
    // The random run: `quiet` brings the tray to rest and says whether it
    // did; `syncCount` (none from outside) the cards it counts.
    template <class Quiet> void Run(World &world, Quiet quiet, std::function<int()> syncCount)
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
            bool exact =
                quiet([&] { return BoundDers() == expected && (!syncCount || syncCount() == cards); });
            ASSERT_TRUE(exact) << "after event " << done << " (seed " << seed << "): " << since;
            ASSERT_TRUE(users.Intact()) << "after event " << done << " (seed " << seed << "): " << since;
            ++quietPoints;
            since.clear();
        }
        printf("%lu random events, %lu quiet points with the store exact, in %lu ms\n", done, quietPoints,
               (unsigned long)(GetTickCount() - started));
    }
    // ZEB.exe run from outside until the soak ends, then closed: it leaves
    // nothing of ours, and the user's entries.
    template <class Quiet> void RunTray(World &world, Quiet quiet)
    {
        TrayProcess tray;
        ASSERT_TRUE(tray.Start());
        ASSERT_TRUE(tray.WaitWindow(20000));
        Run(world, quiet, nullptr);
        tray.Close();
        EXPECT_EQ(0, tray.Wait(30000));
        EXPECT_TRUE(BoundDers().empty());
        EXPECT_TRUE(users.Intact());
    }
    unsigned seed = 0;
    unsigned long events = 0, seconds = 0;
    std::string log;
    UsersEntries users;
};

TEST_F(RandomSoak, EventDrivenStoreFollowsTheCards)
{
    World world(seed);
    Prepare(world, true, 40, 75);
    NullSink sink;
    zeb::ZebCore core(&sink, Load());
    core.InitSlotList();
    zeb::FramePcsc pcsc(core);
    pcsc.Start(nullptr);
    // Quiet: every event seen, then the store and the count right and staying
    // so (a retry comes within a wait slice of a second).
    Run(
        world,
        [&](const std::function<bool()> &right) {
            return MonitorSawControlCard() && WaitUntil(right, 30000) &&
                   !WaitUntil([&] { return !right(); }, 1500);
        },
        [&] { return core.SyncCount(); });
    pcsc.Stop();
    core.Shutdown();
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_TRUE(users.Intact());
}

TEST_F(RandomSoak, PollingStoreFollowsTheCards)
{
    World world(seed);
    Prepare(world, false, 40, 75);
    NullSink sink;
    zeb::Settings settings = Load();
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
    EXPECT_TRUE(users.Intact());
}

TEST_F(RandomSoak, TrayProgramInEventDrivenModeFromOutside)
{
    World world(seed);
    Prepare(world, true, 20, 90);
    RunTray(world, [&](const std::function<bool()> &right) {
        return MonitorSawControlCard() && WaitUntil(right, 30000) &&
               !WaitUntil([&] { return !right(); }, 1500);
    });
}

TEST_F(RandomSoak, TrayProgramInPollingModeFromOutside)
{
    World world(seed);
    Prepare(world, false, 20, 90);
    // Quiet: every event seen, then the store right and staying so over
    // three polls (one a second).
    RunTray(world, [&](const std::function<bool()> &right) {
        return StoreSawControlCard() && WaitUntil(right, 30000) && !WaitUntil([&] { return !right(); }, 3000);
    });
}

} // namespace
