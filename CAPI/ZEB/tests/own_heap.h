// The program's own heap use, apart from the platform's: the bytes held by
// C++ allocations (ours and the standard library's), counted by the
// replacement operators of own_heap.cpp linked into the test program. Wine's
// crypt32 keeps a few kilobytes of its own heap for every certificate added
// to a system store, so the whole process's memory cannot tell our growth.
#ifndef ZEB_TESTS_OWN_HEAP_H
#define ZEB_TESTS_OWN_HEAP_H

namespace zebtest {

long long OwnHeapBytes();

} // namespace zebtest

#endif
