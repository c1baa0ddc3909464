// A C++ DLL that does nothing but may throw, built as the software card is
// (static runtime, kept loaded from its first load until the process ends):
// what any such DLL leaves behind at each load and unload. Unpinned, that
// would be the runtime's emergency exception pool on x86-64 and, on x86, a
// TLS slot and two handles of its thread support as well, none given back at
// unload; pinned, the runtime's start-up costs come once per process.
#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) int BaselineLength(const char *text)
{
    return static_cast<int>(std::string(text ? text : "").size());
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(module), &self);
    }
    return TRUE;
}
