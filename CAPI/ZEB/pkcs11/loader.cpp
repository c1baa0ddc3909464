#include "loader.h"

#include <windows.h>

#include <atomic>

#include "log_trace.h"
#include "pkcs11_loader.h"

namespace {
std::atomic<bool> g_initialised{false};
std::atomic<CK_C_GetFunctionList> g_getFunctionList{nullptr}; // set once the loader has it
} // namespace

int ZEB_LoadPKCS11()
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", 0, FALSE, "%s", "");
    CK_C_GetFunctionList entry = nullptr;
    vel::Pkcs11LoadStep step = vel::Pkcs11LoadStep::None;
    unsigned long error = 0;
    unsigned long rc = vel::ThePkcs11Loader().Load(&entry, &step, &error);
    if (rc != vel::PKCS11_LOADED) {
        if (step == vel::Pkcs11LoadStep::GetProcAddress)
            _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", ZEB_LOAD_FAILED, FALSE,
                       "GetProcAddress (C_GetFunctionList) failed with error (%d) ", (int)error);
        else
            _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", ZEB_LOAD_FAILED, FALSE,
                       "LoadLibrary (%s) failed with error (%d) ", vel::kPkcs11LibraryName, (int)error);
        return rc == vel::PKCS11_LOAD_ACCESS_DENIED ? ZEB_LOAD_NOACCESS : ZEB_LOAD_FAILED;
    }
    g_getFunctionList = entry;
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", 0, FALSE, "%s", "");
    return ZEB_LOAD_OK;
}

CK_RV ZEB_Init(CK_FUNCTION_LIST_PTR *list)
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_Init", 0, FALSE, "%s", "");
    int loaded = ZEB_LoadPKCS11();
    if (loaded != ZEB_LOAD_OK) {
        _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_Init", loaded, FALSE, "%s", "");
        return loaded;
    }
    if (!*list) {
        CK_RV rv = g_getFunctionList.load()(list);
        if (rv != CKR_OK || !*list) {
            if (rv == CKR_OK)
                rv = CKR_GENERAL_ERROR; // no list is no library
            *list = nullptr;
            _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_Init", rv, FALSE, "%s", "");
            return rv;
        }
    }
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_initialize", 0, FALSE, "%s", "");
    CK_RV rv = (*list)->C_Initialize(nullptr);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_initialize", rv, FALSE, "%s", "");
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_Init", rv, FALSE, "%s", "");
        ZEB_finalise(*list);
        return 1;
    }
    g_initialised.store(true);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_Init", rv, FALSE, "%s", "");
    return 0;
}

CK_RV ZEB_finalise(CK_FUNCTION_LIST_PTR list)
{
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_finalise", 0, FALSE, "%s", "");
    CK_RV rv = 0;
    if (g_initialised.exchange(false) && list)
        rv = list->C_Finalize(nullptr);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_finalise", rv, FALSE, "%s", "");
    return rv;
}
