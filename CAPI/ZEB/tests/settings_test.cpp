// Settings read from the registry (per-user over machine, defaults, values
// of the wrong shape) and the event log they switch on.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "event_log.h"
#include "settings.h"
#include "store_view.h"

using namespace zebtest;

namespace {

std::string TempPath(const char *name)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

void SetValue(HKEY root, const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, zeb::kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

DWORD UserDword(const char *name, DWORD missing = 0xDEAD)
{
    DWORD v = missing, size = sizeof v;
    if (RegGetValueA(HKEY_CURRENT_USER, zeb::kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &v, &size) !=
        ERROR_SUCCESS)
        return missing;
    return v;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveSettingsKeys();
        log = TempPath("zeb-settings-test.log");
        DeleteFileA(log.c_str());
    }
    void TearDown() override
    {
        SetEventLogPath("");
        RemoveSettingsKeys();
        DeleteFileA(log.c_str());
    }
    zeb::Settings Load()
    {
        zeb::Settings s;
        zeb::EnsureSettingsKey(&s);
        zeb::LoadSettings(&s);
        return s;
    }
    std::string log;
};

TEST_F(SettingsTest, NoKeyAnywhereCreatesThePerUserKeyWithDefaults)
{
    SetEventLogPath("");
    zeb::Settings s = Load();
    EXPECT_EQ(1u, UserDword("autoDetect"));
    EXPECT_EQ(2u, UserDword("watchOnTimer"));
    EXPECT_EQ(600u, UserDword("watchOffTimer"));
    EXPECT_EQ(0u, UserDword("patch_fido_v4"));
    EXPECT_EQ(0u, UserDword("patch_fido_webauthn"));
    EXPECT_EQ(1u, UserDword("contournement_ssa"));
    EXPECT_EQ(0xFFFFFFFFu, UserDword("reset_v4_on_startup_delay_ms"));
    EXPECT_EQ(1u, s.autoDetect);
    EXPECT_EQ(2000u, s.sleepMs);
    EXPECT_EQ("", s.logfile);
    EXPECT_EQ(-1, s.reset_v4_on_startup_delay_ms);
    EXPECT_EQ(1u, s.patch_fido_v4_reset);
    EXPECT_EQ(std::vector<std::string>({"3BAC00402A001225006480000310009000", "CV*"}),
              s.atr_contact_protected);
    EXPECT_EQ(std::vector<std::string>({"3B8580018073C821100E"}), s.atr_badge_fido);
    EXPECT_EQ(20u, s.patch_fido_webautn_retry_ms);
    EXPECT_EQ(2000u, s.patch_fido_webautn_retry_window_ms);
}

TEST_F(SettingsTest, PerUserValuesHideMachineValuesAndAMachineKeyAloneIsNotCopied)
{
    DWORD machineOn = 7, off = 0, delay = 900;
    SetValue(HKEY_LOCAL_MACHINE, "watchOnTimer", REG_DWORD, &machineOn, 4);
    SetValue(HKEY_LOCAL_MACHINE, "patch_fido_v4_detect_delay_ms", REG_DWORD, &delay, 4);
    SetValue(HKEY_LOCAL_MACHINE, "logfile", REG_SZ, log.c_str(), (DWORD)log.size() + 1);
    zeb::Settings s = Load();
    EXPECT_EQ(7000u, s.sleepMs);
    EXPECT_EQ(900u, s.patch_fido_v4_detect_delay_ms);
    EXPECT_EQ(log, s.logfile);
    HKEY key;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, zeb::kSettingsKey, 0, KEY_READ, &key));

    DWORD userOn = 3, userDelay = 50;
    SetValue(HKEY_CURRENT_USER, "watchOnTimer", REG_DWORD, &userOn, 4);
    SetValue(HKEY_CURRENT_USER, "autoDetect", REG_DWORD, &off, 4);
    SetValue(HKEY_CURRENT_USER, "patch_fido_v4_detect_delay_ms", REG_DWORD, &userDelay, 4);
    s = Load();
    EXPECT_EQ(0u, s.autoDetect);
    EXPECT_EQ(600000u, s.sleepMs) << "watching off: watchOffTimer, added to the per-user key";
    EXPECT_EQ(50u, s.patch_fido_v4_detect_delay_ms);
    EXPECT_EQ(600u, UserDword("watchOffTimer"));
}

TEST_F(SettingsTest, ValuesOfTheWrongShapeFallBackInsteadOfBeingReadPastTheirEnd)
{
    SetValue(HKEY_LOCAL_MACHINE, "patch_fido_v4_stability_ms", REG_DWORD, "\x2c\x01\x00\x00",
             4); // 300 -> kept
    SetValue(HKEY_LOCAL_MACHINE, "patch_fido_webautn_retry_ms", REG_DWORD, "\x21\x00\x00\x00", 4);
    SetValue(HKEY_CURRENT_USER, "patch_fido_webautn_retry_ms", REG_BINARY, "\x05\x00", 2); // short DWORD
    SetValue(HKEY_CURRENT_USER, "patch_fido_v4_initial_delay_ms", REG_SZ, "12", 3);        // text
    SetValue(HKEY_CURRENT_USER, "patch_fido_v4_stability_ms", REG_QWORD, "\x01\0\0\0\0\0\0\0", 8); // too long
    std::string unterminated = log; // stored without its NUL
    SetValue(HKEY_CURRENT_USER, "logfile", REG_SZ, unterminated.data(), (DWORD)unterminated.size());
    SetValue(HKEY_CURRENT_USER, "atr_badge_fido", REG_MULTI_SZ,
             "3B85\0"
             "AB",
             7);                                                             // no double NUL
    SetValue(HKEY_CURRENT_USER, "atr_contact_protected", REG_SZ, "3BAC", 5); // wrong type
    SetValue(HKEY_LOCAL_MACHINE, "atr_contact_protected", REG_MULTI_SZ, "CV*\0\0", 5);
    zeb::Settings s = Load();
    EXPECT_EQ(0x21u, s.patch_fido_webautn_retry_ms) << "the machine value, not 2 stray bytes";
    EXPECT_EQ(650u, s.patch_fido_v4_initial_delay_ms);
    EXPECT_EQ(300u, s.patch_fido_v4_stability_ms);
    EXPECT_EQ(log, s.logfile);
    EXPECT_EQ(std::vector<std::string>({"3B85", "AB"}), s.atr_badge_fido);
    EXPECT_EQ(std::vector<std::string>({"CV*"}), s.atr_contact_protected);

    std::string longPath(400, 'a');
    SetValue(HKEY_CURRENT_USER, "logfile", REG_SZ, longPath.c_str(), (DWORD)longPath.size() + 1);
    SetValue(HKEY_CURRENT_USER, "atr_badge_fido", REG_MULTI_SZ, "\0\0", 2); // empty: no defaults
    s = Load();
    EXPECT_EQ(std::string(259, 'a'), s.logfile);
    EXPECT_TRUE(s.atr_badge_fido.empty());
}

// Watching values present but malformed are left as the user wrote them
// (the defaults serve); periods out of range (a busy loop, weeks, a wrap in
// milliseconds) take the default pause, on start and on a toggle.
TEST_F(SettingsTest, MalformedWatchingValuesStayAndOutOfRangePeriodsTakeTheDefault)
{
    SetValue(HKEY_CURRENT_USER, "autoDetect", REG_BINARY, "off", 3);
    SetValue(HKEY_CURRENT_USER, "watchOnTimer", REG_SZ, "5", 2);
    zeb::Settings s = Load();
    EXPECT_EQ(1u, s.autoDetect);
    EXPECT_EQ(2000u, s.sleepMs);
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, zeb::kSettingsKey, "autoDetect", RRF_RT_ANY,
                                          &type, nullptr, &size));
    EXPECT_EQ((DWORD)REG_BINARY, type) << "left as it was";
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, zeb::kSettingsKey, "watchOnTimer", RRF_RT_ANY,
                                          &type, nullptr, &size));
    EXPECT_EQ((DWORD)REG_SZ, type) << "left as it was";

    struct Case {
        DWORD on, off, expectedOnMs, expectedOffMs;
    } cases[] = {
        {0, 0, 2000, 600000},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 2000, 600000},
        {4294968, 86401, 2000, 600000},
        {1, 86400, 1000, 86400000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.on);
        RemoveSettingsKeys();
        SetUserDword("watchOnTimer", c.on);
        SetUserDword("watchOffTimer", c.off);
        s = Load();
        EXPECT_EQ(c.expectedOnMs, s.sleepMs);
        zeb::ToggleAutoDetect(&s);
        EXPECT_EQ(c.expectedOffMs, s.sleepMs);
    }
}

TEST_F(SettingsTest, InconsistentFidoSettingsAreSwitchedOff)
{
    struct Case {
        DWORD v4, ssa, delay, webauthn;
        LONG delayAfter;
        DWORD v4After, webauthnAfter;
        size_t badges;
        const char *line;
    } cases[] = {
        {1, 0, 0, 0, -1, 1, 0, 1, "reset_v4_on_startup_delay_ms=0 mais patch_fido_v4=false -> P4 desactive"},
        {0, 1, 0xFFFFFFFF, 1, -1, 0, 0, 0, "patch_fido_webautn=1 mais patch_fido_v4=false -> tout desactive"},
        {1, 1, 250, 0, 250, 1, 0, 1, nullptr},
    };
    SetUserString("logfile", log.c_str());
    for (const auto &c : cases) {
        DeleteFileA(log.c_str());
        SetUserDword("patch_fido_v4", c.v4);
        SetUserDword("contournement_ssa", c.ssa);
        SetUserDword("reset_v4_on_startup_delay_ms", c.delay);
        SetUserDword("patch_fido_webauthn", c.webauthn);
        zeb::Settings s = Load();
        EXPECT_EQ(c.delayAfter, s.reset_v4_on_startup_delay_ms);
        EXPECT_EQ(c.v4After, s.patch_fido_v4);
        EXPECT_EQ(c.webauthnAfter, s.patch_fido_webauthn);
        EXPECT_EQ(c.badges, s.atr_badge_fido.size());
        std::string text = ReadText(log);
        if (c.line)
            EXPECT_NE(std::string::npos, text.find(c.line)) << text;
        else
            EXPECT_EQ(std::string::npos, text.find("config invalide")) << text;
        EXPECT_NE(std::string::npos, text.find("[ZEB] ===== ZEB startup pid="));
    }
}

// FIDO timings at the registry's extremes come out within their ranges,
// each change logged with the value read; values within them are kept.
TEST_F(SettingsTest, FidoTimingsOutOfRangeAreTakenToTheirBounds)
{
    SetUserString("logfile", log.c_str());
    SetUserDword("patch_fido_v4", 1);
    SetUserDword("contournement_ssa", 1);
    struct Case {
        DWORD value;
        DWORD hold, retry, window, detect, initial, stability;
        LONG delay;
    } cases[] = {
        {0, 0, 1, 0, 0, 0, 0, 0},
        {1, 1, 1, 1, 1, 1, 1, 1},
        {0x33333334u, 300, 1000, 30000, 10000, 10000, 10000, 10000},
        {0xFFFFFFFFu, 300, 1000, 30000, 10000, 10000, 10000, -1}, // a delay of -1: no start-up check
    };
    const char *const names[] = {"patch_fido_webauthn",
                                 "patch_fido_webautn_retry_ms",
                                 "patch_fido_webautn_retry_window_ms",
                                 "patch_fido_v4_detect_delay_ms",
                                 "patch_fido_v4_initial_delay_ms",
                                 "patch_fido_v4_stability_ms",
                                 "reset_v4_on_startup_delay_ms"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        DeleteFileA(log.c_str());
        for (const char *name : names)
            SetUserDword(name, c.value);
        zeb::Settings s = Load();
        EXPECT_EQ(c.hold, s.patch_fido_webauthn);
        EXPECT_EQ(c.retry, s.patch_fido_webautn_retry_ms);
        EXPECT_EQ(c.window, s.patch_fido_webautn_retry_window_ms);
        EXPECT_EQ(c.detect, s.patch_fido_v4_detect_delay_ms);
        EXPECT_EQ(c.initial, s.patch_fido_v4_initial_delay_ms);
        EXPECT_EQ(c.stability, s.patch_fido_v4_stability_ms);
        EXPECT_EQ(c.delay, s.reset_v4_on_startup_delay_ms);
        std::string text = ReadText(log);
        if (c.value == 0x33333334u) {
            EXPECT_NE(std::string::npos,
                      text.find("[ZEB] config hors limites: patch_fido_webauthn=858993460 -> 300"))
                << text;
            EXPECT_NE(
                std::string::npos,
                text.find("[ZEB] config hors limites: reset_v4_on_startup_delay_ms=858993460 -> 10000"));
        }
        if (c.value == 0) {
            EXPECT_NE(std::string::npos,
                      text.find("[ZEB] config hors limites: patch_fido_webautn_retry_ms=0 -> 1"));
        }
        if (c.value == 1) {
            EXPECT_EQ(std::string::npos, text.find("hors limites")) << text;
        }
        // The configuration line shows the values in force.
        char line[160];
        snprintf(line, sizeof line, "patch_fido_webautn=%lu ", (unsigned long)c.hold);
        EXPECT_NE(std::string::npos, text.find(line)) << text;
    }
}

TEST_F(SettingsTest, TogglingWatchingTwiceComesBackAndStaysPerUser)
{
    SetUserDword("watchOnTimer", 3);
    SetUserDword("watchOffTimer", 40);
    zeb::Settings s = Load();
    EXPECT_EQ(3000u, s.sleepMs);
    zeb::ToggleAutoDetect(&s);
    EXPECT_EQ(0u, s.autoDetect);
    EXPECT_EQ(40000u, s.sleepMs);
    EXPECT_EQ(0u, UserDword("autoDetect"));
    zeb::ToggleAutoDetect(&s);
    EXPECT_EQ(3000u, s.sleepMs);
    EXPECT_EQ(1u, UserDword("autoDetect"));
}

TEST_F(SettingsTest, EventLogLinesAreWholeAndTimeStamped)
{
    SetEventLogPath("");
    WriteEventLog("[ZEB] nothing %d", 1); // off: no file
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log.c_str()));
    SetEventLogPath(TempPath("no-such-folder\\zeb.log").c_str());
    WriteEventLog("[ZEB] dropped"); // dropped, nothing else happens

    SetEventLogPath(log.c_str());
    WriteEventLog(u8"[ZEB] Échec %s", "x");
    WriteEventLog("%s", std::string(5000, 'z').c_str()); // cut at 3,071 characters
    const int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                WriteEventLog("[ZEB] thread %d line %03d %s", t, i, "end");
        });
    for (auto &t : threads)
        t.join();

    std::string text = ReadText(log);
    std::vector<std::string> lines;
    size_t pos = 0, nl;
    while ((nl = text.find("\r\n", pos)) != std::string::npos) { // text mode: CRLF
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 2;
    }
    EXPECT_EQ(pos, text.size()) << "the file ends with a whole line";
    ASSERT_EQ(2u + kThreads * kLines, lines.size());
    // "hh:mm:ss.mmm " then the text as given (UTF-8 kept).
    EXPECT_EQ(u8" [ZEB] Échec x", lines[0].substr(12));
    EXPECT_EQ(':', lines[0][2]);
    EXPECT_EQ('.', lines[0][8]);
    EXPECT_TRUE(std::string(3071, 'z') == lines[1].substr(13)) << lines[1].size();
    int count[kThreads] = {};
    for (size_t i = 2; i < lines.size(); ++i) {
        int t = -1, n = -1;
        char tail[8] = "";
        ASSERT_EQ(3, sscanf(lines[i].c_str() + 13, "[ZEB] thread %d line %d %7s", &t, &n, tail)) << lines[i];
        EXPECT_STREQ("end", tail);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ++count[t];
    }
    for (int c : count)
        EXPECT_EQ(kLines, c);
}

} // namespace
