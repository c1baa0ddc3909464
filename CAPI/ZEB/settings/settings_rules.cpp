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

namespace {

void Bound(const char *name, uint32_t *value, uint32_t min, uint32_t max, std::vector<TimingBounded> *out)
{
    uint32_t kept = *value < min ? min : *value > max ? max : *value;
    if (kept != *value)
        out->push_back({name, *value, kept});
    *value = kept;
}

} // namespace

std::vector<TimingBounded> BoundFidoTimings(FidoTimings *t)
{
    std::vector<TimingBounded> out;
    Bound("patch_fido_webauthn", &t->holdSeconds, 0, kMaxHoldSeconds, &out);
    Bound("patch_fido_webautn_retry_ms", &t->retryMs, kMinRetryMs, kMaxRetryMs, &out);
    Bound("patch_fido_webautn_retry_window_ms", &t->retryWindowMs, 0, kMaxRetryWindowMs, &out);
    Bound("patch_fido_v4_detect_delay_ms", &t->detectDelayMs, 0, kMaxMonitorWaitMs, &out);
    Bound("patch_fido_v4_initial_delay_ms", &t->initialDelayMs, 0, kMaxMonitorWaitMs, &out);
    Bound("patch_fido_v4_stability_ms", &t->stabilityMs, 0, kMaxMonitorWaitMs, &out);
    if (t->resetDelayMs > int32_t(kMaxMonitorWaitMs)) {
        out.push_back({"reset_v4_on_startup_delay_ms", t->resetDelayMs, int32_t(kMaxMonitorWaitMs)});
        t->resetDelayMs = int32_t(kMaxMonitorWaitMs);
    }
    return out;
}

} // namespace zeb
