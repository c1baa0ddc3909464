// Container set-up: the Microsoft software context, the library's
// initialisation and the choice of the card container for an acquire.
#include "handle_container.h"

#include <cstdio>
#include <cstring>

#include "globals/csp_globals.h"
#include "log_trace.h"
#include "prompt/pin_prompts.h"
#include "trace_scope.h"

namespace {

struct MicrosoftProvider {
    const char *symbol;
    const char *name;
    DWORD type;
};
const MicrosoftProvider kMicrosoftProviders[] = {
    {"MS_ENH_RSA_AES_PROV", "Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES},
    {"MS_ENH_RSA_AES_PROV_XP", "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)",
     PROV_RSA_AES},
    {"MS_ENHANCED_PROV", "Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL},
    {"MS_DEF_PROV", "Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL},
};
const char kMicrosoftContainer[] = "QUVCSPPROVIDER";

// The request's reading (names/) and the provider agree on flags and sizes.
static_assert(csp::names::kSilent == CRYPT_SILENT && csp::names::kMachineKeyset == CRYPT_MACHINE_KEYSET,
              "flags");
static_assert(csp::names::kContainerRoom == kNameSize && csp::names::kComputerRoom == kReaderNameSize,
              "sizes");

} // namespace

HandleContainer::~HandleContainer()
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "HandleContainer::~HandleContainer", TRUE, "%s", "");
    delete m_pCurrentContainer;
    m_pCurrentContainer = nullptr;
    if (m_hMSProv) {
        const DWORD keep = GetLastError();
        m_keys.Release(); // its keys live in the Microsoft context
        CryptReleaseContext(m_hMSProv, 0);
        SetLastError(keep);
    }
    trace.Return(TRUE, "%s", "");
}

BOOL HandleContainer::AcquireMicrosoftContext()
{
    const char *name = "HandleContainer::AcquireMicrosoftContext";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "Nb. providers : %d", 4);
    for (const MicrosoftProvider &p : kMicrosoftProviders) {
        HCRYPTPROV prov = 0;
        DWORD err = 0;
        if (!CryptAcquireContextA(&prov, kMicrosoftContainer, p.name, p.type, 0)) {
            err = GetLastError();
            _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, name, 0, FALSE,
                       "CryptAcquireContext(0) %s returns 0x%08lX", p.symbol,
                       static_cast<unsigned long>(err));
        }
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s already exists ? %s", p.symbol,
                   err ? "no" : "yes");
        if (err == static_cast<DWORD>(NTE_BAD_KEYSET)) {
            err = 0;
            if (!CryptAcquireContextA(&prov, kMicrosoftContainer, p.name, p.type, CRYPT_NEWKEYSET)) {
                err = GetLastError();
                _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, name, 0, FALSE,
                           "CryptAcquireContext(CRYPT_NEWKEYSET) %s returns 0x%08lX", p.symbol,
                           static_cast<unsigned long>(err));
            }
            _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s Created ? %s", p.symbol,
                       err ? "no" : "yes");
        }
        if (err == 0) {
            m_hMSProv = prov;
            trace.Return(TRUE, "%s", p.symbol);
            return TRUE;
        }
    }
    m_hMSProv = 0;
    trace.Return(FALSE, "%s", "");
    return FALSE;
}

BOOL HandleContainer::CreateContainer(const char *pszContainer, int propagation, const char *readerName,
                                      const char *computerName, DWORD *pdwError, const char *pReserved)
{
    const char *name = "HandleContainer::CreateContainer";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%s, %s, %s", pszContainer,
                     readerName ? readerName : "NULL", computerName ? computerName : "NULL");
    if (m_pCurrentContainer) {
        *pdwError = 0;
        trace.Return(TRUE, "%s", "");
        return TRUE;
    }
    const bool byThread = pReserved && std::strstr(pReserved, csp::names::kDataByThread);
    for (int retried = 0;; retried = 1) {
        if (!Pkcs::IsInitialized() || byThread) {
            if (!Pkcs::Initialize(pReserved, byThread)) {
                // No library: no card container, and no error of ours.
                *pdwError = 0;
                trace.Return(TRUE, "%s", "");
                return TRUE;
            }
        }
        if (Pkcs::UpdateContainerTable(this, pszContainer, propagation, readerName, computerName)) {
            *pdwError = 0;
            trace.Return(TRUE, "%s", "");
            return TRUE;
        }
        if (!byThread || retried)
            break;
        const CK_RV rv = Pkcs::FinalizeThread();
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "C_Finalize rv = 0x%lx",
                   static_cast<unsigned long>(rv));
    }
    *pdwError = static_cast<DWORD>(NTE_BAD_KEYSET);
    trace.Return(FALSE, "%s", "");
    return FALSE;
}

BOOL HandleContainer::Initialize(const csp::names::AcquireRequest &request, DWORD dwFlags,
                                 PVTableProvStruc pVTable, DWORD *pdwError)
{
    const char *name = "HandleContainer::Initialize";
    const char *pszContainer = request.container.c_str();
    const char *reader = request.reader.c_str();
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%s, 0x%08lx, 0x%p, %s", pszContainer,
                     static_cast<unsigned long>(dwFlags), static_cast<void *>(pVTable), reader);
    BOOL ok = FALSE;
    *pdwError = 0;
    m_dwFlags = dwFlags;
    // The system-logon test comes first: it also takes a request that adds CRYPT_VERIFYCONTEXT.
    const bool systemLogon = request.systemLogon;
    if (!request.containerFits) {
        *pdwError = static_cast<DWORD>(NTE_BAD_KEYSET); // a name we could not keep whole
    } else if (!systemLogon && (dwFlags & kVerifyContextBits) == kVerifyContextBits) {
        // A verification context is the caller's own ephemeral Microsoft
        // context and nothing else: "QUVCSPPROVIDER" is not opened first
        // only to be replaced (each opening of a named container costs about
        // as much again, and under Wine keeps a handle for the process's life).
        HCRYPTPROV verify = 0;
        const DWORD type = pVTable ? pVTable->dwProvType : PROV_RSA_FULL;
        if (CryptAcquireContextA(&verify, nullptr, nullptr, type, dwFlags)) {
            m_hMSProv = verify;
            ok = TRUE;
        } else {
            *pdwError = GetLastError();
            if (!*pdwError)
                *pdwError = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
        }
    } else if (!AcquireMicrosoftContext()) {
        *pdwError = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    } else if (systemLogon) {
        if (!request.computerFits) {
            *pdwError = static_cast<DWORD>(NTE_BAD_KEYSET);
        } else {
            std::strcpy(m_szContainer, pszContainer);
            ok = CreateContainer(pszContainer, request.Propagation(), reader, request.Computer(), pdwError,
                                 request.Reserved());
            if (ok)
                *pdwError = 0;
        }
    } else if (dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
        *pdwError = static_cast<DWORD>(NTE_BAD_FLAGS);
    } else if (dwFlags & CRYPT_SILENT) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "Certificate Propagation service call : %s",
                   pszContainer);
        ok = CreateContainer(pszContainer, request.Propagation(), reader, nullptr, pdwError,
                             request.Reserved());
        if (ok)
            *pdwError = 0;
    } else {
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "Normal CSP handling : 0x%08lx",
                   static_cast<unsigned long>(dwFlags));
        for (;;) {
            if (!CreateContainer(pszContainer, request.Propagation(), reader, nullptr, pdwError,
                                 request.Reserved()))
                break;
            if (m_pCurrentContainer) {
                *pdwError = 0;
                ok = TRUE;
                break;
            }
            int answer;
            if (IsAppContainerApp()) {
                answer = MngtCredsSpartan(nullptr, 0, nullptr, nullptr);
            } else {
                answer = MessageBoxA(
                    nullptr,
                    "Carte absente ou ne contenant pas le certificat sélectionné.\n"
                    "Introduire la carte correspondante et procéder au rechargement de votre carte.",
                    "Carte non présente", MB_SYSTEMMODAL | MB_ICONWARNING | MB_OKCANCEL);
            }
            // Only OK tries again: a cancel, or a box that could not be shown, ends here.
            if (answer != IDOK) {
                *pdwError = static_cast<DWORD>(NTE_BAD_KEYSET);
                break;
            }
        }
    }
    trace.Return(ok, "%s, 0x%08lx, 0x%p, %s", pszContainer, static_cast<unsigned long>(dwFlags),
                 static_cast<void *>(pVTable), reader);
    return ok;
}

BOOL HandleContainer::GetTSEComputerName(char *out, size_t size)
{
    const char *name = "HandleContainer::GetTSEComputerName";
    TraceScope trace(LOG_LEVEL_DETAIL, name, TRUE, "0x%p", static_cast<void *>(out));
    if (!out || size == 0) {
        trace.Return(FALSE, "0x%p", static_cast<void *>(out));
        return FALSE;
    }
    out[0] = '\0';
    BOOL result = FALSE;
    typedef BOOL(WINAPI * SessionOfProcess)(DWORD, DWORD *);
    typedef BOOL(WINAPI * QuerySession)(HANDLE, DWORD, int, LPSTR *, DWORD *);
    typedef void(WINAPI * FreeMemory)(PVOID);
    DWORD session = 0;
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    SessionOfProcess sessionOf = kernel ? reinterpret_cast<SessionOfProcess>(reinterpret_cast<void *>(
                                              GetProcAddress(kernel, "ProcessIdToSessionId")))
                                        : nullptr;
    const BOOL got = sessionOf ? sessionOf(GetCurrentProcessId(), &session) : FALSE;
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "ProcessIdToSessionId: %d, %lu", got,
               static_cast<unsigned long>(session));
    if (got && session != 0) {
        HMODULE wts = GetModuleHandleA("wtsapi32.dll");
        HMODULE loaded = nullptr;
        if (!wts)
            wts = loaded = LoadLibraryExA("wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        QuerySession query = wts ? reinterpret_cast<QuerySession>(reinterpret_cast<void *>(
                                       GetProcAddress(wts, "WTSQuerySessionInformationA")))
                                 : nullptr;
        FreeMemory freeMemory =
            wts ? reinterpret_cast<FreeMemory>(reinterpret_cast<void *>(GetProcAddress(wts, "WTSFreeMemory")))
                : nullptr;
        LPSTR answer = nullptr;
        DWORD bytes = 0;
        if (query && freeMemory && query(nullptr, session, 16 /*WTSClientProtocolType*/, &answer, &bytes) &&
            answer) {
            const int protocol = bytes ? static_cast<unsigned char>(answer[0]) : -1;
            freeMemory(answer);
            answer = nullptr;
            _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "pWTSQuerySessionInformation: %d",
                       protocol);
            if (protocol == 1 || protocol == 2) {
                if (query(nullptr, static_cast<DWORD>(-1), 10 /*WTSClientName*/, &answer, &bytes) && answer) {
                    const size_t n = strnlen(answer, bytes);
                    if (n + 7 < size) {
                        std::snprintf(out, size, "CName(%.*s)", static_cast<int>(n), answer);
                        result = TRUE;
                        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE,
                                   "pWTSQuerySessionInformation: %s", out);
                    }
                    freeMemory(answer);
                }
            } else if (protocol == 0) {
                char sessionName[64] = {};
                const DWORD n = GetEnvironmentVariableA("SESSIONNAME", sessionName, sizeof sessionName);
                if (n > 0 && n < sizeof sessionName) {
                    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "SESSIONNAME : %s", sessionName);
                    char computer[64] = {};
                    const DWORD c = GetEnvironmentVariableA("COMPUTERNAME", computer, sizeof computer);
                    if (c >= sizeof computer)
                        computer[0] = '\0';
                    if (std::strlen(computer) + 7 < size) {
                        std::snprintf(out, size, "CName(%s)", computer);
                        result = TRUE;
                        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, name, 0, FALSE, "%s", out);
                    }
                }
            }
        }
        if (loaded)
            FreeLibrary(loaded);
    }
    trace.Return(result, "0x%p", static_cast<void *>(out));
    return result;
}

bool HandleContainer::CardGone() const
{
    return m_pCurrentContainer && m_pCurrentContainer->CardGone();
}

csp::cardmatch::CardStanding::State HandleContainer::CheckCard()
{
    PKCSContainer *c = m_pCurrentContainer;
    // A verification context needs no card. Any other context without a card
    // container was set up while no card of its name was in: it stands for
    // none, and a new acquire looks at the readers again.
    if (!c)
        return (m_dwFlags & kVerifyContextBits) == kVerifyContextBits ? csp::cardmatch::CardStanding::Stands
                                                                      : csp::cardmatch::CardStanding::Gone;
    if (!c->m_szComputerName || !c->m_szComputerName[0])
        isSessionValid(c);
    return CardGone() ? csp::cardmatch::CardStanding::Gone : c->m_cardStanding.Now();
}
