// The class layer on its own, under Wine with a display: routing, the modal
// loop's quit and close rules, data exchange, bitmap buttons and reflection.
#include <gtest/gtest.h>

#include <functional>

#include "classlib/classlib.h"
#include "classlib_test_ids.h"

namespace {

const UINT WM_STEP = WM_APP + 1; // runs the test's next step inside the loop
const UINT WM_STEP2 = WM_APP + 2;

class TestApp : public cl::CWinApp {
public:
    int appCommands = 0;
    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {cl::OnCommand<&TestApp::OnAppCommand>(ID_APP_COMMAND)};
        static const cl::MessageMap map(CWinApp::GetMessageMap(), entries);
        return &map;
    }

private:
    void OnAppCommand() { ++appCommands; }
};
TestApp theApp;

// A dialog whose steps are given by the test.
class TestDlg : public cl::CDialog {
public:
    explicit TestDlg(UINT id = IDD_FULL) : CDialog(id) {}
    std::function<void(TestDlg &)> onInit, onStep, onStep2;
    int cancels = 0, commands = 0, drawn = 0;
    int check = 0;
    std::string text;
    cl::CButton checkBox;
    HBRUSH editBrush = nullptr;

    const cl::MessageMap *GetMessageMap() const override
    {
        static const cl::MessageEntry entries[] = {
            cl::OnCommand<&TestDlg::OnCmd>(IDC_CMD),
            cl::OnMessage<&TestDlg::OnStepMsg>(WM_STEP),
            cl::OnMessage<&TestDlg::OnStep2Msg>(WM_STEP2),
        };
        static const cl::MessageMap map(CDialog::GetMessageMap(), entries);
        return &map;
    }
    void DoDataExchange(cl::CDataExchange *dx) override
    {
        if (m_templateId != IDD_FULL)
            return;
        cl::DDX_Control(dx, IDC_CHECK, checkBox);
        cl::DDX_Check(dx, IDC_CHECK, check);
        cl::DDX_Text(dx, IDC_EDIT, text);
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        if (onInit)
            onInit(*this);
        return TRUE;
    }
    void OnCancel() override
    {
        ++cancels;
        CDialog::OnCancel();
    }
    HBRUSH OnCtlColor(HDC dc, HWND child, UINT type) override
    {
        return type == CTLCOLOR_EDIT ? editBrush : nullptr;
    }

private:
    void OnCmd() { ++commands; }
    LRESULT OnStepMsg(WPARAM, LPARAM)
    {
        if (onStep)
            onStep(*this);
        return 0;
    }
    LRESULT OnStep2Msg(WPARAM, LPARAM)
    {
        if (onStep2)
            onStep2(*this);
        return 0;
    }
};

class CountingButton : public cl::CButton {
public:
    int draws = 0;
    void DrawItem(DRAWITEMSTRUCT *) override { ++draws; }
};

TEST(ClassLayer, CommandsGoToTheDialogThenToTheApplication)
{
    TestDlg dlg;
    theApp.appCommands = 0;
    dlg.onInit = [](TestDlg &d) {
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDC_CMD, BN_CLICKED), (LPARAM)d.GetDlgItem(IDC_CMD));
        d.PostMessage(WM_COMMAND, ID_APP_COMMAND, 0); // a menu command only the application handles
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDC_CMD, EN_CHANGE), 0); // another notification: not a command
        d.PostMessage(WM_STEP);
    };
    dlg.onStep = [](TestDlg &d) { d.EndDialog(42); };
    EXPECT_EQ(42, dlg.DoModal());
    EXPECT_EQ(1, dlg.commands);
    EXPECT_EQ(1, theApp.appCommands);
    EXPECT_EQ(0, dlg.cancels);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
}

TEST(ClassLayer, QuitEndsTheModalLoopWithoutOnCancelAndReachesTheOuterLoop)
{
    TestDlg dlg;
    dlg.onInit = [](TestDlg &) { ::PostQuitMessage(7); };
    EXPECT_EQ(-1, dlg.DoModal());
    EXPECT_EQ(0, dlg.cancels);
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
}

TEST(ClassLayer, QuitInANestedDialogEndsBothLoops)
{
    TestDlg outer, inner;
    INT_PTR innerResult = 0;
    outer.onInit = [](TestDlg &d) { d.PostMessage(WM_STEP); };
    outer.onStep = [&](TestDlg &d) {
        inner.onInit = [](TestDlg &) { ::PostQuitMessage(3); };
        innerResult = inner.DoModal();
    };
    EXPECT_EQ(-1, outer.DoModal());
    EXPECT_EQ(-1, innerResult);
    EXPECT_EQ(0, outer.cancels + inner.cancels);
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(3u, msg.wParam);
}

// A close is a cancel only while the cancel control is enabled; without a
// cancel control at all, it is a cancel.
TEST(ClassLayer, CloseFollowsTheCancelControl)
{
    struct Case {
        UINT templ;
        bool disableCancel;
        INT_PTR result;
        int cancels;
    } cases[] = {
        {IDD_FULL, false, IDCANCEL, 1},
        {IDD_FULL, true, 55, 0},
        {IDD_NOCANCEL, false, IDCANCEL, 1},
    };
    for (const Case &c : cases) {
        TestDlg dlg(c.templ);
        dlg.onInit = [&](TestDlg &d) {
            if (c.disableCancel)
                ::EnableWindow(d.GetDlgItem(IDCANCEL), FALSE);
            d.PostMessage(WM_CLOSE);
            d.PostMessage(WM_STEP);
        };
        // Two steps, so that a cancel posted by the close would come first.
        dlg.onStep = [](TestDlg &d) { d.PostMessage(WM_STEP2); };
        dlg.onStep2 = [](TestDlg &d) { d.EndDialog(55); };
        EXPECT_EQ(c.result, dlg.DoModal()) << "template " << c.templ << " disabled " << c.disableCancel;
        EXPECT_EQ(c.cancels, dlg.cancels);
    }
}

TEST(ClassLayer, DataExchangeBindsAndCopiesBothWays)
{
    TestDlg dlg;
    dlg.check = BST_CHECKED;
    dlg.text = "donnée";
    bool shownChecked = false;
    std::string shownText;
    HWND boundTo = nullptr, control = nullptr;
    dlg.onInit = [&](TestDlg &d) {
        boundTo = d.checkBox.m_hWnd;
        control = d.GetDlgItem(IDC_CHECK);
        shownChecked = d.checkBox.GetCheck() == BST_CHECKED;
        shownText = d.GetDlgItemText(IDC_EDIT);
        d.checkBox.SetCheck(BST_UNCHECKED);
        d.SetDlgItemText(IDC_EDIT, "saisie");
        d.PostMessage(WM_COMMAND, IDOK, 0);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_NE(nullptr, boundTo);
    EXPECT_EQ(control, boundTo);
    EXPECT_TRUE(shownChecked);
    EXPECT_EQ("donnée", shownText);
    EXPECT_EQ(BST_UNCHECKED, dlg.check);
    EXPECT_EQ("saisie", dlg.text);
    EXPECT_EQ(nullptr, dlg.checkBox.m_hWnd); // let go with the window
}

COLORREF PixelOf(cl::CBitmapButton &button, UINT state)
{
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    HBITMAP target = ::CreateCompatibleBitmap(screen, 8, 8);
    HGDIOBJ old = ::SelectObject(mem, target);
    DRAWITEMSTRUCT dis{};
    dis.CtlType = ODT_BUTTON;
    dis.hDC = mem;
    dis.itemState = state;
    dis.rcItem = {0, 0, 8, 8};
    button.DrawItem(&dis);
    COLORREF c = ::GetPixel(mem, 4, 4);
    ::SelectObject(mem, old);
    ::DeleteObject(target);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    return c;
}

TEST(ClassLayer, BitmapButtonLoadsItsFourBitmapsFromTheCaption)
{
    TestDlg dlg;
    cl::CBitmapButton button, missing;
    bool loaded = false, missingLoaded = true;
    RECT r{};
    COLORREF up = 0, down = 0, focus = 0, disabled = 0;
    dlg.onInit = [&](TestDlg &d) {
        loaded = button.AutoLoad(IDC_BITMAP, &d);
        missingLoaded = missing.AutoLoad(IDC_NOBITMAP, &d);
        ::GetClientRect(button.m_hWnd, &r);
        up = PixelOf(button, 0);
        down = PixelOf(button, ODS_SELECTED);
        focus = PixelOf(button, ODS_FOCUS);
        disabled = PixelOf(button, ODS_DISABLED | ODS_FOCUS);
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(loaded);
    EXPECT_FALSE(missingLoaded);
    EXPECT_EQ(8, r.right);
    EXPECT_EQ(8, r.bottom);
    EXPECT_EQ(RGB(255, 0, 0), up);
    EXPECT_EQ(RGB(0, 255, 0), down);
    EXPECT_EQ(RGB(0, 0, 255), focus);
    EXPECT_EQ(RGB(128, 128, 128), disabled);
}

TEST(ClassLayer, OwnerDrawAndColoursAreReflectedToTheObjects)
{
    TestDlg dlg;
    CountingButton button;
    cl::CBrush brush(RGB(1, 2, 3));
    dlg.editBrush = brush;
    LRESULT editAnswer = 0, staticAnswer = 1;
    dlg.onInit = [&](TestDlg &d) {
        button.SubclassDlgItem(IDC_OWNERDRAW, &d);
        d.PostMessage(WM_STEP);
    };
    dlg.onStep = [&](TestDlg &d) {
        ::RedrawWindow(button.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        HDC dc = ::GetDC(d.m_hWnd);
        editAnswer = d.SendMessage(WM_CTLCOLOREDIT, (WPARAM)dc, (LPARAM)d.GetDlgItem(IDC_EDIT));
        staticAnswer = d.SendMessage(WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)d.GetDlgItem(IDC_CHECK));
        ::ReleaseDC(d.m_hWnd, dc);
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_GT(button.draws, 0);
    EXPECT_EQ((LRESULT)(HBRUSH)brush, editAnswer);
    EXPECT_NE((LRESULT)(HBRUSH)brush, staticAnswer); // left to the default
}

TEST(ClassLayer, FileFiltersBecomeNulSeparatedLists)
{
    using std::string;
    struct {
        const char *in;
        string out;
    } cases[] = {
        {"Certificats (*.crt)|*.crt|All Files (*.*)|*.*||",
         string("Certificats (*.crt)\0*.crt\0All Files (*.*)\0*.*\0\0", 47)},
        {"A|*.a", string("A\0*.a\0\0", 7)},
        {"A|*.a|", string("A\0*.a\0\0", 7)},
        {"", string()},
        {nullptr, string()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.out, cl::FilterFromBars(c.in)) << (c.in ? c.in : "(null)");
}

} // namespace
