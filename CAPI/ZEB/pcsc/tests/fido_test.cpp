// The FIDO-badge work-arounds against the PC/SC stand-in, the software
// card's library (force-close) and the "CertPropSvc" stand-in: start-up and
// resume health checks with their repairs, the exclusive hold with the
// service stopped around it, the service given back at start-up after a
// hold whose tray ended, the force-close of a browser's channel.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cert_prop_service.h"
#include "fido_workarounds.h"
#include "pcsc_monitoring.h"
#include "service_record.h"
#include "pcsc_test_support.h"

using namespace zeb;
using namespace zeb_test;

namespace {

const char kVel4Atr[] = "3BDC18FF00001225006480000401009000";

// The frame's side: the event log, slots 1 and 2, and the hooks forwarded
// to the work-arounds.
class Host : public PcscMonitorHost {
public:
    FidoWorkarounds *workarounds = nullptr;

    void LogLine(const std::string &line) override
    {
        {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(line);
        }
        cv_.notify_all();
    }
    void ReadersChanged() override {}
    SlotListing ListSlots() override
    {
        SlotListing l;
        l.initialised = true;
        l.slots = {{1, kReader0}, {2, kReader1}};
        return l;
    }
    bool InsertCertificatesFromSlot(unsigned long, const std::string &, unsigned) override { return true; }
    bool DeleteCertificatesFromSlot(unsigned long, const std::string &, unsigned) override { return true; }
    CardWaitSettings WaitSettings() override { return {0, 1000, 300}; }
    void CheckV4AtStartup(PcscMonitoring &, const std::string &reader) override
    {
        if (workarounds)
            workarounds->CheckV4AtStartup(reader);
    }
    void FidoBadgeArrived(PcscMonitoring &, unsigned index) override
    {
        if (workarounds)
            workarounds->BadgeArrived(index);
    }

    bool Logged(const std::string &text, unsigned long ms = 5000)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ScaledMs(ms)), [&] { return Has(text); });
    }
    bool HasLine(const std::string &text)
    {
        std::lock_guard<std::mutex> g(m_);
        return Has(text);
    }
    std::string Dump()
    {
        std::lock_guard<std::mutex> g(m_);
        std::string all;
        for (const std::string &l : lines_)
            all += l + "\n";
        return all;
    }

private:
    bool Has(const std::string &text)
    {
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string &l) { return l.find(text) != std::string::npos; });
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// A monitor with its work-arounds, as the frame puts them together.
struct Rig {
    Host host;
    std::unique_ptr<PcscMonitoring> monitor;
    std::unique_ptr<FidoWorkarounds> workarounds;

    explicit Rig(const PcscMonitorConfig &config)
    {
        monitor.reset(new PcscMonitoring(host, config));
        workarounds.reset(new FidoWorkarounds(*monitor, [this](const std::string &l) { host.LogLine(l); }));
        host.workarounds = workarounds.get();
        monitor->Start();
    }
    ~Rig() { Stop(); }
    void Stop()
    {
        monitor->Stop();
        workarounds->Stop();
    }
};

// The card in reader 0 answers as a healthy VEL4 card.
::testing::AssertionResult HealthyVel4()
{
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    LONG rv = SCardConnectA(ctx, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &protocol);
    const BYTE mf[] = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    BYTE answer[4];
    DWORD n = sizeof(answer);
    if (rv == SCARD_S_SUCCESS)
        rv = SCardTransmit(h, &g_rgSCardT0Pci, mf, sizeof(mf), nullptr, answer, &n);
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx);
    if (rv != SCARD_S_SUCCESS || n != 2 || answer[0] != 0x9F)
        return ::testing::AssertionFailure()
               << "rv " << std::hex << rv << " sw " << int(answer[0]) << int(answer[1]);
    return ::testing::AssertionSuccess();
}

class Fido : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        UsePrivateState("fido");
        LoadLibraryA("vel3_pkcs11_w64.dll"); // loaded, as in the tray, for the force-close
        ASSERT_EQ(0, RunProgram(ZEB_TEST_CERTPROPSVC, "install"));
    }
    void SetUp() override
    {
        ASSERT_EQ(0, Ctl("reset"));
        ASSERT_EQ(0, Ctl(std::string("add-reader ") + Quoted(kReader1) + " 2"));
        config.fidoAtrs = {kBadgeAtr};
    }
    void UseVel4(bool channel0Taken)
    {
        ASSERT_EQ(0, Ctl("remove " + Quoted(kReader0)));
        ASSERT_EQ(0, Ctl("insert " + Quoted(kReader0) + " " + CardImage("vel4-default")));
        if (channel0Taken) {
            ASSERT_EQ(0, PcscCtl("take-channel0 " + Quoted(kReader0)));
        }
    }
    void BadgeArrives() { ASSERT_EQ(0, Ctl("insert " + Quoted(kReader1) + " " + CardImage("fido-badge"))); }
    static DWORD ServiceState() { return CertPropSvcState(); }
    static bool StartTheService() { return StartCertPropSvc(); }
    static bool WaitUntilRunning()
    {
        return vel_test::WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 10000);
    }

    PcscMonitorConfig config;
};

TEST_F(Fido, StartupCheckRepairsAVel4CardAsSet)
{
    struct Case {
        bool taken;
        long delay;
        unsigned long resetMode;
        std::vector<std::string> lines;
    } cases[] = {
        {false,
         0,
         0,
         {"[ZEB] P4 check 2TER SELECT 5F78 sw=0x9404 reader=Lecteur Ovrane VEL 0",
          "[ZEB] P4 2TER active on channel 0 (healthy) -> skip reset reader=Lecteur Ovrane VEL 0"}},
        {true,
         0,
         0,
         {"[ZEB] P4 check 2TER SELECT 5F78 sw=0x6E00 reader=Lecteur Ovrane VEL 0",
          "[ZEB] P4 2TER NOT active (FIDO/corrupted) -> restore VEL2Ter reader=Lecteur Ovrane VEL 0",
          "[ZEB] P4 restore SELECT VEL2Ter sw=0x9000 reader=Lecteur Ovrane VEL 0"}},
        {true,
         50,
         1,
         {"[ZEB] P4 additional delay 50ms before reset",
          "[ZEB] P4 2TER NOT active (FIDO/corrupted) -> reset reader=Lecteur Ovrane VEL 0",
          "[ZEB] P4 reset card rv=0x00000000 reader=Lecteur Ovrane VEL 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines.back());
        UseVel4(c.taken);
        config.startupResetDelayMs = c.delay;
        config.resetMode = c.resetMode;
        Rig rig(config);
        for (const std::string &line : c.lines)
            EXPECT_TRUE(rig.host.Logged(line)) << line << "\n" << rig.host.Dump();
        EXPECT_TRUE(HealthyVel4());
    }
    // -1: no start-up check at all; the card stays as it is.
    UseVel4(true);
    config.startupResetDelayMs = -1;
    Rig rig(config);
    EXPECT_TRUE(
        rig.host.Logged("[ZEB] plan propagation certs on initial VEL V4 reader=Lecteur Ovrane VEL 0"));
    rig.Stop();
    EXPECT_FALSE(rig.host.HasLine("P4 check"));
    EXPECT_FALSE(HealthyVel4());
}

TEST_F(Fido, ResumeAndUnlockWorkersCheckAndRepair)
{
    UseVel4(false);
    config.startupResetDelayMs = -1;
    Rig rig(config);
    ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V4"));
    rig.workarounds->StartP4Worker(false);
    EXPECT_TRUE(rig.host.Logged("[ZEB] P4 resume 2TER active (OK) sw=0x9F17 reader=Lecteur Ovrane VEL 0"));
    EXPECT_TRUE(rig.host.Logged("[ZEB] ***** P4 resume worker end *****"));
    ASSERT_EQ(0, PcscCtl("take-channel0 " + Quoted(kReader0)));
    rig.workarounds->StartP4Worker(true);
    EXPECT_TRUE(rig.host.Logged(
        "[ZEB] P4 unlock 2TER NOT active sw=0x6E00 reader=Lecteur Ovrane VEL 0 -> restore VEL2Ter"));
    EXPECT_TRUE(rig.host.Logged("[ZEB] P4 unlock SELECT VEL2Ter sw=0x9000 reader=Lecteur Ovrane VEL 0"));
    EXPECT_TRUE(rig.host.Logged("[ZEB] ***** P4 unlock worker end *****"));
    EXPECT_TRUE(HealthyVel4());
}

TEST_F(Fido, HoldStopsTheServiceHoldsTheReaderAndRestartsIt)
{
    StartTheService();
    ASSERT_EQ(DWORD(SERVICE_RUNNING), ServiceState());
    config.holdSeconds = 2;
    Rig rig(config);
    ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V3"));
    BadgeArrives();
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE target reader[0]=Lecteur Ovrane VEL 0"));
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN Stop CertPropSvc result=1 state=1"));
    ASSERT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK reader=Lecteur Ovrane VEL 0"));
    // Held: nobody else gets the card, and the service is stopped meanwhile.
    EXPECT_EQ(DWORD(SERVICE_STOPPED), ServiceState());
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    EXPECT_EQ(SCARD_E_SHARING_VIOLATION, SCardConnectA(ctx, kReader0, SCARD_SHARE_SHARED, 1, &h, &protocol));
    // A second badge while the hold lasts is skipped.
    rig.workarounds->BadgeArrived(1);
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold already in progress (skipping)"));
    EXPECT_TRUE(rig.host.Logged(
        "PATCH_FIDO_WEBAUTHN EXCLUSIVE hold released reader=Lecteur Ovrane VEL 0 disconnect_rv=0x00000000"));
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN Start CertPropSvc result=1 err=0"));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), ServiceState());
    EXPECT_EQ(SCARD_S_SUCCESS, SCardConnectA(ctx, kReader0, SCARD_SHARE_SHARED, 1, &h, &protocol));
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx);
    // Then the force-close: the library is loaded, a VEL3 card gets no command.
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_FIREFOX ForceClose: slot=1 reader=Lecteur Ovrane VEL 0 isV4=0"));
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_FIREFOX ForceClose: Firefox sessions cleared -> proceed"));
    rig.Stop();
    EXPECT_FALSE(rig.host.HasLine("MANAGE CHANNEL"));
}

TEST_F(Fido, BusyReaderAndStopEndTheHold)
{
    // Held exclusively by someone else for the whole retry window.
    StartTheService();
    config.holdSeconds = 30;
    config.retryWindowMs = 300;
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    {
        Rig rig(config);
        ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V3"));
        ASSERT_EQ(SCARD_S_SUCCESS, SCardConnectA(ctx, kReader0, SCARD_SHARE_EXCLUSIVE, 1, &h, &protocol));
        BadgeArrives();
        EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_FAIL reader=Lecteur Ovrane VEL 0 "
                                    "rv=0x8010000B attempts="));
        EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN Start CertPropSvc result=1 err=0"));
        EXPECT_FALSE(rig.host.HasLine("attempts=1 ")); // retried
        SCardDisconnect(h, SCARD_LEAVE_CARD);
    }
    // Stop during a 30 s hold ends it at once.
    ASSERT_EQ(0, Ctl("remove " + Quoted(kReader1)));
    Rig rig(config);
    ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V3"));
    BadgeArrives();
    ASSERT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK reader=Lecteur Ovrane VEL 0"));
    DWORD start = GetTickCount();
    rig.Stop();
    EXPECT_LT(GetTickCount() - start, ScaledMs(1000));
    EXPECT_TRUE(rig.host.HasLine("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold released reader=Lecteur Ovrane VEL 0"));
    EXPECT_FALSE(rig.workarounds->HoldInProgress());
    SCardReleaseContext(ctx);
}

TEST_F(Fido, ForceCloseClosesTheChannelOfAProtectedVel4Card)
{
    struct Case {
        const char *inject; // the library's answer
        bool channelOpen;
        const char *line;
    } cases[] = {
        {nullptr, true, "PATCH_FIDO_FIREFOX ForceClose: MANAGE CHANNEL CLOSE rv=0x00000000 sw=9000"},
        {nullptr, false, "PATCH_FIDO_FIREFOX ForceClose: MANAGE CHANNEL CLOSE rv=0x00000000 sw=6881"},
        {"IC_ForceCloseChannel01 1 5", true,
         "PATCH_FIDO_FIREFOX ForceClose: non-Firefox session (rv=0x00000005) -> skip"},
    };
    config.protectedAtrs = {kVel4Atr};
    config.startupResetDelayMs = -1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Ctl("remove " + Quoted(kReader1)); // no badge yet (there is one after the first case)
        UseVel4(false);
        if (c.channelOpen) {
            ASSERT_EQ(0, PcscCtl("open-channel " + Quoted(kReader0)));
        }
        if (c.inject) {
            ASSERT_EQ(0, Ctl(std::string("inject ") + c.inject));
        }
        Rig rig(config);
        ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V4"));
        BadgeArrives();
        EXPECT_TRUE(
            rig.host.Logged("PATCH_FIDO_FIREFOX ForceClose: slot=1 reader=Lecteur Ovrane VEL 0 isV4=1"));
        EXPECT_TRUE(rig.host.Logged(c.line)) << rig.host.Dump();
        rig.Stop();
        if (c.inject) {
            EXPECT_FALSE(rig.host.HasLine("MANAGE CHANNEL"));
        }
    }
    // Nothing protected: neither the hold nor the force-close has a target.
    config.protectedAtrs = {"00"};
    config.holdSeconds = 1;
    Ctl("remove " + Quoted(kReader1));
    Rig rig(config);
    ASSERT_TRUE(rig.host.Logged("[ZEB] plan propagation certs on initial VEL V4"));
    BadgeArrives();
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_WEBAUTHN EXCLUSIVE skipped: no protected contact reader found"));
    EXPECT_TRUE(rig.host.Logged("PATCH_FIDO_FIREFOX ForceClose: no protected contact reader found"));
}

// A process to own a record: left suspended (running), or run to its end.
struct Owner {
    DWORD pid = 0;
    uint64_t created = 0;
    HANDLE process = nullptr;
    explicit Owner(bool running)
    {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        char command[] = "cmd.exe /c exit 0";
        if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                            nullptr, nullptr, &si, &pi))
            return;
        FILETIME c, e, k, u;
        GetProcessTimes(pi.hProcess, &c, &e, &k, &u);
        pid = pi.dwProcessId;
        created = (uint64_t(c.dwHighDateTime) << 32) | c.dwLowDateTime;
        process = pi.hProcess;
        if (!running) {
            ResumeThread(pi.hThread);
            WaitForSingleObject(pi.hProcess, ScaledMs(10000));
        }
        CloseHandle(pi.hThread);
    }
    ~Owner()
    {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
};

const char kZebKey[] = "Software\\Ovrane\\ZEB";

void WriteRecord(HKEY root, unsigned long pid, uint64_t created)
{
    RegSetKeyValueA(root, kZebKey, ServiceRecordName(pid).c_str(), REG_QWORD, &created, sizeof created);
}

bool HasRecord(HKEY root, unsigned long pid)
{
    return RegGetValueA(root, kZebKey, ServiceRecordName(pid).c_str(), RRF_RT_QWORD, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS;
}

bool Has(const std::vector<std::string> &lines, const std::string &text)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &l : lines)
        all += l + "\n";
    return all;
}

TEST_F(Fido, StartUpGivesBackTheServiceATrayThatEndedLeftStopped)
{
    auto stopTheService = [] {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = OpenServiceA(scm, "CertPropSvc", SERVICE_STOP | SERVICE_QUERY_STATUS);
        SERVICE_STATUS s;
        ControlService(svc, SERVICE_CONTROL_STOP, &s);
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        vel_test::WaitUntil([] { return CertPropSvcState() == SERVICE_STOPPED; }, 10000);
    };
    enum class Service { stopped, running, missing };
    enum class Who { ended, running, reused, self };
    struct Case {
        const char *what;
        std::vector<std::pair<Who, HKEY>> records;
        Service before;
        DWORD after;            // the service's state afterwards (0: none)
        std::vector<bool> kept; // each record still there afterwards
        std::vector<const char *> lines;
    } cases[] = {
        {"killed during the hold",
         {{Who::ended, HKEY_LOCAL_MACHINE}},
         Service::stopped,
         SERVICE_RUNNING,
         {false},
         {"(HKEY_LOCAL_MACHINE), which ended", "PATCH_FIDO_WEBAUTHN Start CertPropSvc result=1 err=0"}},
        {"killed before the stop, or after the restart",
         {{Who::ended, HKEY_CURRENT_USER}},
         Service::running,
         SERVICE_RUNNING,
         {false},
         {"(HKEY_CURRENT_USER), which ended", "PATCH_FIDO_WEBAUTHN startup: CertPropSvc already running"}},
        {"the service removed since",
         {{Who::ended, HKEY_LOCAL_MACHINE}},
         Service::missing,
         0,
         {false},
         {"PATCH_FIDO_WEBAUTHN startup: OpenService(CertPropSvc, START) failed err=1060"}},
        {"its tray still holds",
         {{Who::running, HKEY_LOCAL_MACHINE}},
         Service::stopped,
         SERVICE_STOPPED,
         {true},
         {"still running: left to it"}},
        {"one tray ended, another still holds",
         {{Who::ended, HKEY_LOCAL_MACHINE}, {Who::running, HKEY_LOCAL_MACHINE}},
         Service::stopped,
         SERVICE_STOPPED,
         {false, true},
         {"which ended", "still running: left to it"}},
        {"its id now another process's",
         {{Who::reused, HKEY_LOCAL_MACHINE}},
         Service::stopped,
         SERVICE_RUNNING,
         {false},
         {"which ended"}},
        {"an earlier process of the starting one's id",
         {{Who::self, HKEY_LOCAL_MACHINE}},
         Service::stopped,
         SERVICE_RUNNING,
         {false},
         {"which ended"}},
        {"no record", {}, Service::stopped, SERVICE_STOPPED, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, RunProgram(ZEB_TEST_CERTPROPSVC, "install"));
        if (c.before == Service::running) {
            ASSERT_TRUE(StartCertPropSvc());
        } else {
            stopTheService();
            if (c.before == Service::missing) {
                ASSERT_EQ(0, RunProgram(ZEB_TEST_CERTPROPSVC, "uninstall"));
            }
        }
        std::vector<std::unique_ptr<Owner>> owners;
        std::vector<std::pair<HKEY, unsigned long>> written;
        for (const auto &r : c.records) {
            owners.emplace_back(new Owner(r.first != Who::ended));
            unsigned long pid = r.first == Who::self ? GetCurrentProcessId() : owners.back()->pid;
            uint64_t created = owners.back()->created + (r.first == Who::reused ? 1 : 0);
            ASSERT_NE(0ul, pid);
            WriteRecord(r.second, pid, created);
            written.push_back({r.second, pid});
        }
        std::vector<std::string> lines;
        RestartCertPropSvcLeftStopped([&](const std::string &l) { lines.push_back(l); });
        if (c.after) {
            EXPECT_EQ(c.after, CertPropSvcState());
        }
        for (size_t i = 0; i < written.size(); ++i) {
            EXPECT_EQ(c.kept[i], HasRecord(written[i].first, written[i].second)) << i;
            RegDeleteKeyValueA(written[i].first, kZebKey, ServiceRecordName(written[i].second).c_str());
        }
        for (const char *line : c.lines)
            EXPECT_TRUE(Has(lines, line)) << line << "\n" << Joined(lines);
        if (c.records.empty()) {
            EXPECT_TRUE(lines.empty()) << Joined(lines);
        }
    }
    ASSERT_EQ(0, RunProgram(ZEB_TEST_CERTPROPSVC, "install"));
}

// The hold's own record: written while the service is stopped, gone with
// the restart; none when the service was not running.
TEST_F(Fido, TheHoldRecordsTheStopUntilItsRestart)
{
    std::vector<std::string> lines;
    ServiceLog log = [&](const std::string &l) { lines.push_back(l); };
    ASSERT_TRUE(StartTheService());
    ASSERT_TRUE(StopCertPropSvcForHold(log));
    EXPECT_EQ(DWORD(SERVICE_STOPPED), ServiceState());
    EXPECT_TRUE(HasRecord(HKEY_LOCAL_MACHINE, GetCurrentProcessId())) << Joined(lines);
    EXPECT_FALSE(StopCertPropSvcForHold(log)) << "stopped already: not this hold's to restart";
    EXPECT_TRUE(Has(lines, "PATCH_FIDO_WEBAUTHN CertPropSvc deja arrete (state=1)"));
    EXPECT_TRUE(StartCertPropSvcAfterHold(log));
    EXPECT_FALSE(HasRecord(HKEY_LOCAL_MACHINE, GetCurrentProcessId()));
    EXPECT_FALSE(HasRecord(HKEY_CURRENT_USER, GetCurrentProcessId()));
    EXPECT_TRUE(WaitUntilRunning());
}

} // namespace
