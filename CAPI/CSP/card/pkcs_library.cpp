// The card library's base: its function list, its start and its end for the
// process or one thread, the sessions the card steps open and the trace lines
// they share.
#include "pkcs_library.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "log_trace.h"
#include "pkcs_container.h"

using Pkcs::List;

std::atomic<CK_FUNCTION_LIST_PTR> pFunctionList{nullptr};

namespace {

// The library's own answer to an initialisation: finalise and try once more.
constexpr CK_RV kFinalizeAndRetry = 0x80000002UL;

std::atomic<bool> PkcsInitialized{false};

std::mutex threadDataLock;
std::vector<DWORD> threadsWithData;

} // namespace

CK_RV initFuncList()
{
    TraceScope trace(LOG_LEVEL_DETAIL, "initFuncList", FALSE, "%p", static_cast<void *>(&pFunctionList));
    CK_FUNCTION_LIST_PTR list = nullptr;
    CK_RV rv = C_GetFunctionList(&list);
    if (rv == CKR_OK && !list)
        rv = CKR_GENERAL_ERROR;
    if (rv == CKR_OK)
        pFunctionList.store(list);
    trace.Return(rv, "%p, rc=%lu", static_cast<void *>(list), static_cast<unsigned long>(rv));
    return rv;
}

CK_RV initialize(const char *pReserved)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "initialize", FALSE, "%p, %p", static_cast<void *>(List()),
                     static_cast<const void *>(pReserved));
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "initialize", 0, FALSE, "%p, %s", static_cast<void *>(List()),
               pReserved ? pReserved : "NULL");
    CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    if (List()) {
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = const_cast<char *>(pReserved);
        rv = List()->C_Initialize(&args);
    }
    trace.Return(rv, "%p, %p, 0x%08lX", static_cast<void *>(List()), static_cast<const void *>(pReserved),
                 static_cast<unsigned long>(rv));
    return rv;
}

namespace csp::card {

void TraceNoLogout(CK_SESSION_HANDLE s)
{
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "logout", 0, FALSE, "DO NOT LOGOUT %p, %lu",
               static_cast<void *>(List()), static_cast<unsigned long>(s));
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_SESSION_HANDLE *session)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "openSession", FALSE, "%p, %lu, %d", static_cast<void *>(List()),
                     static_cast<unsigned long>(slot), static_cast<int>(CKF_SERIAL_SESSION));
    const CK_RV rv = List() ? List()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, session)
                            : CKR_CRYPTOKI_NOT_INITIALIZED;
    trace.Return(rv, "%p, %lu, %d", static_cast<void *>(List()), static_cast<unsigned long>(slot),
                 static_cast<int>(CKF_SERIAL_SESSION));
    return rv;
}

void CloseSession(CK_SESSION_HANDLE session)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "closeSession", FALSE, "%p, %lu", static_cast<void *>(List()),
                     static_cast<unsigned long>(session));
    const CK_RV rv = List() ? List()->C_CloseSession(session) : CKR_CRYPTOKI_NOT_INITIALIZED;
    trace.Return(rv, "%p, %lu", static_cast<void *>(List()), static_cast<unsigned long>(session));
}

// A traced scope's failed return line, written at the exit, with a fixed
// text or with a format of one number.
BOOL Fail(TraceScope &trace, const char *text)
{
    trace.Return(FALSE, "%s", text);
    return FALSE;
}

// format is always one of the card steps' own texts with one number.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
BOOL FailWith(TraceScope &trace, const char *format, unsigned long value)
{
    trace.Return(FALSE, format, value);
    return FALSE;
}
#pragma GCC diagnostic pop

} // namespace csp::card

namespace Pkcs {

CK_FUNCTION_LIST_PTR List()
{
    return pFunctionList.load();
}

bool IsInitialized()
{
    return PkcsInitialized.load();
}

void SetInitialized(bool initialized)
{
    PkcsInitialized.store(initialized);
}

bool Initialize(const char *pReserved, bool byThread)
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "Pkcs::Initialize", 0, FALSE, "0x%p",
               static_cast<const void *>(pReserved));
    if (pReserved)
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "Pkcs::Initialize", 0, FALSE, "pReserved : %s", pReserved);
    if (!List() && initFuncList() != CKR_OK) {
        _Log_Trace(LOG_RETURN, LOG_LEVEL_UI, "Pkcs::Initialize", FALSE, TRUE, "%p",
                   static_cast<void *>(List()));
        return false;
    }
    const CK_RV rv = initialize(pReserved);
    if (byThread && (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED || rv == kFinalizeAndRetry))
        NoteThreadData(GetCurrentThreadId());
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        SetInitialized(true);
    } else if (rv == kFinalizeAndRetry) {
        DWORD thread = GetCurrentThreadId();
        List()->C_Finalize(&thread);
        SetInitialized(initialize(pReserved) == CKR_OK);
    } else {
        SetInitialized(false);
    }
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "Pkcs::Initialize", TRUE, TRUE, "%s", "");
    return true;
}

CK_RV FinalizeThread()
{
    DWORD thread = GetCurrentThreadId();
    return List()->C_Finalize(&thread);
}

void NoteThreadData(DWORD threadId)
{
    std::lock_guard<std::mutex> hold(threadDataLock);
    if (std::find(threadsWithData.begin(), threadsWithData.end(), threadId) == threadsWithData.end())
        threadsWithData.push_back(threadId);
}

bool TakeThreadData(DWORD threadId)
{
    std::lock_guard<std::mutex> hold(threadDataLock);
    auto it = std::find(threadsWithData.begin(), threadsWithData.end(), threadId);
    if (it == threadsWithData.end())
        return false;
    threadsWithData.erase(it);
    return true;
}

BOOL FreePkcs(DWORD *dwThreadID)
{
    const char *name = "Pkcs::FreePkcs";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%s", "");
    if (!List()) {
        trace.Return(TRUE, "pFunctionList == NULL");
        return TRUE;
    }
    // The library stays bound while the provider stays loaded: a process-wide
    // use that already ended (or never began) has nothing to end.
    if (!dwThreadID && !IsInitialized()) {
        trace.Return(TRUE, "not initialised");
        return TRUE;
    }
    if (dwThreadID)
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "dwThreadID: %lx",
                   static_cast<unsigned long>(*dwThreadID));
    const CK_RV rv = List()->C_Finalize(dwThreadID);
    SetInitialized(false);
    if (rv != CKR_OK)
        return csp::card::FailWith(trace, "C_Finalize returned : 0x%08lx", static_cast<unsigned long>(rv));
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

} // namespace Pkcs
