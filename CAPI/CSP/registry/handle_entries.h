// The process-wide registry of provider handles: which thread acquired which
// HandleContainer for which container text, how many acquires share it, and
// whether a later acquire may take it again.
#ifndef VEL_CSP_HANDLE_ENTRIES_H
#define VEL_CSP_HANDLE_ENTRIES_H

#include <windows.h>

#include <list>

class HandleContainer;

struct HandleEntry {
    DWORD dwThreadID = 0;
    HandleContainer *pHC = nullptr;
    char *strContName = nullptr; // the caller's text as given; NULL for NULL
    USHORT usRefs = 1;
    BOOL bUsable = FALSE;    // may be handed out again
    BOOL bSrvTSECtx = FALSE; // a service or remote-session context (name ends with ')')
    BOOL bPending = TRUE;    // set-up still running: never handed out, never counted as done
    int inCalls = 0;         // entry points running on this context right now
    bool released = false;   // last reference gone while calls ran: destroyed by the last of them
    bool stale = false;      // its card went away: never found by a reuse lookup again
};

// What a release did, decided under one hold of the lock.
struct ReleaseOutcome {
    bool known = false;     // the handle was registered
    bool removed = false;   // its last reference went
    bool finalised = false; // the library was finalised
};

class HandleEntries {
public:
    HandleEntries();
    ~HandleEntries();
    HandleEntries(const HandleEntries &) = delete;
    HandleEntries &operator=(const HandleEntries &) = delete;

    // Registers a container whose set-up is starting: pending, not usable.
    // False when the name copy cannot be made (nothing registered then).
    bool AddHandle(DWORD threadId, const char *containerText, HandleContainer *hc);
    // The set-up succeeded: the entry may now be handed out again.
    void MarkReady(HandleContainer *hc);
    // The set-up failed: the entry goes whatever its count, with its container.
    void RemovePending(HandleContainer *hc);

    // Reuse: an entry of this thread (or another thread's, for names not
    // ending with ')') whose stored name occurs in the request; takes one
    // more reference. NULL when none may be reused.
    HandleContainer *GetHandle(DWORD threadId, const char *requested);
    // Gives back the reference GetHandle took and never hands the entry out
    // again (its card went away); its other holders keep it until they release.
    void Disown(HandleContainer *hc);
    bool IsHandleExist(HandleContainer *hc);
    // An entry point starts using a registered context (NULL when hc is not
    // one); the context outlives a concurrent last release until Leave.
    HandleContainer *Enter(HandleContainer *hc);
    void Leave(HandleContainer *hc);

    // Drops one reference and, when the registry or the thread's service
    // contexts are left empty, finalises the library: all under one hold.
    ReleaseOutcome Release(HandleContainer *hc);

    // Destroys every container (process detach); the library is not finalised.
    void Clear();

    size_t EntryCount();

private:
    HandleEntry *FindEntry(HandleContainer *hc);                   // lock held
    HandleEntry *FindEntry(DWORD threadId, const char *requested); // lock held
    void CleanEntry(HandleEntry &entry);                           // lock held
    // Destroys an entry and finalises the library when it was the last
    // (of its thread, for a service context); lock held. True when finalised.
    bool Retire(std::list<HandleEntry>::iterator it);

    CRITICAL_SECTION m_lock;
    std::list<HandleEntry> m_entries;
};

// The one registry of the process (NULL outside attach..detach).
extern HandleEntries *g_handleEntries;

#endif
