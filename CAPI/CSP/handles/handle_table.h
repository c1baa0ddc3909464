// The decisions of the provider's handle registry, without Windows: which
// thread acquired which context for which container text, how many acquires
// share it, whether a later acquire may take it again, when it is destroyed
// and when the card library must be finalised. Contexts are opaque here;
// what happens to them (destruction, finalisation, name copies, trace lines)
// goes through a port, always under the table's lock, so that a decision and
// its effect are one step for every other thread.
#ifndef VEL_CSP_HANDLE_TABLE_H
#define VEL_CSP_HANDLE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

namespace csp::handles {

using ThreadId = uint32_t;
using Handle = void *;

// Trace levels the table writes at (the provider's trace levels).
constexpr int kLevelSummary = 5;
constexpr int kLevelDetail = 50;
constexpr int kLevelHandles = 80;

struct HandleEntry {
    ThreadId dwThreadID = 0;
    Handle pHC = nullptr;
    char *strContName = nullptr; // the caller's text as given; NULL for NULL
    unsigned short usRefs = 1;
    bool bUsable = false;    // may be handed out again
    bool bSrvTSECtx = false; // a service or remote-session context (name ends with ')')
    bool bPending = true;    // set-up still running: never handed out, never counted as done
    int inCalls = 0;         // entry points running on this context right now
    bool released = false;   // last reference gone while calls ran: destroyed by the last of them
    bool stale = false;      // its card went away: never found by a reuse lookup again
};

// What the table's decisions do outside it. Called with the table's lock
// held: an implementation must not call the table back.
class HandleTablePort {
public:
    virtual ~HandleTablePort() = default;
    // A zero-filled block for a name copy, or NULL when out of memory.
    virtual void *AllocateName(size_t size) = 0;
    virtual void FreeName(void *block) = 0;
    // The last reference of a context went: destroy it.
    virtual void Destroy(Handle handle) = 0;
    // True when owner initialised the library with data of its own (taken
    // back by this call): only then may its last service context end it.
    virtual bool TakeThreadData(ThreadId owner) = 0;
    // Finalises the library: for owner's data only, or (NULL) entirely.
    virtual void Finalise(const ThreadId *owner) = 0;
    // One trace line of the registry.
#ifdef __MINGW_PRINTF_FORMAT
    __attribute__((format(__MINGW_PRINTF_FORMAT, 4, 5)))
#else
    __attribute__((format(printf, 4, 5)))
#endif
    virtual void
    Note(int level, const char *function, const char *format, ...)
    {
        (void)level;
        (void)function;
        (void)format;
    }
};

// What a release did, decided under one hold of the lock.
struct ReleaseOutcome {
    bool known = false;     // the handle was registered
    bool removed = false;   // its last reference went
    bool finalised = false; // the library was finalised
};

// Whether a context found for a reuse may be handed out.
enum class Standing {
    stands, // yes
    notNow, // not by this acquire (its card is out now), but it stays usable
    gone,   // never again (another card took its card's place)
};
inline Standing AsStanding(bool stands)
{
    return stands ? Standing::stands : Standing::gone;
}
inline Standing AsStanding(Standing standing)
{
    return standing;
}

// How a set-up of a new context ended.
enum class SetUpEnd {
    noMemory, // the name copy could not be made: nothing registered, nothing run
    failed,   // the set-up failed: the entry and its context are gone
    ready,    // registered and usable
};

class HandleTable {
public:
    explicit HandleTable(HandleTablePort &port);
    ~HandleTable(); // destroys what is left, as Clear does
    HandleTable(const HandleTable &) = delete;
    HandleTable &operator=(const HandleTable &) = delete;

    // Registers a context whose set-up is starting: pending, not usable.
    // False when the name copy cannot be made (nothing registered then).
    bool AddHandle(ThreadId threadId, const char *containerText, Handle handle);
    // The set-up succeeded: the entry may now be handed out again.
    void MarkReady(Handle handle);
    // The set-up failed: the entry goes whatever its count, with its context.
    void RemovePending(Handle handle);

    // A new context: registered pending, set up by setUp() (outside the lock:
    // no other acquire takes it meanwhile), then made usable; a failed or
    // throwing set-up removes it (the exception goes on).
    template <class SetUp>
    SetUpEnd AddAndSetUp(ThreadId threadId, const char *containerText, Handle handle, SetUp setUp)
    {
        if (!AddHandle(threadId, containerText, handle))
            return SetUpEnd::noMemory;
        bool ok = false;
        try {
            ok = setUp();
        } catch (...) {
            RemovePending(handle);
            throw;
        }
        if (!ok) {
            RemovePending(handle);
            return SetUpEnd::failed;
        }
        MarkReady(handle);
        return SetUpEnd::ready;
    }

    // Reuse: the oldest entry of this thread whose stored name occurs in the
    // request (a NULL request matches a NULL name only), or of another
    // thread for a request not ending with ')'; takes one more reference.
    // A service entry is handed out again once only. NULL when none may be
    // reused.
    Handle GetHandle(ThreadId threadId, const char *requested);
    // Gives back the reference GetHandle took and never hands the entry out
    // again (its card went away); its other holders keep it until they
    // release, and when none is left it goes as with a last release.
    void Disown(Handle handle);
    // Gives back the reference GetHandle took, the entry left as it was (a
    // later acquire may take it); when its other holders released it
    // meanwhile, it goes as with a last release.
    void GiveBack(Handle handle);
    // GetHandle, then standing(handle) outside the lock (a bool, or a
    // Standing): a context that does not stand now is given back (notNow) or
    // disowned (false, gone), and NULL is returned.
    template <class StandingOf> Handle Reuse(ThreadId threadId, const char *requested, StandingOf standing)
    {
        Handle handle = GetHandle(threadId, requested);
        if (!handle)
            return nullptr;
        switch (AsStanding(standing(handle))) {
        case Standing::stands:
            return handle;
        case Standing::notNow:
            GiveBack(handle);
            return nullptr;
        case Standing::gone:
            break;
        }
        Disown(handle);
        return nullptr;
    }

    // A registered context whose set-up is done.
    bool IsHandleExist(Handle handle);
    // An entry point starts using a registered context (NULL when it is not
    // one); the context outlives a concurrent last release until Leave.
    Handle Enter(Handle handle);
    void Leave(Handle handle);

    // Drops one reference; the last one destroys the context (or leaves that
    // to the last running call) and, when the registry is left empty (or, for
    // a service context, its thread's entries), finalises the library.
    ReleaseOutcome Release(Handle handle);

    // Destroys every context (process detach); the library is not finalised.
    void Clear();

    size_t EntryCount();
    // A copy of the entries in insertion order (name pointers not to be kept).
    std::vector<HandleEntry> Snapshot();

private:
    HandleEntry *FindEntry(Handle handle);                            // lock held
    HandleEntry *FindEntry(ThreadId threadId, const char *requested); // lock held
    void CleanEntry(HandleEntry &entry);                              // lock held
    // Destroys an entry and finalises the library when it was the last
    // (of its thread, for a service context); lock held. True when finalised.
    bool Retire(std::list<HandleEntry>::iterator it);
    // Drops one reference of a registered entry, retiring it at the last.
    ReleaseOutcome Drop(std::list<HandleEntry>::iterator it);

    HandleTablePort &port_;
    std::mutex lock_;
    std::list<HandleEntry> entries_;
};

} // namespace csp::handles

#endif
