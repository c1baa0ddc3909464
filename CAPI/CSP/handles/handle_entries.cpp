#include "handle_entries.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "container/handle_container.h"
#include "globals/csp_globals.h"
#include "log_trace.h"

HandleEntries *g_handleEntries = nullptr;

namespace {

HandleContainer *Container(csp::handles::Handle handle)
{
    return static_cast<HandleContainer *>(handle);
}

} // namespace

void *HandleEntries::Effects::AllocateName(size_t size)
{
    return size < 0x7FFFFFFF ? csp_alloc(1, static_cast<int>(size)) : nullptr;
}

void HandleEntries::Effects::FreeName(void *block)
{
    csp_free(block);
}

void HandleEntries::Effects::Destroy(csp::handles::Handle handle)
{
    delete Container(handle);
}

bool HandleEntries::Effects::TakeThreadData(csp::handles::ThreadId owner)
{
    return Pkcs::TakeThreadData(owner);
}

void HandleEntries::Effects::Finalise(const csp::handles::ThreadId *owner)
{
    if (!owner) {
        Pkcs::FreePkcs(nullptr);
        return;
    }
    DWORD id = *owner; // passed on to C_Finalize as its reserved argument
    Pkcs::FreePkcs(&id);
}

void HandleEntries::Effects::Note(int level, const char *function, const char *format, ...)
{
    // Called under the registry's lock: a filtered line costs no formatting.
    if (!_Log_WouldTrace(LOG_INFO, level, 0, FALSE))
        return;
    // One pass into the stack for the usual line; the long ones (a long
    // requested name) are written whole, as the trace writer would.
    char line[512];
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n >= static_cast<int>(sizeof line)) {
        std::string text(static_cast<size_t>(n), '\0');
        std::vsnprintf(&text[0], text.size() + 1, format, again);
        _Log_Trace(LOG_INFO, level, function, 0, FALSE, "%s", text.c_str());
    } else {
        _Log_Trace(LOG_INFO, level, function, 0, FALSE, "%s", n >= 0 ? line : "");
    }
    va_end(again);
}

HandleEntries::HandleEntries() : table_(effects_)
{
}

HandleEntries::~HandleEntries()
{
    table_.Clear();
}

HandleContainer *HandleEntries::Reuse(DWORD threadId, const char *requested)
{
    return Container(table_.Reuse(threadId, requested, [](csp::handles::Handle handle) {
        // A context whose card was replaced by another does not stand any
        // more: a new one is set up on what the readers hold now. One whose
        // card is out is not handed out now, and stays for when it is back.
        switch (Container(handle)->CheckCard()) {
        case csp::cardmatch::CardStanding::Stands:
            return csp::handles::Standing::stands;
        case csp::cardmatch::CardStanding::Absent:
            return csp::handles::Standing::notNow;
        default:
            return csp::handles::Standing::gone;
        }
    }));
}

bool HandleEntries::IsHandleExist(HandleContainer *hc)
{
    return table_.IsHandleExist(hc);
}

HandleContainer *HandleEntries::Enter(HandleContainer *hc)
{
    return Container(table_.Enter(hc));
}

void HandleEntries::Leave(HandleContainer *hc)
{
    table_.Leave(hc);
}

ReleaseOutcome HandleEntries::Release(HandleContainer *hc)
{
    return table_.Release(hc);
}

void HandleEntries::Clear()
{
    table_.Clear();
}

size_t HandleEntries::EntryCount()
{
    return table_.EntryCount();
}
