// The run command's helper: starts the card manager on the software card,
// reads the card's data and leaves the main dialog showing the holder
// ("show"); then saves the four logs, copies them into a folder and quits
// ("finish"). The screenshot is taken between the two by the calling script.
//   vlmgr_demo show <VLMGRW64.exe> <software card state file>
//   vlmgr_demo finish <folder for the logs>
//   vlmgr_demo bench <VLMGRW64.exe> <state file> <cards folder> <latency ms>
//       prints the time from the start to the holder's identity shown and the
//       number of PKCS#11 calls it took, with every card call delayed.
//   vlmgr_demo selftests <VLMGRW64.exe> <state file> <cards folder> <count>
//       runs "Tests des services" <count> times in one session (the trace log
//       reaches its size limit after about nine) and prints each one's time.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Driver.h"
#include "resource.h"

using namespace driver;

namespace {
const char kMainCaption[] = "VEL-GESTION - Version 06.09.00";
const DWORD kWait = 60000;

int Fail(const char *what)
{
    std::fprintf(stderr, "vlmgr_demo: %s\n", what);
    return 1;
}

// The card manager started on `state` and idle; its main dialog, or null
// (reported).
HWND Launch(Program &program, const std::string &exe, const std::string &state)
{
    if (!Start(program, exe, {"VEL_SOFTCARD_STATE=" + state})) {
        Fail("the card manager cannot be started");
        return nullptr;
    }
    HWND dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, kWait, true);
    if (!dlg || !WaitIdle(dlg, kWait)) {
        Fail("no main dialog");
        return nullptr;
    }
    return dlg;
}

int Show(const std::string &exe, const std::string &state)
{
    DeleteFileA(state.c_str()); // a fresh default card in its reader
    Program program;
    HWND dlg = Launch(program, exe, state);
    if (!dlg)
        return 1;
    if (!Enabled(dlg, IDC_LECDONNEES))
        return Fail("the card was not found");
    Click(dlg, IDC_LECDONNEES); // "Lecture Données"
    if (!WaitUntil([&] { return Visible(dlg, IDC_PANE_DATA_UPPER); }, kWait) || !WaitIdle(dlg, kWait))
        return Fail("the card data were not shown");
    std::printf("%s\n", ItemText(dlg, IDC_PANE_DATA_UPPER).c_str());
    Click(dlg, IDC_CLOSE_PANE); // "&Fermer": back to the identification
    WaitUntil([&] { return Visible(dlg, IDC_HOLDER_NAME); }, kWait);
    std::printf("porteur : %s\ncarte : %s\n%s\n", ItemText(dlg, IDC_HOLDER_NAME).c_str(),
                ItemText(dlg, IDC_CARD_ID).c_str(), ItemText(dlg, IDC_READER_LINE).c_str());
    // Leave it running for the screenshot.
    CloseHandle(program.pi.hProcess);
    CloseHandle(program.pi.hThread);
    program.pi = PROCESS_INFORMATION{};
    return 0;
}

int Finish(const std::string &folder)
{
    HWND dlg = WaitWindow(0, kMainCaption, kWait, true);
    if (!dlg)
        return Fail("no main dialog");
    DWORD pid = 0;
    GetWindowThreadProcessId(dlg, &pid);
    Command(dlg, ID_OPTIONS); // "&Options"
    HWND options = WaitWindow(pid, "Options", kWait, true);
    if (!options)
        return Fail("no options dialog");
    for (int box : {IDC_SAVE_JOURNAL, IDC_SAVE_DATA, IDC_SAVE_DIAG, IDC_SAVE_TRACE}) {
        SendMessageA(GetDlgItem(options, box), BM_SETCHECK, BST_CHECKED, 0);
        Click(options, box);
    }
    Click(options, IDOK);
    WaitUntil([&] { return !IsWindow(options); }, kWait);
    WaitIdle(dlg, kWait);
    int missing = 0;
    for (const char *name : {"VEL-JOUR.TXT", "VEL-INFO.TXT", "VEL-TRAC.TXT", "VEL-DIAG.TXT"}) {
        std::string from = LogFolder() + name, to = folder + "\\" + name;
        if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
            std::fprintf(stderr, "vlmgr_demo: %s not saved\n", name);
            ++missing;
        }
    }
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    WaitUntil([&] { return !IsWindow(dlg); }, kWait);
    return missing ? 1 : 0;
}
int Bench(const std::string &exe, const std::string &state, const std::string &cards, unsigned latency)
{
    const std::string callLog = state + ".log";
    DeleteFileA(callLog.c_str());
    const char kReader[] = "Lecteur Ovrane VEL 0";
    if (!WriteSoftcardState(state, cards, {kReader}, {{"vel3-default", kReader}}, latency, true))
        return Fail("cannot write the software card's state");
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    Program program;
    QueryPerformanceCounter(&t0);
    if (!Start(program, exe, {"VEL_SOFTCARD_STATE=" + state}))
        return Fail("the card manager cannot be started");
    HWND dlg = nullptr;
    bool shown = WaitUntil(
        [&] {
            if (!dlg)
                dlg = WaitWindow(program.pi.dwProcessId, kMainCaption, 0, true);
            return dlg && Visible(dlg, IDC_HOLDER_NAME) && !ItemText(dlg, IDC_HOLDER_NAME).empty();
        },
        kWait);
    QueryPerformanceCounter(&t1);
    if (!shown)
        return Fail("the identity was not shown");
    WaitIdle(dlg, kWait);
    std::string log = ReadFileText(callLog);
    unsigned calls = 0;
    for (char ch : log)
        calls += ch == '\n';
    std::printf("latency per card call: %u ms\n", latency);
    std::printf("start to identity shown: %.0f ms\n", (t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
    std::printf("PKCS#11 calls until idle: %u\n", calls);
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    program.Wait(kWait);
    return 0;
}

int SelfTests(const std::string &exe, const std::string &state, const std::string &cards, int count)
{
    const char kReader[] = "Lecteur Ovrane VEL 0";
    if (!WriteSoftcardState(state, cards, {kReader}, {{"vel3-default", kReader}}, 0, false))
        return Fail("cannot write the software card's state");
    Program program;
    HWND dlg = Launch(program, exe, state);
    if (!dlg)
        return 1;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    for (int i = 1; i <= count; ++i) {
        Click(dlg, IDC_CLOSE_PANE); // "&Fermer": the diagnostic pane of the previous run
        WaitUntil([&] { return !Visible(dlg, IDC_PANE_DIAG); }, kWait);
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        Command(dlg, ID_SELF_TEST); // "&Tests des services"
        // The PIN, when the self-test asks it (the timing includes typing it).
        if (HWND pin = WaitWindow(program.pi.dwProcessId, "Code porteur", 3000)) {
            SetItemText(pin, IDC_CODE_EDIT, "1234");
            PostMessageA(pin, WM_COMMAND, IDOK, 0);
        }
        if (!WaitUntil([&] { return Visible(dlg, IDC_PANE_DIAG); }, kWait))
            return Fail("the self-test did not end on its diagnostic pane");
        QueryPerformanceCounter(&t1);
        WaitIdle(dlg, kWait);
        std::printf("self-test %d: %.0f ms (trace log %d bytes)\n", i,
                    (t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart,
                    (int)SendMessageA(GetDlgItem(dlg, IDC_PANE_TRACE), WM_GETTEXTLENGTH, 0, 0));
    }
    PostMessageA(dlg, WM_CLOSE, 0, 0);
    program.Wait(kWait);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    std::string phase = argc > 1 ? argv[1] : "";
    if (phase == "show" && argc == 4)
        return Show(argv[2], argv[3]);
    if (phase == "bench" && argc == 6)
        return Bench(argv[2], argv[3], argv[4], (unsigned)std::strtoul(argv[5], nullptr, 10));
    if (phase == "selftests" && argc == 6)
        return SelfTests(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (phase == "finish" && argc == 3)
        return Finish(argv[2]);
    std::fprintf(
        stderr,
        "usage: vlmgr_demo show <exe> <state file> | finish <folder> | bench <exe> <state> <cards> <ms> | "
        "selftests <exe> <state> <cards> <count>\n");
    return 2;
}
