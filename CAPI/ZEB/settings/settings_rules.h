// The rules applied to the FIDO settings once they are read: a setting that
// only means something with another one is turned off without it, and each
// timing is kept within its range. Free of Windows headers (native tests).
#ifndef ZEB_SETTINGS_RULES_H
#define ZEB_SETTINGS_RULES_H

#include <cstdint>
#include <vector>

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

// The FIDO timings, as read (or defaulted). Each one is waited for where a
// card event waits behind it: the exclusive hold keeps the protected
// readers held and "CertPropSvc" stopped for its time and its retries, and
// the VEL4 waits and the start-up delay hold the reader monitor's thread,
// which sees no other card come or go meanwhile.
struct FidoTimings {
    uint32_t holdSeconds = 0;      // patch_fido_webauthn: 0 = no hold
    uint32_t retryMs = 20;         // patch_fido_webautn_retry_ms
    uint32_t retryWindowMs = 2000; // patch_fido_webautn_retry_window_ms
    uint32_t detectDelayMs = 1000; // patch_fido_v4_detect_delay_ms
    uint32_t initialDelayMs = 650; // patch_fido_v4_initial_delay_ms
    uint32_t stabilityMs = 300;    // patch_fido_v4_stability_ms
    int32_t resetDelayMs = -1;     // reset_v4_on_startup_delay_ms: negative = no start-up check
};

// Their usable ranges. A hold beyond five minutes outlasts a WebAuthn
// ceremony with user verification (the time-out WebAuthn recommends),
// while the card stays unusable; a retry window beyond 30 s is no short use
// by another program to wait out with the service stopped; a step of 0
// would spin; the monitor's waits beyond 10 s leave a card pulled meanwhile
// from another reader with its certificates in the store that long.
constexpr uint32_t kMaxHoldSeconds = 300;
constexpr uint32_t kMinRetryMs = 1, kMaxRetryMs = 1000;
constexpr uint32_t kMaxRetryWindowMs = 30000;
constexpr uint32_t kMaxMonitorWaitMs = 10000; // detection, initial, stability and start-up delays

// One timing taken to the nearest bound of its range.
struct TimingBounded {
    const char *name; // the setting's name
    int64_t read;     // as read (reset_v4_on_startup_delay_ms is signed)
    int64_t kept;
};

// Takes every timing of `t` outside its range to the nearest bound (a
// negative start-up delay stays: it turns the check off); what changed, in
// the settings' order.
std::vector<TimingBounded> BoundFidoTimings(FidoTimings *t);

} // namespace zeb

#endif
