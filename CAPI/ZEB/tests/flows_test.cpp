// ZEB.exe as the user runs it, beside the software card: certificates
// appear in "MY" while a card is in, go when it leaves, one instance only,
// a quit in the middle of a propagation leaves nothing behind.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Driver.h"
#include "loaded_library.h"
#include "resource.h"
#include "store_view.h"
#include "timeout_scale.h"
#include "tray_process.h"

using namespace zebtest;
using softcard_test::control;

namespace {

const char kReader0[] = "\"Lecteur Ovrane VEL 0\"";
// Start-up waits 5 s for the readers, then reads them; a poll every second.
const DWORD kFirstScanMs = 30000;
const DWORD kPollMs = 15000;

class FlowsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        softcard_test::usePrivateState("zebflows"); // inherited by ZEB.exe
        ASSERT_TRUE(RegisterProvider());
        RemoveSettingsKeys();
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        log = std::string(dir) + "zeb-flows-" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(log.c_str());
        SetUserString("logfile", log.c_str());
        SetUserDword("watchOnTimer", 1);
        ClearMy();
    }
    void TearDown() override
    {
        ClearMy();
        RemoveSettingsKeys();
        DeleteFileA(log.c_str());
    }
    // The trace files of process `pid`.
    static std::vector<std::string> TraceFiles(DWORD pid)
    {
        std::vector<std::string> out;
        char base[MAX_PATH];
        if (!GetEnvironmentVariableA("ProgramData", base, sizeof base))
            return out;
        std::string folder = std::string(base) + "\\hestalink\\vel\\log\\";
        char pattern[64];
        snprintf(pattern, sizeof pattern, "vel_zeb_%lx_*.log", (unsigned long)pid);
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((folder + pattern).c_str(), &found);
        if (h == INVALID_HANDLE_VALUE)
            return out;
        do
            out.push_back(folder + found.cFileName);
        while (FindNextFileA(h, &found));
        FindClose(h);
        return out;
    }
    bool Bound(const std::set<std::vector<BYTE>> &expected, DWORD ms)
    {
        return WaitUntil([&] { return BoundDers() == expected; }, ms);
    }
    std::string log;
};

TEST_F(FlowsTest, CertificatesFollowTheCardAndASecondInstanceIsRefused)
{
    // Left by an earlier run: bound to the card provider (removed at start),
    // and another provider's certificate (left alone).
    AddBound(CardCert("tech"), kProvider, L"stale");
    AddBound(CardCert("ca"), L"Other Provider", L"other");

    SetUserDword("Traces", 40);
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(tray.WaitWindow(20000));
    DWORD pid = tray.pid();
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    for (const auto &b : BoundCerts()) {
        EXPECT_EQ(1u, b.provType);
        EXPECT_EQ(b.der == CardCert("sign") ? (DWORD)AT_SIGNATURE : (DWORD)AT_KEYEXCHANGE, b.keySpec);
    }

    // An application using a propagated certificate reaches the provider,
    // which finds the card from the container name.
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, CardCert("auth").data(),
                                                         (DWORD)CardCert("auth").size());
    PCCERT_CONTEXT auth =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
    ASSERT_TRUE(auth);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL mustFree = FALSE;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(auth, 0, nullptr, &prov, &keySpec, &mustFree))
        << GetLastError();
    EXPECT_EQ((DWORD)AT_KEYEXCHANGE, keySpec);
    char name[128] = "";
    DWORD len = sizeof name;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE *>(name), &len, 0));
    EXPECT_STREQ("Ovrane Cryptographic Provider", name);
    len = sizeof name;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE *>(name), &len, 0));
    EXPECT_STREQ("0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567", name);
    if (mustFree)
        CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(auth);
    CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);

    TrayProcess second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(0, second.Wait(20000)) << "a second instance ends at once";
    EXPECT_TRUE(tray.Running());

    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Bound({}, kPollMs));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-1024"));
    EXPECT_TRUE(Bound(Certs({"auth1024", "sign1024"}), kPollMs));
    ASSERT_EQ(0, control("add-reader \"Lecteur B\""));
    ASSERT_EQ(0, control("insert \"Lecteur B\" vel3-default"));
    EXPECT_TRUE(Bound(Certs({"auth", "sign", "auth1024", "sign1024"}), kPollMs));

    // "Rafraîchir" twice in a row: one full re-initialisation, which takes
    // every certificate out and puts the present cards' back.
    HWND frame = FrameOf(tray.pid());
    PostMessageA(frame, WM_COMMAND, ID_MYTRAY_REFRESH, 0);
    PostMessageA(frame, WM_COMMAND, ID_MYTRAY_REFRESH, 0);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadText(log).find("[ZEB] reinit thread finished") != std::string::npos &&
                   ReadText(log).find("reinit thread started full=1 reinit=1") != std::string::npos;
        },
        kPollMs));
    EXPECT_TRUE(Bound(Certs({"auth", "sign", "auth1024", "sign1024"}), kPollMs));
    // Session and power events the tray only writes down.
    PostMessageA(frame, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    PostMessageA(frame, WM_POWERBROADCAST, 99, 0);
    PostMessageA(frame, WM_WTSSESSION_CHANGE, 7 /* lock */, 0);
    PostMessageA(frame, WM_WTSSESSION_CHANGE, 99, 0);

    tray.Close();
    EXPECT_EQ(0, tray.Wait(30000));
    EXPECT_TRUE(BoundDers().empty()) << "quitting takes the card certificates out";
    EXPECT_EQ(Certs({"ca"}), BoundDers(L"Other Provider"));

    std::string text = ReadText(log);
    for (const char *line :
         {"[ZEB] ===== ZEB startup pid=", "[ZEB] InitSlotList begin",
          "[ZEB] CryptPropCert SUCCESS slotId=1 syncCount=1", "ZEB poll mismatch slotIdx=0",
          "ZEB poll count change detected : 1 -> 2, posting WM_USER_INIT_AGAIN",
          "[ZEB] OnMytrayRefresh ENTRY patch_enabled=0 fullReInit=0",
          "[ZEB] OnMytrayRefresh ENTRY patch_enabled=0 fullReInit=1", "[ZEB] ***** System suspend *****",
          "[ZEB] WM_POWERBROADCAST code=99 (non gere)", "[ZEB] ***** Session lock (WTS_SESSION_LOCK) *****",
          "[ZEB] WTS event code=99 (non gere)"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    size_t first = text.find("full=1 reinit=1");
    EXPECT_EQ(std::string::npos, text.find("full=1 reinit=1", first + 1)) << "one full re-initialisation";

    // The trace level 40 under the tray's key: its card and store steps traced.
    std::string traces;
    for (const auto &file : TraceFiles(pid))
        traces += ReadText(file);
    for (const char *line : {"ZEB_LoadPKCS11(", "ZEB_getAllX509CertificateList(", "propCert(",
                             "ZEB_deleteCert(", "ZEB_cleanCAPICerts("})
        EXPECT_NE(std::string::npos, traces.find(line)) << line;
    for (const auto &file : TraceFiles(pid))
        DeleteFileA(file.c_str());
}

TEST_F(FlowsTest, QuitDuringAPropagationEndsCleanlyAndARestartWaitsForIt)
{
    ASSERT_EQ(0, control("latency 1500"));
    TrayProcess first;
    ASSERT_TRUE(first.Start());
    HWND frame = first.WaitWindow(20000);
    ASSERT_TRUE(frame);
    ASSERT_TRUE(
        WaitUntil([&] { return ReadText(log).find("CryptPropCert openSession start") != std::string::npos; },
                  kFirstScanMs));
    first.Close();
    ASSERT_TRUE(
        WaitUntil([&] { return GetPropA(frame, "ZEB.closing") != nullptr || !first.Running(); }, 10000));
    // Started while the first one is still closing: it waits, then runs.
    TrayProcess second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(0, first.Wait(60000));
    EXPECT_TRUE(second.WaitWindow(30000)) << "the restarted instance gave up";
    ASSERT_EQ(0, control("latency 0"));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    // Quit while a full re-initialisation (slow card) waits for the poll
    // thread and reads the card again: every worker ends, nothing is left.
    ASSERT_EQ(0, control("latency 700"));
    HWND secondFrame = FrameOf(second.pid());
    PostMessageA(secondFrame, WM_COMMAND, ID_MYTRAY_REFRESH, 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadText(log).find("reinit thread started full=1") != std::string::npos; }, kPollMs));
    second.Close();
    EXPECT_EQ(0, second.Wait(60000));
    EXPECT_TRUE(BoundDers().empty());
}

// Two starts at the same moment (a double click, a Run key beside the
// Startup folder): one runs, the other ends at once, whichever wins.
TEST_F(FlowsTest, TwoStartsAtTheSameMomentGiveOneInstance)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        TrayProcess a, b;
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        ASSERT_TRUE(WaitUntil([&] { return !a.Running() || !b.Running(); }, 20000)) << "both run";
        TrayProcess &kept = a.Running() ? a : b, &refused = a.Running() ? b : a;
        EXPECT_EQ(0, refused.Wait(0));
        ASSERT_TRUE(kept.WaitWindow(20000));
        EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
        kept.Close();
        EXPECT_EQ(0, kept.Wait(30000));
        EXPECT_TRUE(BoundDers().empty());
    }
}

// Messages anyone may post to the frame: a repeated start of the workers, a
// power-setting notice whose data pointer is garbage. Neither hangs nor
// ends the program; it still follows the card and closes cleanly.
TEST_F(FlowsTest, RepeatedOrForgedMessagesNeitherHangNorCrash)
{
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    HWND frame = tray.WaitWindow(20000);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    struct Forged {
        UINT message;
        WPARAM w;
        LPARAM l;
    } forged[] = {
        {WM_USER + 2, 0, 0},
        {WM_USER + 2, 0, 0},
        {WM_POWERBROADCAST, 0x8013 /* PBT_POWERSETTINGCHANGE */, 0x1234},
        {WM_POWERBROADCAST, 0x8013, static_cast<LPARAM>(-1)},
        {WM_POWERBROADCAST, 0x8013, 0},
    };
    for (const Forged &f : forged)
        PostMessageA(frame, f.message, f.w, f.l);
    // The window's thread still answers (a sent message waits for it).
    DWORD_PTR answer = 0;
    EXPECT_TRUE(
        SendMessageTimeoutA(frame, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, vel_test::ScaledMs(10000), &answer));
    EXPECT_TRUE(tray.Running());
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Bound({}, kPollMs));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kPollMs));
    tray.Close();
    EXPECT_EQ(0, tray.Wait(30000));
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_NE(std::string::npos,
              ReadText(log).find("[ZEB] WM_POWERBROADCAST PBT_POWERSETTINGCHANGE posted, data ignored"));
}

} // namespace

namespace {

// "Rafraîchir" in event-driven mode restarts the program through cmd.exe:
// the new instance waits for the old one to finish closing, then runs.
TEST_F(FlowsTest, RefreshInEventDrivenModeRestartsTheProgram)
{
    SetUserDword("patch_fido_v4", 1);
    TrayProcess first;
    ASSERT_TRUE(first.Start());
    HWND frame = first.WaitWindow(20000);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    PostMessageA(frame, WM_COMMAND, ID_MYTRAY_REFRESH, 0);
    EXPECT_EQ(0, first.Wait(30000)) << "the old instance ends";
    DWORD restarted = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            HWND w = FindWindowA(nullptr, "ZEB_QUVVEL");
            if (w)
                GetWindowThreadProcessId(w, &restarted);
            return w && restarted != first.pid();
        },
        30000))
        << "no new instance";
    EXPECT_TRUE(Bound(Certs({"auth", "sign"}), kFirstScanMs));
    EXPECT_NE(std::string::npos,
              ReadText(log).find("[ZEB] OnMytrayRefresh : restart ZEB (patch actif, event-driven)"));
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, restarted);
    ASSERT_TRUE(process);
    PostMessageA(FrameOf(restarted), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, 30000));
    CloseHandle(process);
    EXPECT_TRUE(BoundDers().empty());
}

} // namespace

namespace {

// A copy of ZEB.exe in a folder of the temporary folder whose name the ANSI
// code page cannot write (Greek and CJK letters); removed with its folder.
struct ForeignFolderCopy {
    std::wstring folder, exe;
    bool made = false;
    ForeignFolderCopy()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"zeb-\u0394\u03bf\u03ba\u03b9\u03bc\u03ae-\u6e2c\u8a66-" +
                 std::to_wstring(GetCurrentProcessId());
        exe = folder + L"\\ZEB.exe";
        const char *from = getenv("ZEB_EXE");
        wchar_t source[MAX_PATH] = L"";
        made = from && MultiByteToWideChar(CP_ACP, 0, from, -1, source, MAX_PATH) > 0 &&
               CreateDirectoryW(folder.c_str(), nullptr) && CopyFileW(source, exe.c_str(), FALSE);
    }
    ~ForeignFolderCopy()
    {
        DeleteFileW(exe.c_str());
        DeleteFileW((exe + L".moved").c_str());
        RemoveDirectoryW(folder.c_str());
    }
};

bool SamePath(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// "Relancer ZEB" chosen from the tray's menu starts the program again from
// where it runs, a folder whose name is outside the ANSI code page too. When
// the program cannot be started again, the running instance stays, with the
// card's certificates, instead of ending for good.
TEST_F(FlowsTest, RestartFromTheMenuComesBackFromAnyFolder)
{
    SetUserDword("patch_fido_v4", 1);
    const auto certs = Certs({"auth", "sign"});
    ForeignFolderCopy copy;
    ASSERT_TRUE(copy.made);
    TrayProcess first;
    ASSERT_TRUE(first.Start(copy.exe));
    ASSERT_TRUE(first.WaitWindow(20000));
    EXPECT_TRUE(Bound(certs, kFirstScanMs));
    ASSERT_TRUE(ChooseTrayMenuItem(first.pid(), 1)); // "Relancer ZEB"
    EXPECT_EQ(0, first.Wait(30000)) << "the old instance ends";
    DWORD restarted = WaitOtherInstance(first.pid(), 30000);
    ASSERT_NE(0ul, restarted) << "no new instance\n" << ReadText(log);
    EXPECT_TRUE(SamePath(copy.exe, ImagePath(restarted))) << "started from its own folder";
    EXPECT_TRUE(Bound(certs, kFirstScanMs)) << "and propagates";
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, restarted);
    ASSERT_TRUE(process);

    // The program's file gone (renamed), then replaced by one that does not
    // start: each restart falls back, the instance and the store stay.
    struct Case {
        const char *what;
        bool replaced;
        const char *line;
    } cases[] = {
        {"renamed", false, "[ZEB] OnMytrayRefresh : program file unusable"},
        {"not a program", true, "[ZEB] OnMytrayRefresh : restart FAILED exit="},
    };
    ASSERT_TRUE(MoveFileW(copy.exe.c_str(), (copy.exe + L".moved").c_str()));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.replaced) {
            HANDLE f = CreateFileW(copy.exe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, f);
            DWORD n = 0;
            WriteFile(f, "not a program", 13, &n, nullptr);
            CloseHandle(f);
        }
        ASSERT_TRUE(ChooseTrayMenuItem(restarted, 1));
        EXPECT_TRUE(WaitUntil([&] { return ReadText(log).find(c.line) != std::string::npos; }, kPollMs))
            << c.line;
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process, 0)) << "the instance stays";
        EXPECT_EQ(certs, BoundDers()) << "with the card's certificates";
        HWND frame = FrameOf(restarted);
        EXPECT_EQ(nullptr, GetPropA(frame, "ZEB.closing")) << "not taken for a closing instance";
    }
    // The program back in place: the next restart works again.
    ASSERT_TRUE(DeleteFileW(copy.exe.c_str()));
    ASSERT_TRUE(MoveFileW((copy.exe + L".moved").c_str(), copy.exe.c_str()));
    ASSERT_TRUE(ChooseTrayMenuItem(restarted, 1));
    EXPECT_TRUE(WaitUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, 30000));
    CloseHandle(process);
    DWORD third = WaitOtherInstance(restarted, 30000);
    ASSERT_NE(0ul, third);
    EXPECT_TRUE(Bound(certs, kFirstScanMs));
    process = OpenProcess(SYNCHRONIZE, FALSE, third);
    PostMessageA(FrameOf(third), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, 30000));
    CloseHandle(process);
    EXPECT_TRUE(BoundDers().empty());
}

// A double click on the tray icon opens the reader-state dialog in the
// middle of the desktop, and again there after "Fermer"; once the user has
// moved it, where it was left.
TEST_F(FlowsTest, TheReaderStateDialogOpensCentredOnTheDesktop)
{
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(tray.WaitWindow(20000));
    HWND icon = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (icon = TrayIconWindow(tray.pid())) != nullptr; }, 10000));
    RECT desktop, work;
    GetWindowRect(GetDesktopWindow(), &desktop);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    for (int opening = 1; opening <= 2; ++opening) {
        SCOPED_TRACE(opening);
        PostMessageA(icon, WM_USER + 1, 130, WM_LBUTTONDBLCLK);
        HWND dlg = driver::WaitWindow(tray.pid(), "Etat des lecteurs de carte VEL", 10000, true);
        ASSERT_TRUE(dlg);
        RECT box;
        ASSERT_TRUE(GetWindowRect(dlg, &box));
        EXPECT_GT(box.right - box.left, 0);
        EXPECT_TRUE(box.left >= desktop.left && box.top >= desktop.top && box.right <= desktop.right &&
                    box.bottom <= desktop.bottom)
            << "within the desktop";
        EXPECT_NEAR((work.left + work.right) / 2, (box.left + box.right) / 2, 2)
            << "dialog " << box.left << "," << box.top << " - " << box.right << "," << box.bottom
            << ", desktop " << desktop.right << "x" << desktop.bottom;
        EXPECT_NEAR((work.top + work.bottom) / 2, (box.top + box.bottom) / 2, 2);
        if (opening == 2) // moved by the user: it opens again where it was left
            SetWindowPos(dlg, nullptr, 40, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        driver::Click(dlg, IDOK); // "Fermer" hides it
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(dlg); }, 10000));
    }
    PostMessageA(icon, WM_USER + 1, 130, WM_LBUTTONDBLCLK);
    HWND dlg = driver::WaitWindow(tray.pid(), "Etat des lecteurs de carte VEL", 10000, true);
    ASSERT_TRUE(dlg);
    RECT box;
    ASSERT_TRUE(GetWindowRect(dlg, &box));
    EXPECT_EQ(40, box.left);
    EXPECT_EQ(30, box.top);
    tray.Close();
    EXPECT_EQ(0, tray.Wait(30000));
}

} // namespace
