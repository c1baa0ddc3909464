// "Choix d'un lecteur" on a real window under Wine: what it lists, what it
// selects first, and the slot it gives back on "&Valider" and "&Annuler".
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ChoixLAD.h"
#include "ChoixLADRes.h"

namespace vel {
namespace {

// What the holder does once the dialog is up, run from a thread timer of the
// dialog's own loop.
std::function<void(HWND)> g_holder;
std::string g_seen; // what the dialog showed, for the checks

// This process's dialog only: the card manager's driver tests may show one
// of the same caption on the same display at the same time.
HWND FindChoiceDialog()
{
    for (HWND w = ::FindWindowExA(nullptr, nullptr, nullptr, "Choix d'un lecteur"); w;
         w = ::FindWindowExA(nullptr, w, nullptr, "Choix d'un lecteur")) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        if (pid == ::GetCurrentProcessId())
            return w;
    }
    return nullptr;
}

void CALLBACK OnTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    HWND dlg = FindChoiceDialog();
    if (!dlg)
        return; // not up yet: the timer fires again
    ::KillTimer(nullptr, id);
    g_holder(dlg);
}

std::string ComboItem(HWND combo, int i)
{
    char text[128] = {};
    ::SendMessageA(combo, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
    return text;
}

// Notes the list (count, items, selection), then `then` on the dialog.
bool RunDialog(const std::vector<ReaderEntry> &readers, CK_SLOT_ID &chosen, std::function<void(HWND)> then)
{
    g_seen.clear();
    g_holder = [then](HWND dlg) {
        HWND combo = ::GetDlgItem(dlg, IDC_LISTE_LECTEURS);
        int count = (int)::SendMessageA(combo, CB_GETCOUNT, 0, 0);
        g_seen =
            std::to_string(count) + " sel=" + std::to_string((int)::SendMessageA(combo, CB_GETCURSEL, 0, 0));
        for (int i = 0; i < count; ++i)
            g_seen += " [" + ComboItem(combo, i) + "]";
        then(dlg);
    };
    ::SetTimer(nullptr, 0, 20, OnTimer);
    return RunReaderChoiceDialog(nullptr, readers, chosen);
}

void Click(HWND dlg, int id)
{
    ::PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)::GetDlgItem(dlg, id));
}

const std::vector<ReaderEntry> kTwoReaders = {{21, true, "Lecteur A 0"}, {22, true, "Lecteur B 1"}};

TEST(ChoixLAD, ListsTheReadersSelectsTheFirstAndGivesBackThePickedSlot)
{
    CK_SLOT_ID chosen = 99;
    bool ok = RunDialog(kTwoReaders, chosen, [](HWND dlg) {
        ::SendMessageA(::GetDlgItem(dlg, IDC_LISTE_LECTEURS), CB_SETCURSEL, 1, 0);
        Click(dlg, IDOK);
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ("2 sel=0 [Lecteur A 0] [Lecteur B 1]", g_seen);
    EXPECT_EQ(22u, chosen);
}

TEST(ChoixLAD, ValidatingAtOnceTakesTheFirstReader)
{
    CK_SLOT_ID chosen = 99;
    EXPECT_TRUE(RunDialog(kTwoReaders, chosen, [](HWND dlg) { Click(dlg, IDOK); }));
    EXPECT_EQ(21u, chosen);
}

TEST(ChoixLAD, CancelLeavesTheSlotAlone)
{
    CK_SLOT_ID chosen = 99;
    EXPECT_FALSE(RunDialog(kTwoReaders, chosen, [](HWND dlg) {
        ::SendMessageA(::GetDlgItem(dlg, IDC_LISTE_LECTEURS), CB_SETCURSEL, 1, 0);
        Click(dlg, IDCANCEL);
    }));
    EXPECT_EQ(99u, chosen);
}

TEST(ChoixLAD, CloseBoxCancels)
{
    CK_SLOT_ID chosen = 99;
    EXPECT_FALSE(RunDialog(kTwoReaders, chosen, [](HWND dlg) { ::PostMessageA(dlg, WM_CLOSE, 0, 0); }));
    EXPECT_EQ(99u, chosen);
}

TEST(ChoixLAD, ListEndsAtTheFirstUnnamedReaderAndAnEmptyListPicksNothing)
{
    CK_SLOT_ID chosen = 99;
    std::vector<ReaderEntry> gap = {{31, true, "Lecteur A"}, {32, false, ""}, {33, true, "Lecteur C"}};
    EXPECT_TRUE(RunDialog(gap, chosen, [](HWND dlg) { Click(dlg, IDOK); }));
    EXPECT_EQ("1 sel=0 [Lecteur A]", g_seen);
    EXPECT_EQ(31u, chosen);

    chosen = 99;
    EXPECT_TRUE(RunDialog({}, chosen, [](HWND dlg) { Click(dlg, IDOK); }));
    EXPECT_EQ("0 sel=-1", g_seen);
    EXPECT_EQ(99u, chosen);
}

TEST(ChoixLAD, TemplateCarriesItsTexts)
{
    CK_SLOT_ID chosen = 99;
    std::string texts;
    RunDialog(kTwoReaders, chosen, [&texts](HWND dlg) {
        char buf[128];
        ::GetDlgItemTextA(dlg, IDOK, buf, sizeof buf);
        texts = buf;
        ::GetDlgItemTextA(dlg, IDCANCEL, buf, sizeof buf);
        texts += "|" + std::string(buf);
        HWND label = ::FindWindowExA(dlg, nullptr, "Static", nullptr);
        ::GetWindowTextA(label, buf, sizeof buf);
        texts += "|" + std::string(buf);
        Click(dlg, IDCANCEL);
    });
    EXPECT_EQ("&Valider|&Annuler|Choississez un lecteur dans la liste", texts);
}

} // namespace
} // namespace vel
