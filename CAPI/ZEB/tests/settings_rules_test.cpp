// The consistency rules and the ranges of the FIDO settings.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "settings_rules.h"

using namespace zeb;

namespace {

TEST(SettingsRules, SettingsThatNeedAnotherAreTurnedOffWithoutIt)
{
    struct Case {
        const char *what;
        FidoSettings in;
        FidoSettings out;
        bool resetOff;
        int32_t droppedDelay;
        bool webauthnOff;
        uint32_t droppedWebauthn;
    } cases[] = {
        // v4, ssa, delay, v4reset, webauthn
        {"defaults", {0, 1, -1, 1, 0}, {0, 1, -1, 1, 0}, false, 0, false, 0},
        {"all on", {1, 1, 500, 0, 30}, {1, 1, 500, 0, 30}, false, 0, false, 0},
        {"delay without v4", {0, 1, 0, 0, 0}, {0, 1, -1, 1, 0}, true, 0, false, 0},
        {"delay without ssa", {1, 0, 250, 0, 0}, {1, 0, -1, 1, 0}, true, 250, false, 0},
        {"negative delay left", {0, 0, -5, 0, 0}, {0, 0, -5, 0, 0}, false, 0, false, 0},
        {"webauthn without v4", {0, 1, -1, 1, 30}, {0, 1, -1, 1, 0}, false, 0, true, 30},
        {"both rules", {0, 1, 100, 0, 1}, {0, 1, -1, 1, 0}, true, 100, true, 1},
        {"webauthn with v4, no ssa", {1, 0, -1, 0, 1}, {1, 0, -1, 0, 1}, false, 0, false, 0},
    };
    for (const Case &c : cases) {
        FidoSettings s = c.in;
        RulesApplied r = ApplyConsistencyRules(&s);
        EXPECT_EQ(c.out.patchFidoV4, s.patchFidoV4) << c.what;
        EXPECT_EQ(c.out.contournementSsa, s.contournementSsa) << c.what;
        EXPECT_EQ(c.out.resetV4OnStartupDelayMs, s.resetV4OnStartupDelayMs) << c.what;
        EXPECT_EQ(c.out.patchFidoV4Reset, s.patchFidoV4Reset) << c.what;
        EXPECT_EQ(c.out.patchFidoWebauthn, s.patchFidoWebauthn) << c.what;
        EXPECT_EQ(c.resetOff, r.resetDisabled) << c.what;
        EXPECT_EQ(c.droppedDelay, r.droppedDelayMs) << c.what;
        EXPECT_EQ(c.webauthnOff, r.webauthnDisabled) << c.what;
        EXPECT_EQ(c.droppedWebauthn, r.droppedWebauthn) << c.what;
    }
}

// Each FIDO timing stays within its range: the extremes a registry value
// can hold come out as the nearest bound (never a wait without end, a hold
// wrapped to less than a second, or a spin), values within it as they are.
TEST(SettingsRules, FidoTimingsAreKeptWithinTheirRanges)
{
    const uint32_t kHuge = 0xFFFFFFFFu, kWraps = 0x33333334u; // x 5 wraps to 4 in 32 bits
    struct Case {
        const char *name;
        uint32_t FidoTimings::*field;
        uint32_t read, kept;
    } cases[] = {
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, 0, 0}, // no hold
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, 1, 1},
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, 300, 300},
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, 301, 300},
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, kWraps, 300},
        {"patch_fido_webauthn", &FidoTimings::holdSeconds, kHuge, 300},
        {"patch_fido_webautn_retry_ms", &FidoTimings::retryMs, 0, 1}, // a spin
        {"patch_fido_webautn_retry_ms", &FidoTimings::retryMs, 1, 1},
        {"patch_fido_webautn_retry_ms", &FidoTimings::retryMs, 1000, 1000},
        {"patch_fido_webautn_retry_ms", &FidoTimings::retryMs, kWraps, 1000},
        {"patch_fido_webautn_retry_ms", &FidoTimings::retryMs, kHuge, 1000},       // an INFINITE wait
        {"patch_fido_webautn_retry_window_ms", &FidoTimings::retryWindowMs, 0, 0}, // one attempt
        {"patch_fido_webautn_retry_window_ms", &FidoTimings::retryWindowMs, 30000, 30000},
        {"patch_fido_webautn_retry_window_ms", &FidoTimings::retryWindowMs, 30001, 30000},
        {"patch_fido_webautn_retry_window_ms", &FidoTimings::retryWindowMs, kHuge, 30000},
        {"patch_fido_v4_detect_delay_ms", &FidoTimings::detectDelayMs, 0, 0},
        {"patch_fido_v4_detect_delay_ms", &FidoTimings::detectDelayMs, 10000, 10000},
        {"patch_fido_v4_detect_delay_ms", &FidoTimings::detectDelayMs, kWraps, 10000},
        {"patch_fido_v4_detect_delay_ms", &FidoTimings::detectDelayMs, kHuge, 10000},
        {"patch_fido_v4_initial_delay_ms", &FidoTimings::initialDelayMs, 0, 0},
        {"patch_fido_v4_initial_delay_ms", &FidoTimings::initialDelayMs, kHuge, 10000},
        {"patch_fido_v4_stability_ms", &FidoTimings::stabilityMs, 1, 1},
        {"patch_fido_v4_stability_ms", &FidoTimings::stabilityMs, kHuge, 10000},
    };
    for (const Case &c : cases) {
        FidoTimings t;
        t.*c.field = c.read;
        std::vector<TimingBounded> changed = BoundFidoTimings(&t);
        EXPECT_EQ(c.kept, t.*c.field) << c.name << " " << c.read;
        if (c.read == c.kept) {
            EXPECT_TRUE(changed.empty()) << c.name << " " << c.read;
        } else {
            ASSERT_EQ(1u, changed.size()) << c.name << " " << c.read;
            EXPECT_EQ(std::string(c.name), changed[0].name);
            EXPECT_EQ(int64_t(c.read), changed[0].read);
            EXPECT_EQ(int64_t(c.kept), changed[0].kept);
        }
        FidoTimings others; // the other timings, left as they were
        t.*c.field = others.*c.field;
        EXPECT_EQ(0, memcmp(&others, &t, sizeof t)) << c.name;
    }

    // The start-up delay is signed: negative turns the check off and stays.
    struct Delay {
        int32_t read, kept;
    } delays[] = {{-1, -1},       {INT32_MIN, INT32_MIN}, {0, 0},
                  {10000, 10000}, {10001, 10000},         {INT32_MAX, 10000}};
    for (const Delay &d : delays) {
        FidoTimings t;
        t.resetDelayMs = d.read;
        std::vector<TimingBounded> changed = BoundFidoTimings(&t);
        EXPECT_EQ(d.kept, t.resetDelayMs) << d.read;
        EXPECT_EQ(d.read == d.kept ? 0u : 1u, changed.size()) << d.read;
    }

    // Several at once, in the settings' order.
    FidoTimings all;
    all.holdSeconds = all.retryMs = all.retryWindowMs = kHuge;
    all.detectDelayMs = all.initialDelayMs = all.stabilityMs = kHuge;
    all.resetDelayMs = INT32_MAX;
    std::vector<TimingBounded> changed = BoundFidoTimings(&all);
    ASSERT_EQ(7u, changed.size());
    EXPECT_EQ(std::string("patch_fido_webauthn"), changed[0].name);
    EXPECT_EQ(std::string("reset_v4_on_startup_delay_ms"), changed[6].name);
}

} // namespace
