#include "loader.h"

#include <windows.h>

#include <atomic>

#include "pkcs11_loader.h"
#include "trace_scope.h"
#include "traced_call.h"

namespace {
std::atomic<bool> g_initialised{false};
std::atomic<CK_C_GetFunctionList> g_getFunctionList{nullptr}; // set once the loader has it
} // namespace

int ZEB_LoadPKCS11()
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", FALSE, "%s", "");
    CK_C_GetFunctionList entry = nullptr;
    vel::Pkcs11LoadStep step = vel::Pkcs11LoadStep::None;
    unsigned long error = 0;
    unsigned long rc = vel::ThePkcs11Loader().Load(&entry, &step, &error);
    if (rc != vel::PKCS11_LOADED) {
        if (step == vel::Pkcs11LoadStep::GetProcAddress)
            trace.Return(ZEB_LOAD_FAILED, "GetProcAddress (C_GetFunctionList) failed with error (%d) ",
                         (int)error);
        else
            trace.Return(ZEB_LOAD_FAILED, "LoadLibrary (%s) failed with error (%d) ", vel::kPkcs11LibraryName,
                         (int)error);
        return rc == vel::PKCS11_LOAD_ACCESS_DENIED ? ZEB_LOAD_NOACCESS : ZEB_LOAD_FAILED;
    }
    g_getFunctionList = entry;
    trace.Return(0, "%s", "");
    return ZEB_LOAD_OK;
}

namespace {
// ZEB_Init's traced part; `initFailed` when C_Initialize failed, for the
// caller to finalise after the return line.
CK_RV InitTraced(CK_FUNCTION_LIST_PTR *list, bool *initFailed)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "ZEB_Init", FALSE, "%s", "");
    int loaded = ZEB_LoadPKCS11();
    if (loaded != ZEB_LOAD_OK) {
        trace.Return(loaded, "%s", "");
        return loaded;
    }
    if (!*list) {
        CK_RV rv = g_getFunctionList.load()(list);
        if (rv != CKR_OK || !*list) {
            if (rv == CKR_OK)
                rv = CKR_GENERAL_ERROR; // no list is no library
            *list = nullptr;
            trace.Return(rv, "%s", "");
            return rv;
        }
    }
    CK_RV rv = zeb::TracedCall("ZEB_initialize", [list] { return (*list)->C_Initialize(nullptr); });
    trace.Return(rv, "%s", "");
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        *initFailed = true;
        return 1;
    }
    g_initialised.store(true);
    return 0;
}
} // namespace

CK_RV ZEB_Init(CK_FUNCTION_LIST_PTR *list)
{
    bool initFailed = false;
    CK_RV rv = InitTraced(list, &initFailed);
    if (initFailed)
        ZEB_finalise(*list); // traced after ZEB_Init's own return line
    return rv;
}

CK_RV ZEB_finalise(CK_FUNCTION_LIST_PTR list)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "ZEB_finalise", FALSE, "%s", "");
    CK_RV rv = 0;
    if (g_initialised.exchange(false) && list)
        rv = list->C_Finalize(nullptr);
    trace.Return(rv, "%s", "");
    return rv;
}
