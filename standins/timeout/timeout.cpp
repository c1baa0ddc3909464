// timeout.exe for machines that lack it: waits the given number of seconds,
// as the tray's self-restart command line expects
// ("timeout /t 2 /nobreak >nul"). -1 waits until a key is pressed; without
// /nobreak a key press ends the wait early when there is a console.
//   timeout [/t] SECONDS [/nobreak]
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Usage(const char *why)
{
    std::fprintf(stderr, "ERREUR : %s\nusage : timeout [/t] SECONDES [/nobreak]   (SECONDES de -1 à 99999)\n",
                 why);
    return 1;
}

bool Option(const char *arg, const char *name)
{
    return (arg[0] == '/' || arg[0] == '-') && _stricmp(arg + 1, name) == 0;
}

// Whether a key was pressed on the console (none under a service or a pipe).
bool KeyPressed(HANDLE in)
{
    DWORD n = 0;
    INPUT_RECORD rec;
    while (PeekConsoleInputA(in, &rec, 1, &n) && n > 0) {
        ReadConsoleInputA(in, &rec, 1, &n);
        if (rec.EventType == KEY_EVENT && rec.Event.KeyEvent.bKeyDown)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    bool noBreak = false, haveSeconds = false;
    long seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const char *value = argv[i];
        if (Option(argv[i], "nobreak")) {
            noBreak = true;
            continue;
        }
        if (Option(argv[i], "?")) {
            std::printf("usage : timeout [/t] SECONDES [/nobreak]\n");
            return 0;
        }
        if (Option(argv[i], "t")) {
            if (++i == argc)
                return Usage("valeur attendue après /t");
            value = argv[i];
        }
        if (haveSeconds)
            return Usage("syntaxe incorrecte");
        char *end = nullptr;
        errno = 0;
        seconds = std::strtol(value, &end, 10);
        if (errno != 0 || !*value || *end || seconds < -1 || seconds > 99999)
            return Usage("durée incorrecte");
        haveSeconds = true;
    }
    if (!haveSeconds)
        return Usage("durée attendue");
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    bool console = in && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
    if (seconds == -1 && !console)
        return Usage("attente illimitée sans console");
    ULONGLONG end = GetTickCount64() + ULONGLONG(seconds < 0 ? 0 : seconds) * 1000;
    while (seconds == -1 || GetTickCount64() < end) {
        DWORD left = seconds == -1 ? 100 : DWORD(end - GetTickCount64());
        if (console && (!noBreak || seconds == -1)) {
            if (WaitForSingleObject(in, left < 100 ? left : 100) == WAIT_OBJECT_0 && KeyPressed(in))
                break;
        } else {
            Sleep(left);
        }
    }
    return 0;
}
