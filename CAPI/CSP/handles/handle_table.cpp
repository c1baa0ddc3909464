#include "handle_table.h"

#include <cstring>

#include "acquire_request.h"

namespace csp::handles {

namespace {

using Hold = std::lock_guard<std::mutex>;
using csp::names::EndsAsServiceRequest;

} // namespace

HandleTable::HandleTable(HandleTablePort &port) : port_(port)
{
}

HandleTable::~HandleTable()
{
    Clear();
}

bool HandleTable::AddHandle(ThreadId threadId, const char *containerText, Handle handle)
{
    Hold hold(lock_);
    HandleEntry entry;
    entry.dwThreadID = threadId;
    entry.pHC = handle;
    if (containerText) {
        const size_t n = std::strlen(containerText);
        entry.strContName = n < 0x7FFFFFFF ? static_cast<char *>(port_.AllocateName(n + 1)) : nullptr;
        if (!entry.strContName)
            return false;
        std::memcpy(entry.strContName, containerText, n);
    }
    entry.bSrvTSECtx = EndsAsServiceRequest(containerText);
    port_.Note(kLevelHandles, "HandleEntries::AddHandle",
               "newEntry.dwThreadID: %lu, pHC: %p, strContName: %s, usRefs: %d, bUsable: %d",
               static_cast<unsigned long>(threadId), handle, entry.strContName ? entry.strContName : "NULL",
               entry.usRefs, entry.bUsable ? 1 : 0);
    entries_.push_back(entry);
    return true;
}

void HandleTable::MarkReady(Handle handle)
{
    Hold hold(lock_);
    if (HandleEntry *e = FindEntry(handle)) {
        e->bPending = false;
        e->bUsable = true;
    }
}

void HandleTable::RemovePending(Handle handle)
{
    Hold hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->pHC == handle) {
            CleanEntry(*it);
            entries_.erase(it);
            return;
        }
    }
}

HandleEntry *HandleTable::FindEntry(Handle handle)
{
    for (HandleEntry &e : entries_)
        if (e.pHC == handle && !e.released) {
            port_.Note(kLevelHandles, "HandleEntries::FindEntry", "Found entry for this HandleContainer %p",
                       handle);
            return &e;
        }
    return nullptr;
}

HandleEntry *HandleTable::FindEntry(ThreadId threadId, const char *requested)
{
    for (HandleEntry &e : entries_) {
        if (e.released || e.stale)
            continue;
        port_.Note(kLevelDetail, "HandleEntries::FindEntry",
                   "m_Iter->dwThreadID: %lx, ThreadID: %lx, strContainerName: %s, m_Iter->strContName: %s",
                   static_cast<unsigned long>(e.dwThreadID), static_cast<unsigned long>(threadId),
                   requested ? requested : "NULL", e.strContName ? e.strContName : "NULL");
        bool match;
        if (e.dwThreadID == threadId) {
            match = requested ? (e.strContName && std::strstr(requested, e.strContName)) : !e.strContName;
        } else {
            match = requested && e.strContName && !EndsAsServiceRequest(requested) &&
                    std::strstr(requested, e.strContName);
        }
        if (match)
            return &e;
    }
    return nullptr;
}

Handle HandleTable::GetHandle(ThreadId threadId, const char *requested)
{
    Hold hold(lock_);
    HandleEntry *e = FindEntry(threadId, requested);
    port_.Note(kLevelHandles, "HandleEntries::GetHandle", "findEntry: 0x%p", static_cast<void *>(e));
    if (!e)
        return nullptr;
    port_.Note(kLevelHandles, "HandleEntries::GetHandle", "findEntry->bUsable: %d", e->bUsable ? 1 : 0);
    if (!e->bUsable || e->bPending || e->usRefs == 0xFFFF)
        return nullptr;
    if (e->bSrvTSECtx)
        e->bUsable = false; // handed out again once only
    ++e->usRefs;
    port_.Note(kLevelHandles, "HandleEntries::GetHandle", "findEntry->usRefs: %d", e->usRefs);
    return e->pHC;
}

void HandleTable::Disown(Handle handle)
{
    Hold hold(lock_);
    auto it = entries_.begin();
    while (it != entries_.end() && (it->pHC != handle || it->released))
        ++it;
    if (it == entries_.end() || it->bPending)
        return;
    it->bUsable = false;
    it->stale = true;
    // Its other holders may have released it meanwhile: the reference given
    // back may be the last one, and then it goes as with a release.
    Drop(it);
}

void HandleTable::GiveBack(Handle handle)
{
    Hold hold(lock_);
    auto it = entries_.begin();
    while (it != entries_.end() && (it->pHC != handle || it->released))
        ++it;
    if (it == entries_.end() || it->bPending)
        return;
    Drop(it);
}

bool HandleTable::IsHandleExist(Handle handle)
{
    if (!handle)
        return false;
    Hold hold(lock_);
    const HandleEntry *e = FindEntry(handle);
    return e && !e->bPending;
}

void HandleTable::CleanEntry(HandleEntry &entry)
{
    if (entry.pHC) {
        port_.Note(kLevelHandles, "HandleEntries::CleanEntry", "deleting pEntry->pHC %p", entry.pHC);
        port_.Destroy(entry.pHC);
        entry.pHC = nullptr;
    }
    if (entry.strContName)
        port_.FreeName(entry.strContName);
    entry.strContName = nullptr;
}

Handle HandleTable::Enter(Handle handle)
{
    if (!handle)
        return nullptr;
    Hold hold(lock_);
    HandleEntry *e = FindEntry(handle);
    if (!e || e->bPending)
        return nullptr;
    ++e->inCalls;
    return handle;
}

void HandleTable::Leave(Handle handle)
{
    Hold hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->pHC != handle || it->inCalls == 0)
            continue;
        if (--it->inCalls == 0 && it->released)
            Retire(it);
        return;
    }
}

bool HandleTable::Retire(std::list<HandleEntry>::iterator it)
{
    ThreadId owner = it->dwThreadID;
    const bool service = it->bSrvTSECtx;
    Handle handle = it->pHC;
    CleanEntry(*it);
    entries_.erase(it);
    port_.Note(kLevelSummary, "CPReleaseContext", "pHC = 0x%p cleared", handle);
    if (service) {
        int count = 0;
        for (const HandleEntry &e : entries_)
            if (e.dwThreadID == owner)
                ++count;
        port_.Note(kLevelHandles, "HandleEntries::EntryCount", "Found %d entries for this ThreadID %lx",
                   count, static_cast<unsigned long>(owner));
        // Only a thread that initialised the library with data of its own
        // may end it by its id: otherwise the process-wide initialisation
        // (and every other thread's sessions) would go with it.
        if (count == 0 && port_.TakeThreadData(owner)) {
            port_.Finalise(&owner);
            return true;
        }
        if (count != 0)
            return false;
    }
    if (entries_.empty()) {
        port_.Note(kLevelHandles, "HandleEntries::IsEmpty", "No more entries");
        port_.Finalise(nullptr);
        return true;
    }
    port_.Note(kLevelHandles, "HandleEntries::IsEmpty", "Entries still available");
    return false;
}

ReleaseOutcome HandleTable::Release(Handle handle)
{
    ReleaseOutcome outcome;
    Hold hold(lock_);
    auto it = entries_.begin();
    while (it != entries_.end() && (it->pHC != handle || it->released))
        ++it;
    if (it == entries_.end() || it->bPending)
        return outcome;
    outcome.known = true;
    port_.Note(kLevelHandles, "HandleEntries::GetThreadID", "Found pHC %p for ThreadID %lx", handle,
               static_cast<unsigned long>(it->dwThreadID));
    const ReleaseOutcome dropped = Drop(it);
    outcome.removed = dropped.removed;
    outcome.finalised = dropped.finalised;
    return outcome;
}

ReleaseOutcome HandleTable::Drop(std::list<HandleEntry>::iterator it)
{
    ReleaseOutcome outcome;
    outcome.known = true;
    --it->usRefs;
    port_.Note(kLevelHandles, "HandleEntries::RemoveHandle", "findEntry->usRefs: %d", it->usRefs);
    if (it->usRefs > 0)
        return outcome; // the entry stays: neither the registry nor its thread is left empty
    outcome.removed = true;
    if (it->inCalls > 0) {
        it->released = true; // the last running call destroys it
        it->bUsable = false;
        return outcome;
    }
    outcome.finalised = Retire(it);
    return outcome;
}

void HandleTable::Clear()
{
    Hold hold(lock_);
    for (HandleEntry &e : entries_)
        CleanEntry(e);
    entries_.clear();
}

size_t HandleTable::EntryCount()
{
    Hold hold(lock_);
    return entries_.size();
}

std::vector<HandleEntry> HandleTable::Snapshot()
{
    Hold hold(lock_);
    return std::vector<HandleEntry>(entries_.begin(), entries_.end());
}

} // namespace csp::handles
