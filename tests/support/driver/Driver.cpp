#include "Driver.h"

#include <chrono>
#include <cstdio>

#include "timeout_scale.h"

namespace driver {

bool Program::Running() const
{
    return pi.hProcess && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT;
}

int Program::Wait(DWORD ms)
{
    if (!pi.hProcess || WaitForSingleObject(pi.hProcess, vel_test::ScaledMs(ms)) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return (int)code;
}

void Program::Kill()
{
    if (Running()) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
}

Program::~Program()
{
    Kill();
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
}

bool Start(Program &p, const std::string &exe, const std::vector<std::string> &env)
{
    // The driver's environment plus the extra entries (which win).
    std::string block;
    for (const std::string &e : env)
        block += e + '\0';
    if (char *own = GetEnvironmentStringsA()) {
        for (char *s = own; *s; s += strlen(s) + 1) {
            std::string entry = s;
            bool overridden = false;
            for (const std::string &e : env) {
                size_t eq = e.find('=');
                if (eq != std::string::npos && _strnicmp(entry.c_str(), e.c_str(), eq + 1) == 0)
                    overridden = true;
            }
            if (!overridden)
                block += entry + '\0';
        }
        FreeEnvironmentStringsA(own);
    }
    block += '\0';
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string cmd = "\"" + exe + "\"";
    return CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, &block[0], nullptr, &si, &p.pi) !=
           0;
}

namespace {
struct Search {
    DWORD pid;
    std::string caption;
    bool exact;
    HWND except;
    HWND found;
};

BOOL CALLBACK FindTop(HWND hwnd, LPARAM lp)
{
    auto *s = reinterpret_cast<Search *>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if ((s->pid && pid != s->pid) || !IsWindowVisible(hwnd) || hwnd == s->except)
        return TRUE;
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (strcmp(cls, "#32770") != 0)
        return TRUE;
    std::string text = Text(hwnd);
    if (s->caption.empty() || (s->exact ? text == s->caption : text.rfind(s->caption, 0) == 0)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStatics(HWND hwnd, LPARAM lp)
{
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0) {
        std::string t = Text(hwnd);
        if (!t.empty()) {
            auto *out = reinterpret_cast<std::string *>(lp);
            if (!out->empty())
                *out += "|";
            *out += t;
        }
    }
    return TRUE;
}
} // namespace

HWND WaitWindow(DWORD pid, const std::string &caption, DWORD ms, bool exact)
{
    Search s{pid, caption, exact, nullptr, nullptr};
    WaitUntil(
        [&] {
            s.found = nullptr;
            EnumWindows(FindTop, reinterpret_cast<LPARAM>(&s));
            return s.found != nullptr;
        },
        ms);
    return s.found;
}

HWND WaitOtherDialog(DWORD pid, HWND except, DWORD ms)
{
    Search s{pid, "", false, except, nullptr};
    WaitUntil(
        [&] {
            s.found = nullptr;
            EnumWindows(FindTop, reinterpret_cast<LPARAM>(&s));
            return s.found != nullptr;
        },
        ms);
    return s.found;
}

std::string Text(HWND hwnd)
{
    if (!hwnd)
        return std::string();
    // WM_GETTEXT crosses processes with its buffer.
    LRESULT len = SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (len <= 0)
        return std::string();
    std::string buf((size_t)len + 1, '\0');
    LRESULT got = SendMessageA(hwnd, WM_GETTEXT, (WPARAM)buf.size(), (LPARAM)&buf[0]);
    buf.resize(got > 0 ? (size_t)got : 0);
    return buf;
}

std::string ItemText(HWND dlg, int id)
{
    return Text(GetDlgItem(dlg, id));
}
bool Enabled(HWND dlg, int id)
{
    return IsWindowEnabled(GetDlgItem(dlg, id)) != 0;
}
bool Visible(HWND dlg, int id)
{
    return IsWindowVisible(GetDlgItem(dlg, id)) != 0;
}

std::string MessageText(HWND box)
{
    std::string out;
    EnumChildWindows(box, CollectStatics, reinterpret_cast<LPARAM>(&out));
    return out;
}

void Click(HWND dlg, int id)
{
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void Command(HWND dlg, int id)
{
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void SetItemText(HWND dlg, int id, const std::string &text)
{
    SendMessageA(GetDlgItem(dlg, id), WM_SETTEXT, 0, (LPARAM)text.c_str());
}

bool WaitIdle(HWND mainDlg, DWORD ms)
{
    // Quiet for 100 ms: an operation may show its status again right after
    // one ends.
    const auto never = std::chrono::steady_clock::time_point::max();
    auto quietSince = never;
    return WaitUntil(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (Visible(mainDlg, 1062) || Visible(mainDlg, 1075))
                quietSince = never;
            else if (quietSince == never)
                quietSince = now;
            return quietSince != never && now - quietSince >= std::chrono::milliseconds(100);
        },
        ms);
}

std::string ReadFileText(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool WriteSoftcardState(const std::string &path, const std::string &cardsDir,
                        const std::vector<std::string> &readers, const std::vector<PlacedCard> &cards,
                        unsigned latencyMs, bool log, unsigned long insertion)
{
    std::string text = "softcard-state 1\nsettings latency=" + std::to_string(latencyMs) +
                       " log=" + (log ? "on" : "off") +
                       " next-insertion=" + std::to_string(insertion + cards.size()) + "\n";
    for (size_t i = 0; i < readers.size(); ++i)
        text += "reader slot=" + std::to_string(i + 1) + " name=\"" + readers[i] + "\"\n";
    unsigned long n = insertion;
    for (const PlacedCard &c : cards) {
        std::string image = ReadFileText(cardsDir + "\\" + c.card + ".card");
        if (image.empty())
            return false;
        text += "card name=\"" + c.card + "\" reader=\"" + c.reader + "\" insertion=" + std::to_string(n++) +
                "\n";
        text += image + "end-card\n";
    }
    std::string temp = path + ".new";
    FILE *f = fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string LogFolder()
{
    char base[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
    if (n == 0 || n >= sizeof base)
        strcpy(base, "C:\\ProgramData");
    return std::string(base) + "\\hestalink\\vel\\log\\";
}

} // namespace driver
