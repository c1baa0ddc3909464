#include "pcsc_test_support.h"

#include "process_counters.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace zeb_test {

void UsePrivateState(const char *tag)
{
    char dir[MAX_PATH], folder[MAX_PATH + 64];
    GetTempPathA(sizeof(dir), dir);
    std::snprintf(folder, sizeof(folder), "%szeb-%s-%lu", dir, tag, GetCurrentProcessId());
    CreateDirectoryA(folder, nullptr);
    std::string path = std::string(folder) + "\\softcard.state";
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", path.c_str());
    _putenv_s("VEL_SOFTCARD_STATE", path.c_str());
}

int RunProgram(const std::string &program, const std::string &args)
{
    return vel_test::RunCommandLine("\"" + program + "\" " + args);
}

int Ctl(const std::string &args)
{
    return RunProgram(ZEB_TEST_SOFTCARD_CTL, args);
}

int PcscCtl(const std::string &args)
{
    return RunProgram(ZEB_TEST_PCSC_CTL, args);
}

std::string CardImage(const char *image)
{
    return std::string("\"") + ZEB_TEST_CARDS_DIR + "\\" + image + ".card\"";
}

std::string Quoted(const char *text)
{
    return std::string("\"") + text + "\"";
}

bool ReplaceCardState(const std::string &from, const std::string &state)
{
    HANDLE in = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes(GetFileSize(in, nullptr), '\0');
    DWORD n = 0;
    bool read = ReadFile(in, &bytes[0], DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
    CloseHandle(in);
    std::string temp = state + ".next";
    HANDLE out =
        CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!read || out == INVALID_HANDLE_VALUE)
        return false;
    bool written = WriteFile(out, bytes.data(), DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
    CloseHandle(out);
    if (!written)
        return false;
    return vel_test::WaitUntil(
        [&] { return MoveFileExA(temp.c_str(), state.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; }, 5000);
}

DWORD CertPropSvcState()
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = OpenServiceA(scm, "CertPropSvc", SERVICE_QUERY_STATUS);
    SERVICE_STATUS s = {};
    if (!svc || !QueryServiceStatus(svc, &s))
        s.dwCurrentState = 0;
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return s.dwCurrentState;
}

bool StartCertPropSvc()
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = OpenServiceA(scm, "CertPropSvc", SERVICE_START | SERVICE_QUERY_STATUS);
    StartServiceA(svc, 0, nullptr);
    SERVICE_STATUS s = {};
    vel_test::WaitUntil([&] { return !QueryServiceStatus(svc, &s) || s.dwCurrentState == SERVICE_RUNNING; },
                        10000);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return s.dwCurrentState == SERVICE_RUNNING;
}

DWORD ThreadCount()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t;
    t.dwSize = sizeof(t);
    DWORD n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

DWORD OpenHandles()
{
    return vel_test::OpenHandles();
}

DWORD OpenKeysUnder(const wchar_t *part)
{
    return vel_test::OpenKeysUnder(part);
}

} // namespace zeb_test
