// The hidden frame (made from one resource id, found by its title, its map
// reached from WM_CREATE, closed into the end of the message loop and its
// own deletion), windows made by CreateEx, and the notification-area icon.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "classlib/classlib.h"
#include "timeout_scale.h"
#include "classlib_test_ids.h"

namespace {

const UINT WM_FRAME_STEP = WM_USER + 2;

// How long a test waits for what it needs before it gives up: long enough
// for a loaded or emulated machine (the machine's factor multiplies it).
DWORD PatienceMs()
{
    return vel_test::ScaledMs(20000);
}

class TestFrame : public cl::CFrameWnd {
public:
    static int alive;
    std::string titleAtCreate;
    int createResult = 0;
    int steps = 0;
    bool *deleted = nullptr;

    TestFrame() { ++alive; }
    ~TestFrame() override
    {
        --alive;
        if (deleted)
            *deleted = true;
    }
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {
            cl::OnMessage<&TestFrame::OnCreate>(WM_CREATE),
            cl::OnMessage<&TestFrame::OnStep>(WM_FRAME_STEP),
        };
        static const cl::MessageMap map(CFrameWnd::GetMessageMap(), entries);
        return &map;
    }

private:
    LRESULT OnCreate(WPARAM w, LPARAM l)
    {
        if (CFrameWnd::OnCreate(w, l) == -1)
            return -1;
        titleAtCreate = GetWindowText();
        return createResult;
    }
    LRESULT OnStep(WPARAM, LPARAM)
    {
        ++steps;
        return 0;
    }
};
int TestFrame::alive = 0;

void CALLBACK GiveUp(HWND, UINT, UINT_PTR, DWORD)
{
    PostQuitMessage(-1);
}

// Runs the thread's message loop until WM_QUIT; its exit code, or -1 when
// nothing ended it in time.
int RunUntilQuit()
{
    UINT_PTR guard = SetTimer(nullptr, 0, PatienceMs(), &GiveUp);
    MSG msg;
    int code = -1;
    while (true) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            code = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break;
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, guard);
    return code;
}

TEST(Frame, HiddenFrameFoundByTitleThenClosedIntoTheEndOfTheLoop)
{
    cl::CWinApp *app = cl::AfxGetApp();
    ASSERT_NE(app, nullptr);
    bool deleted = false;
    auto *frame = new TestFrame;
    frame->deleted = &deleted;
    app->m_pMainWnd = frame;
    ASSERT_TRUE(frame->LoadFrame(IDR_FRAME));
    EXPECT_EQ(frame->titleAtCreate, "Cadre"); // the string of the frame's id
    EXPECT_FALSE(frame->IsWindowVisible());
    EXPECT_NE(frame->GetMenu(), nullptr);
    EXPECT_NE(GetClassLongPtrA(frame->m_hWnd, GCLP_HICON), 0);
    frame->SetWindowText("CADRE_TEST_UNIQUE");
    HWND hwnd = frame->m_hWnd;
    EXPECT_EQ(FindWindowA(nullptr, "CADRE_TEST_UNIQUE"), hwnd);

    frame->PostMessage(WM_FRAME_STEP);
    frame->PostMessage(WM_CLOSE);
    EXPECT_EQ(RunUntilQuit(), 0);
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(app->m_pMainWnd, nullptr);
    EXPECT_EQ(FindWindowA(nullptr, "CADRE_TEST_UNIQUE"), nullptr);
}

// A frame whose OnCreate refuses: LoadFrame is FALSE and the frame is
// already gone; one that is not the main window closes without ending the loop.
TEST(Frame, RefusedCreateAndAFrameThatIsNotTheMainWindow)
{
    int before = TestFrame::alive;
    auto *refused = new TestFrame;
    refused->createResult = -1;
    EXPECT_FALSE(refused->LoadFrame(IDR_FRAME));
    EXPECT_EQ(TestFrame::alive, before);

    auto *side = new TestFrame;
    ASSERT_TRUE(side->LoadFrame(IDR_FRAME));
    side->SendMessage(WM_CLOSE);
    EXPECT_EQ(TestFrame::alive, before);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

class PlainWnd : public cl::CWnd {
public:
    int creates = 0;
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {cl::OnMessage<&PlainWnd::OnCreate>(WM_CREATE)};
        static const cl::MessageMap map(CWnd::GetMessageMap(), entries);
        return &map;
    }

private:
    LRESULT OnCreate(WPARAM, LPARAM)
    {
        ++creates;
        return 0;
    }
};

TEST(Frame, CreateExBindsFromTheFirstMessageAndTheWindowGoesWithTheObject)
{
    const char *cls = cl::AfxRegisterWndClass(0);
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(cl::AfxRegisterWndClass(0), cls); // registered once
    HWND hwnd = nullptr;
    {
        PlainWnd wnd;
        ASSERT_TRUE(wnd.CreateEx(0, cls, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
        EXPECT_EQ(wnd.creates, 1);
        hwnd = wnd.m_hWnd;
        EXPECT_EQ(cl::CWnd::FromHandle(hwnd), &wnd);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(wnd.CreateEx(0, cls, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr)); // already bound
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(IsWindow(hwnd));

    // A class that does not exist: the platform's own error for it.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateWindowExA(0, "cl:no such class", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    DWORD platformError = GetLastError();
    EXPECT_NE(platformError, 0xdeadbeefu);
    PlainWnd nowhere;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(nowhere.CreateEx(0, "cl:no such class", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), platformError);
    EXPECT_EQ(nowhere.m_hWnd, nullptr);
}

TEST(NotifyIcon, AddedChangedAndRemovedOnlyWhileTheShellHasIt)
{
    PlainWnd owner;
    ASSERT_TRUE(owner.CreateEx(0, cl::AfxRegisterWndClass(0), "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
    cl::CNotifyIcon tray;
    // The data up to the balloon fields, as each width lays it out.
#ifdef _WIN64
    EXPECT_EQ(tray.m_nid.cbSize, 520u);
#else
    EXPECT_EQ(tray.m_nid.cbSize, 504u);
#endif
    // Nothing sent before the icon is added.
    EXPECT_FALSE(tray.SetTip("avant"));
    EXPECT_FALSE(tray.SetIcon(icon));
    EXPECT_FALSE(tray.Delete());

    const std::string longTip(300, 'x');
    ASSERT_TRUE(tray.Add(owner.m_hWnd, 130, WM_USER + 1, icon, longTip.c_str()));
    EXPECT_TRUE(tray.IsAdded());
    EXPECT_EQ(std::string(tray.m_nid.szTip), longTip.substr(0, sizeof tray.m_nid.szTip - 1));
    EXPECT_FALSE(tray.Add(owner.m_hWnd, 130, WM_USER + 1, icon, "deux fois"));
    EXPECT_TRUE(tray.SetTip("Gestionnaire de certificat VEL\r\nAucune carte VEL présente..."));
    EXPECT_TRUE(tray.SetIcon(LoadIconA(nullptr, IDI_INFORMATION)));
    EXPECT_TRUE(tray.Delete());
    EXPECT_FALSE(tray.IsAdded());
    EXPECT_FALSE(tray.Delete());
}

} // namespace
