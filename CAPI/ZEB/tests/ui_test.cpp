// The tray's user surface in this process: the icon's animation and status
// icons, its popup menu and double click, the reader-state dialog, the about
// box and its version lookups.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "AboutDlg.h"
#include "resource.h"
#include "ReaderStateDlg.h"
#include "store_view.h"
#include "Tray.h"

using namespace zeb;
using zebtest::WaitUntil;

namespace {

// Serves this thread's messages until `pred` holds (bounded, scaled).
bool PumpUntil(const std::function<bool()> &pred, DWORD ms = 5000)
{
    return WaitUntil(
        [&] {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            return pred();
        },
        ms);
}

// The window that receives the tray's commands.
struct Target {
    static std::vector<UINT> commands;
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
    {
        if (m == WM_COMMAND)
            commands.push_back(LOWORD(wp));
        return DefWindowProcA(w, m, wp, lp);
    }
    HWND hwnd;
    Target()
    {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "ZebUiTestTarget";
        RegisterClassA(&wc);
        hwnd = CreateWindowA("ZebUiTestTarget", "target", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
        commands.clear();
    }
    ~Target() { DestroyWindow(hwnd); }
};
std::vector<UINT> Target::commands;

HICON Icon(UINT id)
{
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
}

TEST(Tray, AnimationRunsAndAStatusIconStaysOnceItStops)
{
    Target target;
    CTray tray;
    HICON first = Icon(IDI_TRAY);
    ASSERT_TRUE(tray.Create(target.hwnd, first, "Ovrane Token Manager"));
    ASSERT_TRUE(tray.IsAdded());
    ASSERT_TRUE(tray.SetIconList({IDI_TRAY, IDI_TRAY_BUSY}));
    ASSERT_TRUE(tray.Animate());
    // The frames follow each other: the icon changes away from the first.
    EXPECT_TRUE(PumpUntil([&] { return tray.CurrentIcon() != first; }));
    EXPECT_TRUE(PumpUntil([&] { return tray.CurrentIcon() != first; }));

    // A status icon: the animation stops first, then the status icon shows
    // and no later tick or restore covers it.
    HICON status = Icon(IDI_SYNCHRONISED);
    EXPECT_TRUE(tray.StopAnimation());
    EXPECT_EQ(first, tray.CurrentIcon()) << "the icon shown before the animation is put back";
    EXPECT_TRUE(tray.SetIcon(status));
    EXPECT_FALSE(tray.Animating());
    static int ticks;
    ticks = 0;
    UINT_PTR clock = SetTimer(target.hwnd, 5, 250, [](HWND, UINT, UINT_PTR, DWORD) { ++ticks; });
    ASSERT_NE(0u, clock);
    // Two animation periods pass on this thread's clock.
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }));
    KillTimer(target.hwnd, 5);
    EXPECT_EQ(status, tray.CurrentIcon());
    EXPECT_FALSE(tray.StopAnimation()) << "nothing left to stop";
    EXPECT_EQ(status, tray.CurrentIcon());

    // Another icon id or a move of the mouse: nothing happens.
    EXPECT_EQ(0, tray.OnTrayNotification(131, WM_LBUTTONDBLCLK));
    EXPECT_EQ(1, tray.OnTrayNotification(kTrayIconId, WM_MOUSEMOVE));
    EXPECT_TRUE(Target::commands.empty());
    // A double click sends the default item: the reader-state dialog.
    EXPECT_EQ(1, tray.OnTrayNotification(kTrayIconId, WM_LBUTTONDBLCLK));
    EXPECT_EQ(std::vector<UINT>{ID_LIST_READERS}, Target::commands);
}

// The items of the open popup menu, read by another thread, which then
// moves the selection down to `choose` and presses Enter.
struct MenuDriver {
    std::vector<std::string> items;
    std::atomic<bool> done{false};
    std::thread worker;
    explicit MenuDriver(const char *choose)
    {
        worker = std::thread([this, choose] {
            HWND menuWnd = nullptr;
            WaitUntil([&] { return (menuWnd = FindWindowA("#32768", nullptr)) && IsWindowVisible(menuWnd); },
                      10000);
            HMENU menu =
                menuWnd ? reinterpret_cast<HMENU>(SendMessageA(menuWnd, MN_GETHMENU, 0, 0)) : nullptr;
            if (!menu) {
                done = true;
                return;
            }
            int chosen = -1;
            for (int i = 0; i < GetMenuItemCount(menu); ++i) {
                char text[128] = "";
                GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
                items.push_back(text);
                if (items.back() == choose)
                    chosen = i;
            }
            // Down until the wanted item is lit, then Enter.
            auto lit = [&] {
                for (int i = 0; i < GetMenuItemCount(menu); ++i)
                    if (GetMenuState(menu, i, MF_BYPOSITION) & MF_HILITE)
                        return i;
                return -1;
            };
            for (int step = 0; step < 10 && chosen >= 0 && lit() != chosen; ++step) {
                int before = lit();
                PostMessageA(menuWnd, WM_KEYDOWN, VK_DOWN, 0);
                WaitUntil([&] { return lit() != before; }, 2000);
            }
            PostMessageA(menuWnd, WM_KEYDOWN, chosen >= 0 ? VK_RETURN : VK_ESCAPE, 0);
            done = true;
        });
    }
    ~MenuDriver()
    {
        if (worker.joinable())
            worker.join();
    }
};

TEST(Tray, PopupMenuShowsTheItemsAndSendsTheChosenCommand)
{
    struct Case {
        bool restartMode;
        const char *refreshText;
    } cases[] = {{false, "Rafraîchir"}, {true, "Relancer ZEB"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refreshText);
        Target target;
        CTray tray;
        ASSERT_TRUE(tray.Create(target.hwnd, Icon(IDI_TRAY), "Ovrane Token Manager"));
        tray.SetRestartMode(c.restartMode);
        MenuDriver driver("Quitter");
        EXPECT_EQ(1, tray.OnTrayNotification(kTrayIconId, WM_RBUTTONUP)); // returns once the menu closed
        driver.worker.join();
        std::vector<std::string> expected = {"A propos de ZEB...", c.refreshText,
                                             "Lister l'état des lecteurs...", "", "Quitter"};
        EXPECT_EQ(expected, driver.items);
        EXPECT_TRUE(PumpUntil([] { return !Target::commands.empty(); }));
        EXPECT_EQ(std::vector<UINT>{ID_APP_EXIT}, Target::commands);
    }
}

// The menu's commands are the program's own interface (tests and tools post
// them to the frame): their values stay, and the menu's items carry them.
TEST(Tray, MenuCommandsKeepTheirValues)
{
    EXPECT_EQ(0xE140, ID_APP_ABOUT);
    EXPECT_EQ(0x800A, ID_MYTRAY_REFRESH);
    EXPECT_EQ(0x8009, ID_LIST_READERS);
    EXPECT_EQ(0xE141, ID_APP_EXIT);
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_TRAYICON));
    ASSERT_TRUE(menu);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_TRUE(popup);
    const UINT expected[] = {ID_APP_ABOUT, ID_MYTRAY_REFRESH, ID_LIST_READERS, 0, ID_APP_EXIT};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(expected[i], GetMenuItemID(popup, i)) << i;
    DestroyMenu(menu);
}

// A frame as the dialog sees it.
struct FakeHost : SlotListHost {
    bool stopping = false, fullReInit = false, vel4 = false, autoDetect = true, busy = false;
    int refreshes = 0, toggles = 0;
    std::vector<SlotRow> rows;
    bool Stopping() override { return stopping; }
    bool FullReInitPending() override { return fullReInit; }
    bool Vel4Mode() override { return vel4; }
    bool AutoDetect() override { return autoDetect; }
    bool SlotRows(std::vector<SlotRow> *out) override
    {
        if (busy)
            return false;
        *out = rows;
        return true;
    }
    void Refresh() override { ++refreshes; }
    void ToggleAutoDetect() override
    {
        ++toggles;
        autoDetect = !autoDetect;
    }
};

std::string Padded(const std::string &name)
{
    return name + std::string(64 - name.size(), ' ');
}

std::vector<std::vector<std::string>> Rows(const CSlotList &dlg)
{
    HWND list = GetDlgItem(dlg.m_hWnd, IDC_SLOTLIST_LIST);
    std::vector<std::vector<std::string>> out;
    int n = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    for (int i = 0; i < n; ++i) {
        std::vector<std::string> row;
        for (int col = 0; col < 2; ++col) {
            char text[128] = "";
            LVITEMA item{};
            item.iSubItem = col;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(list, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
            row.push_back(text);
        }
        LVITEMA image{};
        image.mask = LVIF_IMAGE;
        image.iItem = i;
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&image));
        row.push_back(std::to_string(image.iImage));
        out.push_back(row);
    }
    return out;
}

TEST(SlotList, ListsTheReadersEveryHalfSecondAndKeepsThemWhileTheTableIsBusy)
{
    FakeHost host;
    host.rows = {{Padded("Lecteur Ovrane VEL 0"), true},
                 {Padded(""), false},            // 64 blanks: one blank
                 {std::string(64, '\0'), false}, // no description
                 {"Lecteur sans blancs", true}};
    CSlotList dlg(host);
    ASSERT_TRUE(dlg.Create());
    EXPECT_FALSE(dlg.IsWindowVisible()) << "made hidden";
    EXPECT_EQ("Etat des lecteurs de carte VEL", dlg.GetWindowText());
    HWND list = GetDlgItem(dlg.m_hWnd, IDC_SLOTLIST_LIST);
    HIMAGELIST images = reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
    ASSERT_TRUE(images);
    EXPECT_EQ(2, ImageList_GetImageCount(images));
    std::vector<std::vector<std::string>> expected = {
        {"Lecteur Ovrane VEL 0", "Certificats synchronisés.", "1"},
        {" ", "Carte Absente.", "0"},
        {"Lecteur N° 3", "Carte Absente.", "0"},
        {"Lecteur sans blancs", "Certificats synchronisés.", "1"}};
    // The timer fills it, hidden or not.
    EXPECT_TRUE(PumpUntil([&] { return Rows(dlg) == expected; })) << Rows(dlg).size();

    // A busy table: the rows shown stay until it is free again.
    host.busy = true;
    host.rows.pop_back();
    dlg.Fill();
    EXPECT_EQ(expected, Rows(dlg));
    host.busy = false;
    expected.pop_back();
    EXPECT_TRUE(PumpUntil([&] { return Rows(dlg) == expected; }));
    // Stopping: nothing changes any more.
    host.stopping = true;
    host.rows.clear();
    dlg.Fill();
    EXPECT_EQ(expected, Rows(dlg));

    // "Fermer" only hides it.
    dlg.ShowWindow(SW_SHOWNORMAL);
    SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_TRUE(IsWindow(dlg.m_hWnd));
}

TEST(SlotList, ButtonsFollowTheModeAndTheWatching)
{
    struct Case {
        bool vel4, stopping, fullReInit;
        int refreshes;
    } cases[] = {
        {false, false, false, 1}, {false, false, true, 0}, {false, true, false, 0}, {true, false, false, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.vel4 << c.stopping << c.fullReInit);
        FakeHost host;
        host.vel4 = c.vel4;
        CSlotList dlg(host);
        ASSERT_TRUE(dlg.Create());
        dlg.ShowWindow(SW_SHOWNORMAL);
        HWND watch = GetDlgItem(dlg.m_hWnd, IDC_SLOTLIST_WATCH);
        host.stopping = c.stopping;
        host.fullReInit = c.fullReInit;
        SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SLOTLIST_REFRESH, BN_CLICKED), 0);
        EXPECT_EQ(c.refreshes, host.refreshes);
        if (c.vel4) {
            EXPECT_FALSE(IsWindowEnabled(watch));
            EXPECT_EQ("Surveillance auto (patch actif)", dlg.GetDlgItemText(IDC_SLOTLIST_WATCH));
            EXPECT_EQ("Relancer ZEB", dlg.GetDlgItemText(IDC_SLOTLIST_REFRESH));
            continue;
        }
        EXPECT_TRUE(IsWindowEnabled(watch));
        EXPECT_EQ("Rafraîchir", dlg.GetDlgItemText(IDC_SLOTLIST_REFRESH));
        EXPECT_EQ("Désactiver la surveillance des lecteurs", dlg.GetDlgItemText(IDC_SLOTLIST_WATCH));
        SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SLOTLIST_WATCH, BN_CLICKED), 0);
        EXPECT_EQ(1, host.toggles);
        EXPECT_EQ("Activer la surveillance des lecteurs", dlg.GetDlgItemText(IDC_SLOTLIST_WATCH));
        SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SLOTLIST_WATCH, BN_CLICKED), 0);
        EXPECT_EQ("Désactiver la surveillance des lecteurs", dlg.GetDlgItemText(IDC_SLOTLIST_WATCH));
    }
}

// The installed package under its upgrade code, as Windows Installer keeps it.
class Package {
public:
    static constexpr const char *kUpgrade =
        "Software\\Classes\\Installer\\UpgradeCodes\\0D3C7A91B2E84F5A9C61D07E4B28F3A5";
    static constexpr const char *kProduct =
        "Software\\Classes\\Installer\\Products\\5A1B2C3D4E5F60718293A4B5C6D7E8F9";
    Package() { Remove(); }
    ~Package() { Remove(); }
    void Install(const char *productName)
    {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kUpgrade, "5A1B2C3D4E5F60718293A4B5C6D7E8F9", REG_SZ, "", 1);
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kProduct, "ProductName", REG_SZ, productName,
                        strlen(productName) + 1);
    }
    void Remove()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUpgrade);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProduct);
    }
};

TEST(About, ShowsThePackageTheTrayAndTheLibrariesVersions)
{
    const std::string ours = std::string(ZEB_PROJECT_VERSION) + ".0";
    EXPECT_EQ(ours, GetDllProductVersion("vel3_pkcs11_w64.dll"));
    EXPECT_EQ(ours, GetDllProductVersion("winscard.dll"));
    EXPECT_EQ("inconnue", GetDllProductVersion("absent_library.dll"));
    EXPECT_EQ("inconnue", GetDllProductVersion(std::string(300, 'x').c_str()))
        << "a path too long for 260 bytes";

    Package package;
    EXPECT_EQ("inconnue", GetPackageVersion()) << "not installed";
    struct Case {
        const char *name, *version;
    } cases[] = {{"Suite v5.2.3", "05.02.03"}, {"Suite v5.12", "inconnue"}, {"Sorvelo v5.2.3", "00.05.02"}};
    for (const Case &c : cases) {
        package.Install(c.name);
        EXPECT_EQ(c.version, GetPackageVersion()) << c.name;
    }
    // A product name stored without its terminator is read within its bounds.
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, Package::kProduct, "ProductName", REG_SZ,
                    std::string(300, '7').data(), 300);
    EXPECT_EQ("inconnue", GetPackageVersion());
    package.Install("Suite v5.2.3");

    CAboutDlg about;
    ASSERT_TRUE(about.Create());
    EXPECT_EQ("À propos de ZEB (x64)", about.GetWindowText());
    EXPECT_EQ("05.02.03", about.GetDlgItemText(1001));
    EXPECT_EQ("03.14.00", about.GetDlgItemText(1002));
    char sys[MAX_PATH];
    GetSystemDirectoryA(sys, sizeof sys);
    bool provider =
        GetFileAttributesA((std::string(sys) + "\\vel3_csp_w64.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(provider ? ours : "inconnue", about.GetDlgItemText(1003));
    EXPECT_EQ(ours, about.GetDlgItemText(1004));
    // Every static text fits its field, and the box stands in the middle of
    // the screen (the frame it belongs to is never shown).
    EnumChildWindows(
        about.m_hWnd,
        [](HWND child, LPARAM) -> BOOL {
            char text[256] = "", cls[32] = "";
            GetClassNameA(child, cls, sizeof cls);
            GetWindowTextA(child, text, sizeof text);
            if (lstrcmpiA(cls, "Static") != 0 || !text[0] || (GetWindowLongA(child, GWL_STYLE) & SS_CENTER))
                return TRUE;
            RECT r;
            GetClientRect(child, &r);
            HDC dc = GetDC(child);
            HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageA(child, WM_GETFONT, 0, 0));
            SIZE size{};
            GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
            SelectObject(dc, old);
            ReleaseDC(child, dc);
            EXPECT_LE(size.cx, r.right - r.left) << text;
            return TRUE;
        },
        0);
    RECT work, box;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(about.m_hWnd, &box);
    EXPECT_NEAR((work.left + work.right) / 2, (box.left + box.right) / 2, 2);
    EXPECT_NEAR((work.top + work.bottom) / 2, (box.top + box.bottom) / 2, 2);
    about.DestroyWindow();
}

} // namespace
