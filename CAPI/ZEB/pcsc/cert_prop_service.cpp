#include "cert_prop_service.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "service_record.h"

namespace zeb {

namespace {

const char kService[] = "CertPropSvc";
const char kRecordKey[] = "Software\\Ovrane\\ZEB";
const DWORD kServicePollMs = 100;
const DWORD kServiceStopWaitMs = 5000;

void Logf(const ServiceLog &log, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Logf(const ServiceLog &log, const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    log(line);
}

unsigned long ElapsedSince(DWORD start)
{
    return GetTickCount() - start;
}

uint64_t CreationTimeOf(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The roots a record may be in, the machine's first.
const HKEY kRecordRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};

// This process's record, written before the service is stopped; false when
// neither root takes it.
bool WriteOwnRecord(DWORD *error)
{
    std::string name = ServiceRecordName(GetCurrentProcessId());
    uint64_t created = CreationTimeOf(GetCurrentProcess());
    for (HKEY root : kRecordRoots) {
        HKEY key = nullptr;
        *error = RegCreateKeyExA(root, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        if (*error != ERROR_SUCCESS)
            continue;
        *error = RegSetValueExA(key, name.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE *>(&created),
                                sizeof created);
        RegCloseKey(key);
        if (*error == ERROR_SUCCESS)
            return true;
    }
    return false;
}

void DeleteRecord(HKEY root, const std::string &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, kRecordKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
}

void DeleteOwnRecord()
{
    std::string name = ServiceRecordName(GetCurrentProcessId());
    for (HKEY root : kRecordRoots)
        DeleteRecord(root, name);
}

struct Record {
    HKEY root;
    std::string name;
    unsigned long pid;
    uint64_t created;
};

std::vector<Record> ReadRecords()
{
    std::vector<Record> out;
    for (HKEY root : kRecordRoots) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, kRecordKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD nameLength = sizeof name, type = 0;
            uint64_t data = 0;
            DWORD dataLength = sizeof data;
            LONG rv = RegEnumValueA(key, i, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE *>(&data), &dataLength);
            if (rv == ERROR_NO_MORE_ITEMS)
                break;
            if (rv != ERROR_SUCCESS && rv != ERROR_MORE_DATA)
                continue; // a long value of some setting: not a record's
            unsigned long pid = 0;
            if (!ParseServiceRecordName(std::string(name, nameLength), &pid))
                continue;
            bool timed = rv == ERROR_SUCCESS && type == REG_QWORD && dataLength == sizeof data;
            out.push_back({root, std::string(name, nameLength), pid, timed ? data : 0});
        }
        RegCloseKey(key);
    }
    return out;
}

OwnerSeen LookAtProcess(unsigned long pid)
{
    OwnerSeen seen;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        seen.accessDenied = GetLastError() == ERROR_ACCESS_DENIED;
        return seen;
    }
    seen.opened = true;
    DWORD code = 0;
    seen.running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    seen.creationTime = CreationTimeOf(process);
    CloseHandle(process);
    return seen;
}

// Waits, bounded, for a stop in progress to end; the state last seen.
DWORD WaitStopped(SC_HANDLE svc, SERVICE_STATUS *status)
{
    DWORD start = GetTickCount();
    while (status->dwCurrentState == SERVICE_STOP_PENDING && ElapsedSince(start) < kServiceStopWaitMs) {
        Sleep(kServicePollMs);
        if (!QueryServiceStatus(svc, status))
            break;
    }
    return status->dwCurrentState;
}

// The start at the tray's start-up, and what it was answered.
ServiceAnswer StartLeftStopped(const ServiceLog &log)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) {
        Logf(log, "PATCH_FIDO_WEBAUTHN startup: OpenSCManager failed err=%lu", GetLastError());
        return ServiceAnswer::failed;
    }
    ServiceAnswer answer = ServiceAnswer::failed;
    SC_HANDLE svc = OpenServiceA(scm, kService, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!svc) {
        DWORD error = GetLastError();
        Logf(log, "PATCH_FIDO_WEBAUTHN startup: OpenService(CertPropSvc, START) failed err=%lu", error);
        answer = error == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceAnswer::missing
                 : error == ERROR_ACCESS_DENIED        ? ServiceAnswer::refused
                                                       : ServiceAnswer::failed;
        CloseServiceHandle(scm);
        return answer;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(svc, &status) && WaitStopped(svc, &status) == SERVICE_RUNNING) {
        Logf(log, "PATCH_FIDO_WEBAUTHN startup: CertPropSvc already running");
        answer = ServiceAnswer::running;
    } else {
        DWORD error = 0;
        bool ok = StartServiceA(svc, 0, nullptr) || (error = GetLastError()) == ERROR_SERVICE_ALREADY_RUNNING;
        Logf(log, "PATCH_FIDO_WEBAUTHN Start CertPropSvc result=%d err=%lu", ok ? 1 : 0, ok ? 0ul : error);
        answer = ok                                ? ServiceAnswer::running
                 : error == ERROR_SERVICE_DISABLED ? ServiceAnswer::missing // nobody is to start it
                 : error == ERROR_ACCESS_DENIED    ? ServiceAnswer::refused
                                                   : ServiceAnswer::failed;
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return answer;
}

} // namespace

bool StopCertPropSvcForHold(const ServiceLog &log)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) {
        Logf(log, "PATCH_FIDO_WEBAUTHN OpenSCManager failed err=%lu", GetLastError());
        return false;
    }
    bool stoppedHere = false;
    SC_HANDLE svc = OpenServiceA(scm, kService, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!svc) {
        Logf(log, "PATCH_FIDO_WEBAUTHN OpenService(CertPropSvc, STOP) failed err=%lu (admin requis)",
             GetLastError());
    } else {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(svc, &status)) {
            if (status.dwCurrentState == SERVICE_RUNNING) {
                // Written before the stop: a tray that dies from here on leaves
                // it for the next start to find.
                DWORD recordError = 0;
                if (!WriteOwnRecord(&recordError))
                    Logf(log, "PATCH_FIDO_WEBAUTHN CertPropSvc stop record not written err=%lu", recordError);
                DWORD start = GetTickCount();
                if (!ControlService(svc, SERVICE_CONTROL_STOP, &status)) {
                    Logf(log, "PATCH_FIDO_WEBAUTHN ControlService(STOP CertPropSvc) failed err=%lu",
                         GetLastError());
                    DeleteOwnRecord();
                } else {
                    while (QueryServiceStatus(svc, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                           ElapsedSince(start) < kServiceStopWaitMs)
                        Sleep(kServicePollMs);
                    bool stopped = status.dwCurrentState == SERVICE_STOPPED;
                    Logf(log, "PATCH_FIDO_WEBAUTHN Stop CertPropSvc result=%d state=%lu waited_ms=%lu",
                         stopped ? 1 : 0, status.dwCurrentState, ElapsedSince(start));
                    stoppedHere = true;
                }
            } else {
                Logf(log, "PATCH_FIDO_WEBAUTHN CertPropSvc deja arrete (state=%lu)", status.dwCurrentState);
            }
        }
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    return stoppedHere;
}

bool StartCertPropSvcAfterHold(const ServiceLog &log)
{
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm)
        return false;
    SC_HANDLE svc = OpenServiceA(scm, kService, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!svc) {
        Logf(log, "PATCH_FIDO_WEBAUTHN OpenService(CertPropSvc, START) failed err=%lu", GetLastError());
        CloseServiceHandle(scm);
        return false;
    }
    DWORD err = 0;
    bool ok = StartServiceA(svc, 0, nullptr) || (err = GetLastError()) == ERROR_SERVICE_ALREADY_RUNNING;
    Logf(log, "PATCH_FIDO_WEBAUTHN Start CertPropSvc result=%d err=%lu", ok ? 1 : 0, ok ? 0ul : err);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    if (ok)
        DeleteOwnRecord(); // after the restart: a tray killed before this leaves a running service
    return ok;
}

void RestartCertPropSvcLeftStopped(const ServiceLog &log)
{
    std::vector<Record> records = ReadRecords();
    if (records.empty())
        return;
    std::vector<OwnerState> owners;
    for (const Record &r : records) {
        OwnerState owner = JudgeOwner(r.pid, r.created, GetCurrentProcessId(), LookAtProcess(r.pid));
        owners.push_back(owner);
        Logf(log, "PATCH_FIDO_WEBAUTHN startup: CertPropSvc stopped by pid=%lu (%s), %s", r.pid,
             r.root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER",
             owner == OwnerState::gone ? "which ended" : "still running: left to it");
    }
    bool drop = true;
    if (RestartAtStartup(owners))
        drop = DropStaleRecords(StartLeftStopped(log));
    if (!drop)
        return;
    for (size_t i = 0; i < records.size(); ++i)
        if (owners[i] == OwnerState::gone)
            DeleteRecord(records[i].root, records[i].name);
}

} // namespace zeb
