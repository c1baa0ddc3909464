// Module-wide handles of the provider and its counting allocator.
#ifndef VEL_CSP_GLOBALS_H
#define VEL_CSP_GLOBALS_H

#include <windows.h>

#include <cstddef>

// The provider library's module handle (set at process attach; needed to find
// our own path at registration and the PIN dialog's template).
extern HMODULE g_hModule;
// The foreground window when the library was loaded: first parent tried for
// the credential prompt.
extern HWND ParentWindow;

// calloc(count, size) counted in the trace: returns NULL for a failed or
// impossible allocation (negative or overflowing sizes); the count is raised
// only for a block actually handed out, so it returns to 0 when every block
// is freed.
void *csp_alloc(int count, int size);
// Frees a block from csp_alloc; nothing at all for NULL.
void csp_free(void *p);
// Wipes then frees (PINs, packed credentials).
void csp_free_wiped(void *p, size_t size);
// Blocks handed out and not yet freed.
long CspAllocCount();

// Overwrites memory in a way the compiler may not drop.
void WipeMemory(void *p, size_t size);

#endif
