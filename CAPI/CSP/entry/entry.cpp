// Library entry and the exported entry points that create and drop provider
// contexts, register the provider and answer its parameters. Each one only
// checks, dispatches and catches; the semantics live in handles/,
// container/, card/ and registration/.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <new>

#include "container/handle_container.h"
#include "entry_guard.h"
#include "globals/csp_globals.h"
#include "handles/handle_entries.h"
#include "log_trace.h"
#include "names/acquire_request.h"
#include "registration/registration.h"

namespace {

// CryptoAPI frees the provider at the last release of a context, while
// another thread of the host may still be inside one of our calls (its
// context kept alive by the registry, but not our code); and every unload
// leaves the static runtime's memory behind, on x86 a TLS slot and two
// handles as well, which a host loading us around each use (regsvr32, a tool
// listing providers) runs out of within a thousand loads. So the library
// stays from its first load until the process ends: pinned, rather than an
// extra reference of our own, which would still have to be dropped from
// inside the library and reopen the same window.
void PinProvider(HINSTANCE module)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(module), &self);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    // CryptoAPI loads and frees us around every first acquire and last
    // release: the caller's last error must come out as it went in. No trace
    // here: the trace configuration may not have been read yet.
    const DWORD callerError = GetLastError();
    if (reason == DLL_PROCESS_ATTACH) {
        g_hModule = module;
        ParentWindow = GetForegroundWindow();
        g_handleEntries = new (std::nothrow) HandleEntries();
        if (!g_handleEntries) {
            SetLastError(callerError);
            return FALSE;
        }
        PinProvider(module); // once the load is sure to succeed
    } else if (reason == DLL_PROCESS_DETACH && g_handleEntries) {
        // At process exit (reserved set) the other libraries may already be
        // gone: leave the memory to the system then.
        if (!reserved) {
            delete g_handleEntries;
        }
        g_handleEntries = nullptr;
    }
    SetLastError(callerError);
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    try {
        return RegisterProvider(g_hModule);
    } catch (...) {
        return E_FAIL;
    }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    try {
        return UnregisterProvider();
    } catch (...) {
        return S_OK;
    }
}

// Acquires a context: reuses a registered one or sets a new one up.
//   phProv      out: the context (NULL: ERROR_INVALID_PARAMETER)
//   szContainer container name, "\\.\reader\name", or NULL/"" for the default
// Failures: NTE_BAD_FLAGS, NTE_BAD_KEYSET, NTE_PROVIDER_DLL_FAIL, NTE_FAIL.
extern "C" BOOL WINAPI CPAcquireContext(HCRYPTPROV *phProv, LPCSTR szContainer, DWORD dwFlags,
                                        PVTableProvStruc pVTable)
{
    const char *name = "CPAcquireContext";
    char args[640];
    FormatArgs(args, sizeof args, "0x%p, %.511s, 0x%08lx, 0x%p", static_cast<void *>(phProv),
               szContainer ? szContainer : "NULL", static_cast<unsigned long>(dwFlags),
               static_cast<void *>(pVTable));
    _Log_Trace(LOG_INFO, LOG_LEVEL_SUMMARY, name, 0, FALSE, "%s", args);
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s", args);
    return RunGuarded(name, args, [&](DWORD &error) -> BOOL {
        HandleEntries *registry = g_handleEntries;
        // A refusal's return line says why, before the arguments.
        const auto refuse = [&](const char *why, DWORD code) {
            FormatArgs(args, sizeof args, "%s 0x%p, %.511s, 0x%08lx, 0x%p", why, static_cast<void *>(phProv),
                       szContainer ? szContainer : "NULL", static_cast<unsigned long>(dwFlags),
                       static_cast<void *>(pVTable));
            error = code;
            return FALSE;
        };
        if (!phProv)
            return refuse("Bad phProv ", ERROR_INVALID_PARAMETER);
        if (dwFlags & CRYPT_DELETEKEYSET)
            return refuse("Bad Flags (CRYPT_DELETEKEYSET)", static_cast<DWORD>(NTE_BAD_FLAGS));
        if ((dwFlags & kVerifyContextBits) == kVerifyContextBits && szContainer && szContainer[0])
            return refuse("Bad Flags (CRYPT_VERIFYCONTEXT)", static_cast<DWORD>(NTE_BAD_FLAGS));
        if (!registry) {
            error = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
            return FALSE;
        }
        // A context whose card went away meanwhile is never handed out again.
        HandleContainer *reused = registry->Reuse(GetCurrentThreadId(), szContainer);
        if (reused) {
            _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "Handle Container already exists: 0x%p",
                       static_cast<void *>(reused));
            _Log_Trace(LOG_INFO, LOG_LEVEL_SUMMARY, name, 0, FALSE, "Handle Container already exists: 0x%p",
                       static_cast<void *>(reused));
            *phProv = reinterpret_cast<HCRYPTPROV>(reused);
            return TRUE;
        }
        // The request read once, here; the context's set-up takes it whole.
        const csp::names::AcquireRequest request =
            csp::names::ReadAcquireRequest(szContainer, dwFlags, GetCommandLineA());
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE,
                   "WinlogonProcess=%d, UploadCertificatesProcess=%d", request.systemLogon ? 1 : 0,
                   request.silent ? 1 : 0);
        if (!request.readerFits) {
            error = static_cast<DWORD>(NTE_BAD_KEYSET);
            return FALSE;
        }
        HandleContainer *hc = new HandleContainer();
        // Registered pending: no other acquire takes it before its set-up
        // succeeds, and a failed one goes whatever its count.
        const csp::handles::SetUpEnd end = registry->AddAndSetUp(GetCurrentThreadId(), szContainer, hc, [&] {
            return hc->Initialize(request, dwFlags, pVTable, &error) != FALSE;
        });
        if (end == csp::handles::SetUpEnd::noMemory) {
            delete hc;
            error = static_cast<DWORD>(NTE_NO_MEMORY);
            return FALSE;
        }
        if (end == csp::handles::SetUpEnd::failed)
            return FALSE;
        *phProv = reinterpret_cast<HCRYPTPROV>(hc);
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "OUT : 0x%p", static_cast<void *>(hc));
        _Log_Trace(LOG_INFO, LOG_LEVEL_SUMMARY, name, 0, FALSE, "OUT : 0x%p", static_cast<void *>(hc));
        return TRUE;
    });
}

// Drops one reference of a context; the last one destroys it and, when no
// context is left (or no service context of its thread), finalises the library.
//   hProv  NULL: ERROR_INVALID_PARAMETER; unknown: NTE_BAD_UID
extern "C" BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    const char *name = "CPReleaseContext";
    char args[64];
    FormatArgs(args, sizeof args, "0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
               static_cast<unsigned long>(dwFlags));
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s", args);
    _Log_Trace(LOG_INFO, LOG_LEVEL_SUMMARY, name, 0, FALSE, "%s", args);
    return RunGuarded(name, args, [&](DWORD &error) -> BOOL {
        if (!hProv) {
            FormatArgs(args, sizeof args, "Bad phProv  0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
                       static_cast<unsigned long>(dwFlags));
            error = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        if (!g_handleEntries || !g_handleEntries->Release(reinterpret_cast<HandleContainer *>(hProv)).known) {
            error = static_cast<DWORD>(NTE_BAD_UID);
            return FALSE;
        }
        return TRUE;
    });
}
