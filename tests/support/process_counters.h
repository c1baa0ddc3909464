// What a Windows test reads to see that a process does not grow: Wine answers
// 0 to GetProcessMemoryInfo and GetProcessHandleCount, so both are counted
// here from what every Windows answers the same way.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace vel_test {

// Committed private memory, summed over the address space.
inline SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION m;
    for (char *p = nullptr; VirtualQuery(p, &m, sizeof m) == sizeof m;
         p = static_cast<char *>(m.BaseAddress) + m.RegionSize)
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE)
            total += m.RegionSize;
    return total;
}

// Handles open in this process, probed value by value.
inline DWORD OpenHandles()
{
    DWORD n = 0, flags;
    for (uintptr_t h = 4; h < 0x10000; h += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags))
            ++n;
    return n;
}

// TLS slots this process can still take, all taken and given back: the first
// free slot alone hides a slot left above one that a library gave back.
inline DWORD FreeTlsSlots()
{
    static DWORD taken[4096];
    DWORD n = 0;
    while (n < sizeof taken / sizeof taken[0] && (taken[n] = TlsAlloc()) != TLS_OUT_OF_INDEXES)
        ++n;
    for (DWORD i = 0; i < n; ++i)
        TlsFree(taken[i]);
    return n;
}

// Registry keys open in this process whose name holds `part`.
inline DWORD OpenKeysUnder(const wchar_t *part)
{
    // The object's name (a counted UTF-16 string at the start of the answer).
    struct Name {
        USHORT length, maximum;
        wchar_t *buffer;
    };
    using QueryObject = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (!query)
        return 0;
    DWORD n = 0, flags;
    alignas(8) char answer[2048];
    for (uintptr_t h = 4; h < 0x10000; h += 4) {
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags))
            continue;
        ULONG len = 0;
        if (query(reinterpret_cast<HANDLE>(h), 1 /* name */, answer, sizeof(answer) - 2, &len) != 0)
            continue;
        const Name *name = reinterpret_cast<const Name *>(answer);
        if (!name->buffer)
            continue;
        std::wstring text(name->buffer, name->length / 2);
        if (text.find(L"\\REGISTRY\\") == 0 && text.find(part) != std::wstring::npos)
            ++n;
    }
    return n;
}

} // namespace vel_test
