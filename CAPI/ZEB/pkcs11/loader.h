// The outside PKCS#11 library of the tray program: loaded from the system
// directory only, initialised and finalised around the slot work.
#ifndef ZEB_LOADER_H
#define ZEB_LOADER_H

#include "pkcs11.h"

// Load results.
enum ZebLoadResult { ZEB_LOAD_OK = 0, ZEB_LOAD_NOACCESS = 5, ZEB_LOAD_FAILED = 6 };

// Loads vel3_pkcs11_w64.dll from the system directory and finds
// C_GetFunctionList (once; later calls return at once).
// Returns ZEB_LOAD_OK, ZEB_LOAD_NOACCESS when the load failed with
// ERROR_NOACCESS, or ZEB_LOAD_FAILED.
int ZEB_LoadPKCS11();

// Loads the library when needed, fills *list when it is NULL, and calls
// C_Initialize(NULL) (CKR_CRYPTOKI_ALREADY_INITIALIZED counts as success).
//   list  the frame's function-list pointer
// Returns 0 ready, a load result, the C_GetFunctionList result, or 1 when
// C_Initialize failed (the library is then finalised).
CK_RV ZEB_Init(CK_FUNCTION_LIST_PTR *list);

// C_Finalize(NULL) when this process initialised the library; else 0.
CK_RV ZEB_finalise(CK_FUNCTION_LIST_PTR list);

#endif
