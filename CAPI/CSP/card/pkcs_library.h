// The provider's binding to the card's PKCS#11 library: its function list,
// its start, and what the card steps share: a session opened and closed,
// and the trace lines of a failed step.
#ifndef VEL_CSP_PKCS_LIBRARY_H
#define VEL_CSP_PKCS_LIBRARY_H

#include <windows.h>

#include <atomic>

#include "pkcs11.h"
#include "trace_scope.h"

// The library's function list, NULL until initFuncList succeeds.
extern std::atomic<CK_FUNCTION_LIST_PTR> pFunctionList;

// C_GetFunctionList into pFunctionList. Returns the library's result.
CK_RV initFuncList();
// C_Initialize with OS locking and the given reserved text (NULL, or one of
// the service texts). Returns the library's result unchanged.
CK_RV initialize(const char *pReserved);

namespace Pkcs {

// The function list as it is now (NULL before initFuncList succeeds).
CK_FUNCTION_LIST_PTR List();

} // namespace Pkcs

namespace csp::card {

// C_OpenSession (serial) and C_CloseSession, each between its begin and
// return lines (level 50); CKR_CRYPTOKI_NOT_INITIALIZED without a library.
CK_RV OpenSession(CK_SLOT_ID slot, CK_SESSION_HANDLE *session);
void CloseSession(CK_SESSION_HANDLE session);

// The line saying a failed step leaves the holder logged in.
void TraceNoLogout(CK_SESSION_HANDLE s);

// A traced scope's failed return line, written at the exit, with a fixed
// text or with a format of one number; both answer FALSE.
BOOL Fail(TraceScope &trace, const char *text);
BOOL FailWith(TraceScope &trace, const char *format, unsigned long value);

} // namespace csp::card

#endif
