// ZEB.exe in event-driven mode beside the PC/SC stand-in: the reader monitor
// propagates on insert and remove with no polling, tells the two card
// generations apart, works around a FIDO badge (the exclusive hold while
// "CertPropSvc" is stopped, then the channel close), re-selects the card's
// application after a resume or an unlock posted as Windows posts them,
// answers its menu commands, and stops at once when it quits.
#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cert_prop_service.h"
#include "resource.h"
#include "service_record.h"
#include "store_view.h"
#include "tray_process.h"
#include "pcsc_test_support.h"

using namespace zebtest;
using zeb_test::CardImage;
using zeb_test::Ctl;
using zeb_test::PcscCtl;
using zeb_test::Quoted;

namespace {

const char kVel3Atr[] = "3BAC00402A001225006480000310009000";
const char kVel4Atr[] = "3BDC18FF00001225006480000401009000";
const char kReader0[] = "Lecteur Ovrane VEL 0";
const char kReader1[] = "Lecteur Ovrane VEL 1";
// Start-up waits 5 s for the readers; the monitor then reacts to each change.
const DWORD kFirstScanMs = 30000;
const DWORD kEventMs = 15000;

void SetUserMultiSz(const char *name, std::initializer_list<const char *> values)
{
    std::string data;
    for (const char *v : values)
        data += std::string(v) + '\0';
    data += '\0';
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Ovrane\\ZEB", name, REG_MULTI_SZ, data.data(),
                    (DWORD)data.size());
}

// Milliseconds of the day of the first event-log line holding `text`, -1 if none.
long LineTime(const std::string &log, const char *text)
{
    size_t at = log.find(text);
    if (at == std::string::npos)
        return -1;
    size_t start = log.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    unsigned h, m, s, ms;
    if (sscanf(log.c_str() + start, "%u:%u:%u.%u", &h, &m, &s, &ms) != 4)
        return -1;
    return ((h * 60 + m) * 60 + s) * 1000L + ms;
}

// The owners of the records "CertPropSvc stopped by a tray", in both roots.
std::vector<unsigned long> ServiceRecords()
{
    std::vector<unsigned long> owners;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, "Software\\Ovrane\\ZEB", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        char name[256];
        DWORD length = sizeof name;
        for (DWORD i = 0;
             RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, length = sizeof name) {
            unsigned long pid = 0;
            if (zeb::ParseServiceRecordName(name, &pid))
                owners.push_back(pid);
        }
        RegCloseKey(key);
    }
    return owners;
}

bool ServiceIs(DWORD state)
{
    return WaitUntil([&] { return zeb_test::CertPropSvcState() == state; }, kEventMs);
}

class EventFlows : public ::testing::Test {
protected:
    void SetUp() override
    {
        zeb_test::UsePrivateState("zebevents"); // inherited by ZEB.exe
        ASSERT_TRUE(RegisterProvider());
        ASSERT_EQ(0, Ctl("reset"));
        ASSERT_EQ(0, Ctl("add-reader " + Quoted(kReader1) + " 2"));
        ASSERT_EQ(0, zeb_test::RunProgram(ZEB_TEST_CERTPROPSVC, "install"));
        ASSERT_TRUE(zeb_test::StartCertPropSvc());
        RemoveSettingsKeys();
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        log = std::string(dir) + "zeb-events-" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(log.c_str());
        SetUserString("logfile", log.c_str());
        SetUserDword("patch_fido_v4", 1);
        SetUserDword("patch_fido_webauthn", 1); // a hold of one second
        SetUserDword("reset_v4_on_startup_delay_ms", 0);
        SetUserDword("patch_fido_v4_reset", 0);            // repair by re-selection
        SetUserDword("patch_fido_v4_initial_delay_ms", 0); // nobody else uses the card here
        SetUserMultiSz("atr_badge_fido", {zeb_test::kBadgeAtr});
        SetUserMultiSz("atr_contact_protected", {kVel3Atr, kVel4Atr});
        ClearMy();
    }
    void TearDown() override
    {
        if (HasFailure())
            printf("event log:\n%s\n", ReadText(log).c_str());
        ClearMy();
        RemoveSettingsKeys();
        DeleteFileA(log.c_str());
    }
    bool Logged(const char *text, DWORD ms = kEventMs)
    {
        return WaitUntil([&] { return ReadText(log).find(text) != std::string::npos; }, ms);
    }
    bool Bound(const std::set<std::vector<BYTE>> &expected, DWORD ms = kEventMs)
    {
        return WaitUntil([&] { return BoundDers() == expected; }, ms);
    }
    std::string log;
};

TEST_F(EventFlows, CardsAndWakeUpsFollowedWithoutPolling)
{
    SetUserDword("patch_fido_webauthn", 0);
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND frame = tray.WaitWindow(20000);
    ASSERT_TRUE(frame);
    // The default card (VEL3) found by the first scan.
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    EXPECT_TRUE(Logged("[ZEB] initial VEL V3 present on reader=Lecteur Ovrane VEL 0"));

    // Removal and insertion, each one event; the generation from the ATR.
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader0)));
    EXPECT_TRUE(Bound({}));
    EXPECT_TRUE(Logged("[ZEB] VEL V3 removed on reader=Lecteur Ovrane VEL 0"));
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader0) + " " + CardImage("vel4-default")));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"})));
    EXPECT_TRUE(Logged("[ZEB] VEL V4 inserted on reader=Lecteur Ovrane VEL 0"));

    // A resume with a healthy card; an unlock after another application took
    // the card's channel: the card's application is selected again.
    PostMessageA(frame, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_TRUE(Logged("[ZEB] P4 resume 2TER active (OK) sw=0x9F17 reader=Lecteur Ovrane VEL 0"));
    EXPECT_TRUE(Logged("[ZEB] ***** P4 resume worker end *****"));
    ASSERT_EQ(0, PcscCtl("take-channel0 " + Quoted(kReader0)));
    PostMessageA(frame, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 0);
    EXPECT_TRUE(
        Logged("[ZEB] P4 unlock 2TER NOT active sw=0x6E00 reader=Lecteur Ovrane VEL 0 -> restore VEL2Ter"));
    EXPECT_TRUE(Logged("[ZEB] P4 unlock SELECT VEL2Ter sw=0x9000 reader=Lecteur Ovrane VEL 0"));
    EXPECT_TRUE(Logged("[ZEB] ***** P4 unlock worker end *****"));

    // The menu's reader-state command shows the dialog.
    PostMessageA(frame, WM_COMMAND, ID_LIST_READERS, 0);
    EXPECT_TRUE(WaitUntil(
        [&] {
            HWND dlg = FindWindowA(nullptr, "Etat des lecteurs de carte VEL");
            DWORD pid = 0;
            GetWindowThreadProcessId(dlg, &pid);
            return dlg && pid == tray.pid() && IsWindowVisible(dlg);
        },
        10000));

    // "Relancer ZEB": this instance ends, a new one starts after the pause
    // and finds the card again.
    PostMessageA(frame, WM_COMMAND, ID_MYTRAY_REFRESH, 0);
    EXPECT_EQ(0, tray.Wait(30000));
    HWND next = nullptr;
    DWORD nextPid = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            next = FindWindowA(nullptr, "ZEB_QUVVEL");
            nextPid = 0;
            if (next)
                GetWindowThreadProcessId(next, &nextPid);
            return next && nextPid != tray.pid();
        },
        30000));
    HANDLE restarted = OpenProcess(SYNCHRONIZE, FALSE, nextPid);
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));

    // The about box with the versions read from the files; "Quitter" while it
    // is open and the monitor waits: the monitor's stop ends the wait at once.
    PostMessageA(next, WM_COMMAND, ID_APP_ABOUT, 0);
    HWND about = nullptr;
    char text1004[64] = "", text1002[64] = "";
    // Found as soon as it is made; its fields are filled while it initialises.
    EXPECT_TRUE(WaitUntil(
        [&] {
            about = FindWindowA(nullptr, "À propos de ZEB (x64)");
            return about && GetDlgItemTextA(about, 1004, text1004, sizeof text1004) > 0 &&
                   GetDlgItemTextA(about, 1002, text1002, sizeof text1002) > 0 &&
                   strcmp(text1004, "inconnue") != 0 && strcmp(text1002, "inconnue") != 0;
        },
        10000));
    EXPECT_EQ(std::string(ZEB_PROJECT_VERSION) + ".0", text1004) << "the PKCS#11 library's version";
    EXPECT_STREQ("03.14.00", text1002);
    PostMessageA(next, WM_COMMAND, ID_APP_EXIT, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(restarted, vel_test::ScaledMs(30000)));
    CloseHandle(restarted);
    EXPECT_TRUE(BoundDers().empty());
    std::string text = ReadText(log);
    EXPECT_NE(std::string::npos,
              text.find("[ZEB] OnMytrayRefresh : restart ZEB (patch actif, event-driven)"));
    EXPECT_EQ(std::string::npos, text.find("ZEB poll")) << "no polling in event-driven mode";
    text = text.substr(text.rfind("===== ZEB startup")); // the restarted instance
    long asked = LineTime(text, "[ZEB] PCSC monitoring stop requested");
    long stopped = LineTime(text, "[ZEB] PCSC monitoring stopped");
    ASSERT_GE(asked, 0);
    ASSERT_GE(stopped, asked);
    EXPECT_LT(stopped - asked, (long)vel_test::ScaledMs(1000)) << "the monitor's stop";
    EXPECT_NE(std::string::npos, text.find("[ZEB] PCSC monitoring thread ended"));
}

TEST_F(EventFlows, FidoBadgeHoldsTheCardWhileTheServiceIsStopped)
{
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader0)));
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader0) + " " + CardImage("vel4-default")));
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND frame = tray.WaitWindow(20000);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    EXPECT_TRUE(
        Logged("[ZEB] P4 2TER active on channel 0 (healthy) -> skip reset reader=Lecteur Ovrane VEL 0"));

    // A FIDO badge beside the card: "CertPropSvc" stopped, the card held
    // exclusively, released, the service started again; the browser's channel
    // on the card closed.
    ASSERT_EQ(0, PcscCtl("open-channel " + Quoted(kReader0)));
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader1) + " " + CardImage("fido-badge")));
    for (const char *line : {"[ZEB] FIDO badge detected on reader=Lecteur Ovrane VEL 1",
                             "PATCH_FIDO_WEBAUTHN Stop CertPropSvc result=1",
                             "PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK reader=Lecteur Ovrane VEL 0",
                             "PATCH_FIDO_FIREFOX ForceClose: MANAGE CHANNEL CLOSE rv=0x00000000 sw=9000",
                             "PATCH_FIDO_WEBAUTHN EXCLUSIVE hold released reader=Lecteur Ovrane VEL 0",
                             "PATCH_FIDO_WEBAUTHN Start CertPropSvc result=1 err=0"})
        EXPECT_TRUE(Logged(line)) << line;
    std::string text = ReadText(log);
    long stopped = LineTime(text, "PATCH_FIDO_WEBAUTHN Stop CertPropSvc");
    long held = LineTime(text, "EXCLUSIVE CONNECT_OK");
    long released = LineTime(text, "EXCLUSIVE hold released");
    long restarted = LineTime(text, "PATCH_FIDO_WEBAUTHN Start CertPropSvc");
    EXPECT_TRUE(stopped <= held && held <= released && released <= restarted)
        << "held while the service is stopped";
    EXPECT_TRUE(WaitUntil([] { return zeb_test::CertPropSvcState() == SERVICE_RUNNING; }, 10000));
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers()) << "the card's certificates stay";
    // The badge leaves; the card's certificates leave with the card.
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader1)));
    EXPECT_TRUE(Logged("[ZEB] FIDO badge removed on reader=Lecteur Ovrane VEL 1"));
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader0)));
    EXPECT_TRUE(Bound({}));
    tray.Close();
    EXPECT_EQ(0, tray.Wait(30000));
}

// Killed while it holds the card with "CertPropSvc" stopped, the tray never
// starts the service again: its next start does, from the record the hold
// left. A record whose tray still runs (another user's tray in the middle
// of its hold: this test plays it) is left to that tray.
TEST_F(EventFlows, ServiceLeftStoppedByAKilledHoldIsStartedByTheNextStart)
{
    SetUserDword("patch_fido_webauthn", 60); // held until the kill
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader0)));
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader0) + " " + CardImage("vel4-default")));
    TrayProcess killed;
    ASSERT_TRUE(killed.Start());
    ASSERT_TRUE(killed.WaitWindow(20000));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    ASSERT_EQ(0, Ctl("insert " + Quoted(kReader1) + " " + CardImage("fido-badge")));
    ASSERT_TRUE(Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK reader=Lecteur Ovrane VEL 0"));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), zeb_test::CertPropSvcState());
    EXPECT_EQ(std::vector<unsigned long>{killed.pid()}, ServiceRecords()) << "written before the stop";
    killed.Kill();
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader1))); // no second hold at the next start
    EXPECT_EQ(DWORD(SERVICE_STOPPED), zeb_test::CertPropSvcState());

    TrayProcess next;
    ASSERT_TRUE(next.Start());
    ASSERT_TRUE(next.WaitWindow(20000));
    EXPECT_TRUE(ServiceIs(SERVICE_RUNNING)) << "the next start gives the service back";
    std::string line =
        "PATCH_FIDO_WEBAUTHN startup: CertPropSvc stopped by pid=" + std::to_string(killed.pid()) +
        " (HKEY_LOCAL_MACHINE), which ended";
    EXPECT_TRUE(Logged(line.c_str())) << line;
    EXPECT_TRUE(Logged("PATCH_FIDO_WEBAUTHN Start CertPropSvc result=1 err=0"));
    EXPECT_TRUE(ServiceRecords().empty());
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs)) << "and propagates as usual";
    next.Close();
    EXPECT_EQ(0, next.Wait(30000));

    // This process as another tray whose hold runs: a start meanwhile leaves
    // the service stopped and the record in place; the hold's end clears it.
    std::vector<std::string> holdLines;
    zeb::ServiceLog holdLog = [&](const std::string &l) { holdLines.push_back(l); };
    ASSERT_TRUE(zeb::StopCertPropSvcForHold(holdLog));
    EXPECT_EQ(std::vector<unsigned long>{GetCurrentProcessId()}, ServiceRecords());
    TrayProcess beside;
    ASSERT_TRUE(beside.Start());
    ASSERT_TRUE(beside.WaitWindow(20000));
    line =
        "PATCH_FIDO_WEBAUTHN startup: CertPropSvc stopped by pid=" + std::to_string(GetCurrentProcessId()) +
        " (HKEY_LOCAL_MACHINE), still running: left to it";
    EXPECT_TRUE(Logged(line.c_str())) << line;
    EXPECT_EQ(DWORD(SERVICE_STOPPED), zeb_test::CertPropSvcState());
    EXPECT_EQ(std::vector<unsigned long>{GetCurrentProcessId()}, ServiceRecords());
    EXPECT_TRUE(zeb::StartCertPropSvcAfterHold(holdLog));
    EXPECT_TRUE(ServiceIs(SERVICE_RUNNING));
    EXPECT_TRUE(ServiceRecords().empty());
    beside.Close();
    EXPECT_EQ(0, beside.Wait(30000));
}

} // namespace
