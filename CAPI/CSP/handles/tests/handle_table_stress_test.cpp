// Threads acquiring, reusing, calling on and releasing contexts at random,
// as the host processes of the provider do, against the handle table under
// the sanitizers. Between rounds the threads stop and the table is checked
// against what they hold. VEL_CSP_HANDLES_SEED sets the seed (printed),
// VEL_CSP_HANDLES_ROUNDS the rounds; the run also stops at its time budget.
#include "handle_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_port.h"
#include "timeout_scale.h"

using csp::handles::Handle;
using csp::handles::HandleTable;
using csp::handles::ThreadId;
using handles_test::FakePort;

namespace {

constexpr unsigned kMagic = 0x5EC0DE;
constexpr int kThreads = 6;
constexpr int kOpsPerRound = 400;

// A context as the table sees it: only its address; alive while its magic holds.
struct Context {
    unsigned magic = kMagic;
};

unsigned EnvNumber(const char *name, unsigned fallback)
{
    const char *s = std::getenv(name);
    return s && *s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : fallback;
}

// Stored names and requests: same names, names inside requests, the empty
// name, service names (ending with ')'), so every reuse branch is taken.
const char *const kNames[] = {"alpha", "alphabeta", "", "beta(PC1)", "gamma"};
const char *const kRequests[] = {"alpha", "alphabeta", "xalphay", "", "beta(PC1)", "gamma", "gamma(PC2)"};

// What the whole run shares besides the table.
struct World {
    FakePort port;
    std::mutex lock;           // guards the sets below
    std::set<Handle> live;     // registered or being set up, not destroyed
    std::atomic<int> wrong{0}; // invariant breaks seen by the workers
    std::vector<std::string> errors;
    std::atomic<Handle> shared[kThreads] = {}; // one handle per worker others may call on

    void Fail(const std::string &what)
    {
        ++wrong;
        std::lock_guard<std::mutex> hold(lock);
        if (errors.size() < 20)
            errors.push_back(what);
    }
};

World *g_world = nullptr;

void OnDestroy(Handle h)
{
    Context *c = static_cast<Context *>(h);
    if (c->magic != kMagic)
        g_world->Fail("a context destroyed twice");
    {
        std::lock_guard<std::mutex> hold(g_world->lock);
        g_world->live.erase(h);
    }
    c->magic = 0;
    delete c;
}

struct Worker {
    ThreadId id;
    std::mt19937 random;
    std::map<Handle, int> held; // references this thread holds

    Handle AnyHeld()
    {
        auto it = held.begin();
        std::advance(it, random() % held.size());
        return it->first;
    }

    void Acquire(HandleTable &table, World &w)
    {
        const char *request = kRequests[random() % (sizeof kRequests / sizeof *kRequests)];
        // Mostly standing; its card out now and then, or gone for good.
        const unsigned draw = random() % 16;
        const csp::handles::Standing standing = draw == 0   ? csp::handles::Standing::gone
                                                : draw == 1 ? csp::handles::Standing::notNow
                                                            : csp::handles::Standing::stands;
        Handle reused = table.Reuse(id, request, [&](Handle h) {
            if (static_cast<Context *>(h)->magic != kMagic)
                w.Fail("a reused context is not alive");
            return standing;
        });
        if (reused) {
            ++held[reused];
            return;
        }
        Context *c = new Context();
        {
            std::lock_guard<std::mutex> hold(w.lock);
            w.live.insert(c);
        }
        const char *name = kNames[random() % (sizeof kNames / sizeof *kNames)];
        const unsigned outcome = random() % 8;
        try {
            const csp::handles::SetUpEnd end = table.AddAndSetUp(id, name, c, [&] {
                if (table.IsHandleExist(c))
                    w.Fail("a context being set up is already a handle");
                if (outcome == 0)
                    throw std::runtime_error("set-up interrupted");
                if (outcome == 1)
                    std::this_thread::yield();
                return outcome != 2;
            });
            if (end == csp::handles::SetUpEnd::ready)
                ++held[c];
            else if (end != csp::handles::SetUpEnd::failed)
                w.Fail("an unexpected end of a set-up");
        } catch (const std::runtime_error &) {
        }
    }

    void Call(HandleTable &table, World &w, Handle h, bool mine)
    {
        Handle entered = table.Enter(h);
        if (mine && entered != h)
            w.Fail("a held context could not be entered");
        if (!entered)
            return;
        if (static_cast<Context *>(entered)->magic != kMagic)
            w.Fail("a context entered while destroyed");
        if (random() % 4 == 0)
            std::this_thread::yield();
        if (static_cast<Context *>(entered)->magic != kMagic)
            w.Fail("a context destroyed during a call");
        table.Leave(entered);
    }

    void Release(HandleTable &table, World &w, Handle h)
    {
        if (!table.Release(h).known)
            w.Fail("a held context was unknown at its release");
        if (--held[h] == 0)
            held.erase(h);
    }

    void Round(HandleTable &table, World &w, int index)
    {
        for (int op = 0; op < kOpsPerRound; ++op) {
            const unsigned pick = random() % 10;
            if (held.empty() || pick < 3) {
                Acquire(table, w);
            } else if (pick < 6) {
                Call(table, w, AnyHeld(), true);
            } else if (pick < 8) {
                const Handle other = w.shared[random() % kThreads].load();
                if (other)
                    Call(table, w, other, false);
            } else {
                Release(table, w, AnyHeld());
            }
            w.shared[index].store(held.empty() ? nullptr : AnyHeld());
        }
        // A thread sometimes lets go of everything, so the registry empties.
        if (random() % 3 == 0)
            while (!held.empty())
                Release(table, w, held.begin()->first);
        w.shared[index].store(nullptr);
    }
};

// The table at a quiet point: exactly the contexts the workers hold, with
// their reference counts, nothing pending, no call running, no name leaked.
void CheckQuiet(HandleTable &table, World &w, const std::vector<Worker> &workers, const std::string &where)
{
    std::map<Handle, int> held;
    for (const Worker &k : workers)
        for (const auto &h : k.held)
            held[h.first] += h.second;
    const std::vector<csp::handles::HandleEntry> entries = table.Snapshot();
    std::set<Handle> seen;
    long names = 0;
    for (const csp::handles::HandleEntry &e : entries) {
        SCOPED_TRACE(where);
        EXPECT_TRUE(seen.insert(e.pHC).second) << "a context registered twice";
        EXPECT_FALSE(e.bPending);
        EXPECT_EQ(e.inCalls, 0);
        EXPECT_FALSE(e.released);
        EXPECT_EQ(static_cast<int>(e.usRefs), held[e.pHC]) << "references against holders";
        EXPECT_FALSE(e.bUsable && e.stale) << "a context whose card went is never handed out again";
        names += e.strContName != nullptr;
    }
    EXPECT_EQ(seen.size(), held.size()) << where << ": a held context missing from the table";
    EXPECT_EQ(w.port.liveNames.load(), names) << where << ": name copies";
    std::lock_guard<std::mutex> hold(w.lock);
    EXPECT_EQ(w.live, seen) << where << ": contexts alive against contexts registered";
}

TEST(HandleTableStress, RandomAcquiresCallsAndReleasesKeepTheTableTrue)
{
    const unsigned seed = EnvNumber("VEL_CSP_HANDLES_SEED", std::random_device{}());
    const unsigned rounds = EnvNumber("VEL_CSP_HANDLES_ROUNDS", 100);
    std::printf("seed %u (VEL_CSP_HANDLES_SEED), %u rounds (VEL_CSP_HANDLES_ROUNDS)\n", seed, rounds);
    const auto budget = std::chrono::milliseconds(vel_test::ScaledMs(20000));
    const auto start = std::chrono::steady_clock::now();

    World world;
    g_world = &world;
    world.port.onDestroy = OnDestroy;
    // Finalising the whole library while a context is registered would take
    // its sessions away: only an empty table may do it. (Every stress name
    // is copied, so the copies count the entries.)
    world.port.onFinalise = [](const ThreadId *owner) {
        if (!owner && g_world->port.liveNames.load() != 0)
            g_world->Fail("the library finalised while entries remain");
    };
    {
        HandleTable table(world.port);
        std::vector<Worker> workers;
        for (int i = 0; i < kThreads; ++i) {
            workers.push_back(Worker{static_cast<ThreadId>(100 + i), std::mt19937(seed + i + 1), {}});
            if (i % 2)
                world.port.threadData.insert(workers.back().id);
        }
        unsigned round = 0;
        for (; round < rounds && std::chrono::steady_clock::now() - start < budget; ++round) {
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i)
                threads.emplace_back([&, i] { workers[i].Round(table, world, i); });
            for (std::thread &t : threads)
                t.join();
            CheckQuiet(table, world, workers,
                       "round " + std::to_string(round) + " seed " + std::to_string(seed));
            ASSERT_EQ(world.wrong.load(), 0) << "round " << round << " seed " << seed << ": "
                                             << (world.errors.empty() ? "" : world.errors.front());
            if (HasFailure())
                break;
        }
        std::printf("%u rounds run\n", round);
        for (Worker &k : workers)
            while (!k.held.empty())
                k.Release(table, world, k.held.begin()->first);
        EXPECT_EQ(table.EntryCount(), 0u) << "seed " << seed;
        EXPECT_FALSE(world.port.finalisations.empty());
    }
    EXPECT_TRUE(world.live.empty()) << "seed " << seed;
    EXPECT_EQ(world.port.liveNames.load(), 0);
    EXPECT_EQ(world.wrong.load(), 0) << "seed " << seed;
    g_world = nullptr;
}

} // namespace
