// Drives the card manager from another process as a person would: starts
// it, finds its windows, clicks buttons and menu items by id, types codes,
// reads statics and panes, answers message boxes by their text.
#pragma once
#include <windows.h>

#include "wait_until.h"

#include <string>
#include <vector>

namespace driver {

// Every wait below lasts up to its `ms` times the machine's factor
// (vel_test::ScaledMs).

struct Program {
    PROCESS_INFORMATION pi{};
    bool Running() const;
    // Waits for the end; the exit code, or -1 on time-out.
    int Wait(DWORD ms);
    void Kill();
    ~Program();
};

// Starts `exe` with extra environment entries ("NAME=value").
bool Start(Program &p, const std::string &exe, const std::vector<std::string> &env);

// The visible top-level window of `pid` (0: any process) whose caption
// starts with `caption` (class "#32770" when `dialogsOnly`), waiting up to `ms`.
HWND WaitWindow(DWORD pid, const std::string &caption, DWORD ms, bool exact = false);
// Any top-level dialog of `pid` other than `except`.
HWND WaitOtherDialog(DWORD pid, HWND except, DWORD ms);

std::string Text(HWND hwnd);
std::string ItemText(HWND dlg, int id);
bool Enabled(HWND dlg, int id);
bool Visible(HWND dlg, int id);
// The texts of a message box's statics, joined.
std::string MessageText(HWND box);

// A button click (the dialog runs it as the button would) or a menu command.
void Click(HWND dlg, int id);
void Command(HWND dlg, int id);
void SetItemText(HWND dlg, int id, const std::string &text);

// Waits until a condition holds, up to `ms` scaled: the tests' one wait.
using vel_test::WaitUntil;

// The main dialog idle: no status line shown for 100 ms.
bool WaitIdle(HWND mainDlg, DWORD ms);

std::string ReadFileText(const std::string &path);

// The software card's shared state: readers (slots 1, 2...), the test cards
// (by their names in `cardsDir`) each in a reader or out (empty reader), the
// latency of every call that reaches a card, the call log. Replaced in one step.
struct PlacedCard {
    std::string card;
    std::string reader;
};
bool WriteSoftcardState(const std::string &path, const std::string &cardsDir,
                        const std::vector<std::string> &readers, const std::vector<PlacedCard> &cards,
                        unsigned latencyMs, bool log, unsigned long insertion = 1);
std::string LogFolder(); // C:\ProgramData\hestalink\vel\log\ as the program sees it

} // namespace driver
