#include "handle_entries.h"

#include <cstring>

#include "csp_globals.h"
#include "handle_container.h"
#include "log_trace.h"

HandleEntries *g_handleEntries = nullptr;

namespace {

class Hold {
public:
    explicit Hold(CRITICAL_SECTION &cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~Hold() { LeaveCriticalSection(&cs_); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    CRITICAL_SECTION &cs_;
};

bool EndsWithParenthesis(const char *text)
{
    const size_t n = text ? std::strlen(text) : 0;
    return n > 0 && text[n - 1] == ')';
}

} // namespace

HandleEntries::HandleEntries()
{
    InitializeCriticalSection(&m_lock);
}

HandleEntries::~HandleEntries()
{
    Clear();
    DeleteCriticalSection(&m_lock);
}

bool HandleEntries::AddHandle(DWORD threadId, const char *containerText, HandleContainer *hc)
{
    Hold hold(m_lock);
    HandleEntry entry;
    entry.dwThreadID = threadId;
    entry.pHC = hc;
    if (containerText) {
        const size_t n = std::strlen(containerText);
        entry.strContName =
            n < 0x7FFFFFFF ? static_cast<char *>(csp_alloc(1, static_cast<int>(n + 1))) : nullptr;
        if (!entry.strContName)
            return false;
        std::memcpy(entry.strContName, containerText, n);
    }
    entry.bSrvTSECtx = EndsWithParenthesis(containerText);
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::AddHandle", 0, FALSE,
               "newEntry.dwThreadID: %lu, pHC: %p, strContName: %s, usRefs: %d, bUsable: %d",
               static_cast<unsigned long>(threadId), static_cast<void *>(hc),
               entry.strContName ? entry.strContName : "NULL", entry.usRefs, entry.bUsable);
    m_entries.push_back(entry);
    return true;
}

void HandleEntries::MarkReady(HandleContainer *hc)
{
    Hold hold(m_lock);
    if (HandleEntry *e = FindEntry(hc)) {
        e->bPending = FALSE;
        e->bUsable = TRUE;
    }
}

void HandleEntries::RemovePending(HandleContainer *hc)
{
    Hold hold(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->pHC == hc) {
            CleanEntry(*it);
            m_entries.erase(it);
            return;
        }
    }
}

HandleEntry *HandleEntries::FindEntry(HandleContainer *hc)
{
    for (HandleEntry &e : m_entries)
        if (e.pHC == hc && !e.released) {
            _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::FindEntry", 0, FALSE,
                       "Found entry for this HandleContainer %p", static_cast<void *>(hc));
            return &e;
        }
    return nullptr;
}

HandleEntry *HandleEntries::FindEntry(DWORD threadId, const char *requested)
{
    for (HandleEntry &e : m_entries) {
        if (e.released || e.stale)
            continue;
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "HandleEntries::FindEntry", 0, FALSE,
                   "m_Iter->dwThreadID: %lx, ThreadID: %lx, strContainerName: %s, m_Iter->strContName: %s",
                   static_cast<unsigned long>(e.dwThreadID), static_cast<unsigned long>(threadId),
                   requested ? requested : "NULL", e.strContName ? e.strContName : "NULL");
        bool match;
        if (e.dwThreadID == threadId) {
            match = requested ? (e.strContName && std::strstr(requested, e.strContName)) : !e.strContName;
        } else {
            match = requested && e.strContName && !EndsWithParenthesis(requested) &&
                    std::strstr(requested, e.strContName);
        }
        if (match)
            return &e;
    }
    return nullptr;
}

HandleContainer *HandleEntries::GetHandle(DWORD threadId, const char *requested)
{
    Hold hold(m_lock);
    HandleEntry *e = FindEntry(threadId, requested);
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::GetHandle", 0, FALSE, "findEntry: 0x%p",
               static_cast<void *>(e));
    if (!e)
        return nullptr;
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::GetHandle", 0, FALSE, "findEntry->bUsable: %d",
               e->bUsable);
    if (!e->bUsable || e->bPending || e->usRefs == 0xFFFF)
        return nullptr;
    if (e->bSrvTSECtx)
        e->bUsable = FALSE; // handed out again once only
    ++e->usRefs;
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::GetHandle", 0, FALSE, "findEntry->usRefs: %d",
               e->usRefs);
    return e->pHC;
}

void HandleEntries::Disown(HandleContainer *hc)
{
    Hold hold(m_lock);
    if (HandleEntry *e = FindEntry(hc)) {
        e->bUsable = FALSE;
        e->stale = true;
        if (e->usRefs > 1)
            --e->usRefs;
    }
}

bool HandleEntries::IsHandleExist(HandleContainer *hc)
{
    if (!hc)
        return false;
    Hold hold(m_lock);
    const HandleEntry *e = FindEntry(hc);
    return e && !e->bPending;
}

void HandleEntries::CleanEntry(HandleEntry &entry)
{
    if (entry.pHC) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::CleanEntry", 0, FALSE,
                   "deleting pEntry->pHC %p", static_cast<void *>(entry.pHC));
        delete entry.pHC;
        entry.pHC = nullptr;
    }
    csp_free(entry.strContName);
    entry.strContName = nullptr;
}

HandleContainer *HandleEntries::Enter(HandleContainer *hc)
{
    if (!hc)
        return nullptr;
    Hold hold(m_lock);
    HandleEntry *e = FindEntry(hc);
    if (!e || e->bPending)
        return nullptr;
    ++e->inCalls;
    return hc;
}

void HandleEntries::Leave(HandleContainer *hc)
{
    Hold hold(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->pHC != hc || it->inCalls == 0)
            continue;
        if (--it->inCalls == 0 && it->released)
            Retire(it);
        return;
    }
}

bool HandleEntries::Retire(std::list<HandleEntry>::iterator it)
{
    DWORD owner = it->dwThreadID;
    const BOOL service = it->bSrvTSECtx;
    HandleContainer *hc = it->pHC;
    CleanEntry(*it);
    m_entries.erase(it);
    _Log_Trace(LOG_INFO, LOG_LEVEL_SUMMARY, "CPReleaseContext", 0, FALSE, "pHC = 0x%p cleared",
               static_cast<void *>(hc));
    if (service) {
        int count = 0;
        for (const HandleEntry &e : m_entries)
            if (e.dwThreadID == owner)
                ++count;
        _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::EntryCount", 0, FALSE,
                   "Found %d entries for this ThreadID %lx", count, static_cast<unsigned long>(owner));
        // Only a thread that initialised the library with data of its own
        // may end it by its id: otherwise the process-wide initialisation
        // (and every other thread's sessions) would go with it.
        if (count == 0 && Pkcs::TakeThreadData(owner)) {
            Pkcs::FreePkcs(&owner);
            return true;
        }
        if (count != 0)
            return false;
    }
    if (m_entries.empty()) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::IsEmpty", 0, FALSE, "No more entries");
        Pkcs::FreePkcs(nullptr);
        return true;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::IsEmpty", 0, FALSE, "Entries still available");
    return false;
}

ReleaseOutcome HandleEntries::Release(HandleContainer *hc)
{
    ReleaseOutcome outcome;
    Hold hold(m_lock);
    auto it = m_entries.begin();
    while (it != m_entries.end() && (it->pHC != hc || it->released))
        ++it;
    if (it == m_entries.end() || it->bPending)
        return outcome;
    outcome.known = true;
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::GetThreadID", 0, FALSE,
               "Found pHC %p for ThreadID %lx", static_cast<void *>(hc),
               static_cast<unsigned long>(it->dwThreadID));
    --it->usRefs;
    _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "HandleEntries::RemoveHandle", 0, FALSE, "findEntry->usRefs: %d",
               it->usRefs);
    if (it->usRefs > 0)
        return outcome; // the entry stays: neither the registry nor its thread is left empty
    outcome.removed = true;
    if (it->inCalls > 0) {
        it->released = true; // the last running call destroys it
        it->bUsable = FALSE;
        return outcome;
    }
    outcome.finalised = Retire(it);
    return outcome;
}

void HandleEntries::Clear()
{
    Hold hold(m_lock);
    for (HandleEntry &e : m_entries)
        CleanEntry(e);
    m_entries.clear();
}

size_t HandleEntries::EntryCount()
{
    Hold hold(m_lock);
    return m_entries.size();
}
