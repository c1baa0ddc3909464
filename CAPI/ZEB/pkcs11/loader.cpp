#include "loader.h"

#include <windows.h>

#include <atomic>

#include "log_trace.h"

namespace {
const char kLibrary[] = "vel3_pkcs11_w64.dll";
std::atomic<CK_C_GetFunctionList> g_getFunctionList{nullptr};
std::atomic<bool> g_initialised{false};
}  // namespace

int ZEB_LoadPKCS11() {
  _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", 0, FALSE, "%s", "");
  if (!g_getFunctionList.load()) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE module = LoadLibraryExA(kLibrary, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
      DWORD error = GetLastError();
      _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", ZEB_LOAD_FAILED, FALSE,
                 "LoadLibrary (%s) failed with error (%d) ", kLibrary, (int)error);
      return error == ERROR_NOACCESS ? ZEB_LOAD_NOACCESS : ZEB_LOAD_FAILED;
    }
    auto entry = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void *>(GetProcAddress(module, "C_GetFunctionList")));
    if (!entry) {
      DWORD error = GetLastError();
      FreeLibrary(module);
      _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", ZEB_LOAD_FAILED, FALSE,
                 "GetProcAddress (C_GetFunctionList) failed with error (%d) ", (int)error);
      return ZEB_LOAD_FAILED;
    }
    g_getFunctionList.store(entry);
  }
  _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_LoadPKCS11", 0, FALSE, "%s", "");
  return ZEB_LOAD_OK;
}

CK_RV ZEB_Init(CK_FUNCTION_LIST_PTR *list) {
  _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_Init", 0, FALSE, "%s", "");
  int loaded = ZEB_LoadPKCS11();
  if (loaded != ZEB_LOAD_OK) {
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_Init", loaded, FALSE, "%s", "");
    return loaded;
  }
  if (!*list) {
    CK_RV rv = g_getFunctionList.load()(list);
    if (rv != CKR_OK || !*list) {
      if (rv == CKR_OK) rv = CKR_GENERAL_ERROR;  // no list is no library
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

CK_RV ZEB_finalise(CK_FUNCTION_LIST_PTR list) {
  _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "ZEB_finalise", 0, FALSE, "%s", "");
  CK_RV rv = 0;
  if (g_initialised.exchange(false) && list) rv = list->C_Finalize(nullptr);
  _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "ZEB_finalise", rv, FALSE, "%s", "");
  return rv;
}
