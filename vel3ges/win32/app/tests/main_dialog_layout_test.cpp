// The main dialog's template as the program carries it: the buttons of the
// bottom band, all shown as when a pane is on display, each show their
// whole caption and none covers another.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>

#include "../resource.h"

namespace {

INT_PTR CALLBACK QuietDialog(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

struct Button {
    int id;
    RECT rect;        // dialog client coordinates
    std::string text; // without the '&'
    int textWidth;    // in pixels, with the dialog's font
};

class MainDialogLayout : public ::testing::Test {
protected:
    HMODULE resources = nullptr;
    HWND dlg = nullptr;

    void SetUp() override
    {
        const char *exe = std::getenv("VLMGR_EXE");
        ASSERT_NE(nullptr, exe) << "VLMGR_EXE not set";
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        SetLastError(0xdeadbeef);
        resources = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, resources) << exe << " " << GetLastError();
        dlg = CreateDialogParamA(resources, MAKEINTRESOURCEA(IDD_MAIN), nullptr, QuietDialog, 0);
        ASSERT_NE(nullptr, dlg);
    }
    void TearDown() override
    {
        if (dlg)
            DestroyWindow(dlg);
        if (resources)
            FreeLibrary(resources);
    }
    Button Measure(int id)
    {
        Button b{id, {}, {}, 0};
        HWND item = GetDlgItem(dlg, id);
        GetWindowRect(item, &b.rect);
        MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT *>(&b.rect), 2);
        char text[64] = {};
        GetWindowTextA(item, text, sizeof text);
        for (const char *p = text; *p; ++p)
            if (*p != '&')
                b.text += *p;
        HDC dc = GetDC(item);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(dlg, WM_GETFONT, 0, 0)));
        RECT r{0, 0, 0, 0};
        DrawTextA(dc, text, -1, &r, DT_CALCRECT | DT_SINGLELINE);
        SelectObject(dc, old);
        ReleaseDC(item, dc);
        b.textWidth = r.right - r.left;
        return b;
    }
};

TEST_F(MainDialogLayout, BottomBandButtonsShowTheirWholeCaptionsAndDoNotOverlap)
{
    // A push button keeps a few pixels on each side for its edge and focus frame.
    RECT margin{0, 0, 3, 0};
    MapDialogRect(dlg, &margin);
    const int edge = margin.right > 3 ? margin.right : 3;
    RECT client;
    GetClientRect(dlg, &client);
    const int ids[] = {IDC_SHOW_JOURNAL, IDC_SHOW_DATA, IDC_SHOW_DIAG,
                       IDC_SHOW_TRACE,   IDC_PRINT,     IDC_CLOSE_PANE};
    Button buttons[6];
    for (int i = 0; i < 6; ++i)
        buttons[i] = Measure(ids[i]);
    for (int i = 0; i < 6; ++i) {
        const Button &b = buttons[i];
        const int room = b.rect.right - b.rect.left - 2 * edge;
        EXPECT_LE(b.textWidth, room) << "\"" << b.text << "\": text " << b.textWidth << " px, room " << room
                                     << " px";
        EXPECT_GE(b.rect.left, client.left) << b.text;
        EXPECT_LE(b.rect.right, client.right) << b.text;
        for (int j = i + 1; j < 6; ++j) {
            RECT common;
            EXPECT_FALSE(IntersectRect(&common, &b.rect, &buttons[j].rect))
                << b.text << " / " << buttons[j].text;
        }
    }
}

// The reader line holds the longest reader name PKCS#11 gives (64
// characters) whole: every line of its wrapped text within the static.
TEST_F(MainDialogLayout, ReaderLineHoldsTheLongestReaderName)
{
    HWND item = GetDlgItem(dlg, IDC_READER_LINE);
    ASSERT_NE(nullptr, item);
    RECT rect;
    GetClientRect(item, &rect);
    const char *names[] = {
        "SCM Microsystems Inc. SCR33x USB Smart Card Reader with PINpad 0",
        "WWWWWWW WWWWWWW WWWWWWW WWWWWWW WWWWWWW WWWWWWW WWWWWWW WWWWWWW ",
        "Lecteur de cartes a puce Ovrane modele VEL-3000 USB, port 1 : 00",
    };
    HDC dc = GetDC(item);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(dlg, WM_GETFONT, 0, 0)));
    for (const char *name : names) {
        ASSERT_EQ(64u, std::string(name).size()) << name;
        std::string line = std::string("LECTEUR EN COURS : ") + name;
        RECT needed{0, 0, rect.right, 0};
        DrawTextA(dc, line.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        EXPECT_LE(needed.bottom, rect.bottom) << name;
        EXPECT_LE(needed.right, rect.right) << name;
    }
    SelectObject(dc, old);
    ReleaseDC(item, dc);
}

} // namespace
