// A service of ours under the name "CertPropSvc", for machines without the
// certificate propagation service: the tray stops and starts it around an
// exclusive hold of the readers, and these calls must meet a real service.
// It does nothing but answer the service manager.
//   certpropsvc.exe install     registers this program as "CertPropSvc"
//                               (demand start; an existing entry is pointed here)
//   certpropsvc.exe uninstall   stops and removes it
// Started by the service manager with no arguments.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char kName[] = "CertPropSvc";
const char kDisplayName[] = "Propagation du certificat (test)";

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopEvent = nullptr;

void Report(DWORD state)
{
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    SetServiceStatus(g_statusHandle, &g_status);
}

// Control requests in: stop (and interrogate); out: the status reported.
DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stopEvent);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPSTR *)
{
    g_statusHandle = RegisterServiceCtrlHandlerExA(kName, Handler, nullptr);
    if (!g_statusHandle)
        return;
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_stopEvent) {
        Report(SERVICE_STOPPED);
        return;
    }
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopEvent, INFINITE);
    Report(SERVICE_STOPPED);
}

int Fail(const char *what)
{
    std::fprintf(stderr, "certpropsvc : %s (erreur %lu)\n", what, GetLastError());
    return 1;
}

int Install()
{
    char path[MAX_PATH + 2] = "\"";
    DWORD n = GetModuleFileNameA(nullptr, path + 1, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return Fail("chemin du programme introuvable");
    std::strcat(path, "\"");
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!scm)
        return Fail("gestionnaire de services inaccessible");
    SC_HANDLE svc = CreateServiceA(scm, kName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) {
        svc = OpenServiceA(scm, kName, SERVICE_CHANGE_CONFIG);
        if (svc &&
            !ChangeServiceConfigA(svc, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  path, nullptr, nullptr, nullptr, nullptr, nullptr, kDisplayName)) {
            CloseServiceHandle(svc);
            svc = nullptr;
        }
    }
    int rc = svc ? 0 : Fail("installation impossible");
    if (svc)
        CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}

int Uninstall()
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm)
        return Fail("gestionnaire de services inaccessible");
    SC_HANDLE svc = OpenServiceA(scm, kName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!svc) {
        CloseServiceHandle(scm);
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail("service inaccessible");
    }
    SERVICE_STATUS s;
    ControlService(svc, SERVICE_CONTROL_STOP, &s);
    int rc = DeleteService(svc) ? 0 : Fail("suppression impossible");
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "install") == 0)
        return Install();
    if (argc == 2 && std::strcmp(argv[1], "uninstall") == 0)
        return Uninstall();
    if (argc != 1) {
        std::fprintf(stderr, "usage : certpropsvc [install | uninstall]\n");
        return 2;
    }
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char *>(kName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return Fail("à lancer par le gestionnaire de services (ou : install, uninstall)");
    return 0;
}
