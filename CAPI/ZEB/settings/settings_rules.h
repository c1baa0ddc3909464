// The consistency rules applied to the FIDO settings once they are read: a
// setting that only means something with another one is turned off without
// it. Free of Windows headers (native tests).
#ifndef ZEB_SETTINGS_RULES_H
#define ZEB_SETTINGS_RULES_H

#include <cstdint>

namespace zeb {

// The settings the rules look at, as read (or defaulted).
struct FidoSettings {
    uint32_t patchFidoV4 = 0;
    uint32_t contournementSsa = 1;
    int32_t resetV4OnStartupDelayMs = -1;
    uint32_t patchFidoV4Reset = 1;
    uint32_t patchFidoWebauthn = 0;
};

// What the rules changed, with the values they replaced (for the log).
struct RulesApplied {
    // The VEL4 reset needs patch_fido_v4 and contournement_ssa: the delay
    // becomes -1 (log only) and patch_fido_v4_reset 1.
    bool resetDisabled = false;
    int32_t droppedDelayMs = 0;
    // The WebAuthn hold needs patch_fido_v4: both off, and the caller
    // empties the FIDO badge list.
    bool webauthnDisabled = false;
    uint32_t droppedWebauthn = 0;
};

// Applies the rules in their order to `s`.
RulesApplied ApplyConsistencyRules(FidoSettings *s);

} // namespace zeb

#endif
