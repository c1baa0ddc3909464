// The process-wide registry of provider handles: the handle table's
// decisions (handle_table.h) over HandleContainer objects, with the
// provider's effects: containers deleted, name copies counted by csp_alloc,
// the card library finalised, the registry's trace lines.
#ifndef VEL_CSP_HANDLE_ENTRIES_H
#define VEL_CSP_HANDLE_ENTRIES_H

#include <windows.h>

#include "handle_table.h"

class HandleContainer;

using csp::handles::HandleEntry;
using csp::handles::ReleaseOutcome;

class HandleEntries {
public:
    HandleEntries();
    ~HandleEntries();
    HandleEntries(const HandleEntries &) = delete;
    HandleEntries &operator=(const HandleEntries &) = delete;

    // A new container registered pending and set up by setUp(): see
    // HandleTable::AddAndSetUp.
    template <class SetUp>
    csp::handles::SetUpEnd AddAndSetUp(DWORD threadId, const char *containerText, HandleContainer *hc,
                                       SetUp setUp)
    {
        return table_.AddAndSetUp(threadId, containerText, hc, setUp);
    }

    // Reuse (HandleTable::GetHandle), then the card check of the container
    // found (HandleContainer::CheckCard): one whose card was replaced is
    // disowned, never handed out again; one whose card is out is not handed
    // out now. NULL when none may be reused.
    HandleContainer *Reuse(DWORD threadId, const char *requested);
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
    // The provider's side of the table's effects.
    class Effects : public csp::handles::HandleTablePort {
    public:
        void *AllocateName(size_t size) override;
        void FreeName(void *block) override;
        void Destroy(csp::handles::Handle handle) override;
        bool TakeThreadData(csp::handles::ThreadId owner) override;
        void Finalise(const csp::handles::ThreadId *owner) override;
        void Note(int level, const char *function, const char *format, ...) override;
    };

    Effects effects_; // before the table: it outlives the table's last Clear
    csp::handles::HandleTable table_;
};

// The one registry of the process (NULL outside attach..detach).
extern HandleEntries *g_handleEntries;

#endif
