// One PKCS#11 call traced as the tray traces its card calls: the begin line
// under `name`, the call, the return line with the call's result.
#ifndef ZEB_TRACED_CALL_H
#define ZEB_TRACED_CALL_H

#include "pkcs11.h"
#include "trace_scope.h"

namespace zeb {

template <typename Call> CK_RV TracedCall(const char *name, Call call)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, name, FALSE, "%s", "");
    CK_RV rv = call();
    trace.Return(rv, "%s", "");
    return rv;
}

} // namespace zeb

#endif
