#include "csp_globals.h"

#include <atomic>
#include <climits>
#include <cstdlib>

#include "log_trace.h"
#include "trace_scope.h"

HMODULE g_hModule = nullptr;
HWND ParentWindow = nullptr;

namespace {
// Threads of the host process allocate at once: an atomic count stays exact.
std::atomic<long> countAlloc{0};
} // namespace

void *csp_alloc(int count, int size)
{
    const bool possible = count >= 0 && size >= 0 && (size == 0 || count <= INT_MAX / size);
    const int total = possible ? count * size : -1;
    // calloc(0) may answer NULL or a block: ask for one byte so that an empty
    // answer is still a block the caller frees.
    void *p = possible ? std::calloc(total ? static_cast<size_t>(total) : 1, 1) : nullptr;
    const long now = p ? ++countAlloc : countAlloc.load();
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "csp_alloc", 0, FALSE, "pBuff=0x%p (size:%d) countAlloc=%ld", p,
               total, now);
    return p;
}

void csp_free(void *p)
{
    if (!p)
        return;
    TraceScope trace(LOG_LEVEL_DETAIL, "csp_free", TRUE, "0x%p", p);
    std::free(p);
    const long now = --countAlloc;
    trace.Return(TRUE, "countAlloc=%ld", now);
}

void csp_free_wiped(void *p, size_t size)
{
    if (!p)
        return;
    WipeMemory(p, size);
    csp_free(p);
}

long CspAllocCount()
{
    return countAlloc.load();
}

void WipeMemory(void *p, size_t size)
{
    volatile unsigned char *b = static_cast<volatile unsigned char *>(p);
    while (size--)
        *b++ = 0;
}
