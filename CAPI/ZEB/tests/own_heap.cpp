#include "own_heap.h"

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {
std::atomic<long long> g_liveBytes{0};
} // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t n)
{
    void *p = malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    g_liveBytes += (long long)_msize(p);
    return p;
}
void *operator new[](size_t n)
{
    return operator new(n);
}
void operator delete(void *p) noexcept
{
    if (!p)
        return;
    g_liveBytes -= (long long)_msize(p);
    free(p);
}
void operator delete[](void *p) noexcept
{
    operator delete(p);
}
void operator delete(void *p, size_t) noexcept
{
    operator delete(p);
}
void operator delete[](void *p, size_t) noexcept
{
    operator delete(p);
}

namespace zebtest {

long long OwnHeapBytes()
{
    return g_liveBytes.load();
}

} // namespace zebtest
