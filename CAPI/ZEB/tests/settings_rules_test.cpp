// The consistency rules of the FIDO settings.
#include <gtest/gtest.h>

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

} // namespace
