#include "settings_rules.h"

namespace zeb {

RulesApplied ApplyConsistencyRules(FidoSettings *s)
{
    RulesApplied r;
    if ((s->patchFidoV4 == 0 || s->contournementSsa == 0) && s->resetV4OnStartupDelayMs >= 0) {
        r.resetDisabled = true;
        r.droppedDelayMs = s->resetV4OnStartupDelayMs;
        s->resetV4OnStartupDelayMs = -1;
        s->patchFidoV4Reset = 1;
    }
    if (s->patchFidoWebauthn != 0 && s->patchFidoV4 == 0) {
        r.webauthnDisabled = true;
        r.droppedWebauthn = s->patchFidoWebauthn;
        s->patchFidoV4 = 0;
        s->patchFidoWebauthn = 0;
    }
    return r;
}

} // namespace zeb
