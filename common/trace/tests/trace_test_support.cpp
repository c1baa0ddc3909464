#include "trace_test_support.h"

#include "data_folder.h"
#include "timeout_scale.h"

#include <stdio.h>
#include <string.h>

#include <utility>

namespace trace_test {

REGSAM OwnView()
{
    return sizeof(void *) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}
REGSAM OtherView()
{
    return sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

RegistryData::RegistryData(DWORD value)
    : type(REG_DWORD),
      bytes(reinterpret_cast<const BYTE *>(&value), reinterpret_cast<const BYTE *>(&value + 1))
{
}

RegistryData::RegistryData(DWORD type, std::vector<BYTE> bytes) : type(type), bytes(std::move(bytes))
{
}

RegistryData RegistryData::Text(DWORD type, const std::string &text)
{
    return RegistryData(type, std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1));
}

TracesValue::TracesValue(HKEY hive, REGSAM view, const char *key, std::optional<RegistryData> value)
    : hive_(hive), view_(view), key_(key), parent_(key_.substr(0, key_.rfind('\\')))
{
    // Create the parent first to know whether it was there.
    HKEY parent, handle;
    DWORD disposition;
    if (RegCreateKeyExA(hive, parent_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &parent,
                        &disposition) != ERROR_SUCCESS)
        return;
    createdParent_ = disposition == REG_CREATED_NEW_KEY;
    RegCloseKey(parent);
    if (RegCreateKeyExA(hive, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle, &disposition) !=
        ERROR_SUCCESS)
        return;
    createdKey_ = disposition == REG_CREATED_NEW_KEY;

    DWORD size = 0;
    if (RegQueryValueExA(handle, "Traces", nullptr, &oldType_, nullptr, &size) == ERROR_SUCCESS) {
        oldData_.resize(size ? size : 1);
        hadValue_ =
            RegQueryValueExA(handle, "Traces", nullptr, &oldType_, oldData_.data(), &size) == ERROR_SUCCESS;
        oldData_.resize(size);
    }
    LONG rc;
    if (value) {
        rc = RegSetValueExA(handle, "Traces", 0, value->type, value->bytes.data(),
                            static_cast<DWORD>(value->bytes.size()));
    } else {
        rc = RegDeleteValueA(handle, "Traces");
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    }
    RegCloseKey(handle);
    ok_ = rc == ERROR_SUCCESS;
}

TracesValue::~TracesValue()
{
    if (createdKey_) {
        RegDeleteKeyExA(hive_, key_.c_str(), view_, 0);
    } else {
        HKEY handle;
        if (RegOpenKeyExA(hive_, key_.c_str(), 0, KEY_SET_VALUE | view_, &handle) == ERROR_SUCCESS) {
            if (hadValue_)
                RegSetValueExA(handle, "Traces", 0, oldType_, oldData_.data(),
                               static_cast<DWORD>(oldData_.size()));
            else
                RegDeleteValueA(handle, "Traces");
            RegCloseKey(handle);
        }
    }
    if (createdParent_)
        RegDeleteKeyExA(hive_, parent_.c_str(), view_, 0);
}

std::string OwnPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

std::string LogFolder()
{
    char folder[MAX_PATH] = "";
    GetDataFolderPath(folder, sizeof folder, FOLDER_LOG);
    return folder;
}

std::vector<std::string> TraceFilesOf(const std::string &prefix, DWORD pid)
{
    char pattern[64];
    snprintf(pattern, sizeof pattern, "%s%lx_*.log", prefix.c_str(), static_cast<unsigned long>(pid));
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((LogFolder() + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

void DeleteTraceFilesOf(const std::string &prefix, DWORD pid)
{
    const std::string folder = LogFolder();
    for (const std::string &name : TraceFilesOf(prefix, pid))
        DeleteFileA((folder + name).c_str());
}

std::string TraceFileName(const std::string &prefix, DWORD pid, DWORD tid)
{
    char name[64];
    snprintf(name, sizeof name, "%s%lx_%lx.log", prefix.c_str(), static_cast<unsigned long>(pid),
             static_cast<unsigned long>(tid));
    return name;
}

namespace {

// "Www Mmm dd hh:mm:ss.mmm : "
bool IsStamp(const std::string &s)
{
    static const char kShape[] = "Aaa Aaa #9 99:99:99.999 : ";
    if (s.size() < sizeof kShape - 1)
        return false;
    for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
        char c = s[i], k = kShape[i];
        bool fits = k == 'A'   ? (c >= 'A' && c <= 'Z')
                    : k == 'a' ? (c >= 'a' && c <= 'z')
                    : k == '9' ? (c >= '0' && c <= '9')
                    : k == '#' ? (c == ' ' || (c >= '1' && c <= '3'))
                               : c == k;
        if (!fits)
            return false;
    }
    return true;
}

} // namespace

std::vector<std::string> ReadTraceLines(const std::string &path)
{
    std::vector<std::string> lines;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return lines;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    fclose(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        bool crlf = end != std::string::npos && !line.empty() && line.back() == '\r';
        if (crlf)
            line.pop_back();
        if (crlf && IsStamp(line))
            lines.push_back(line.substr(26));
        else
            lines.push_back("BAD LINE: " + line);
    }
    return lines;
}

ChildRun RunChild(const std::string &exe, const std::string &args, const std::string &prefix, DWORD timeoutMs)
{
    ChildRun run;
    run.commandLine = "\"" + exe + "\" " + args;
    std::vector<char> commandLine(run.commandLine.begin(), run.commandLine.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process))
        return run;
    run.started = true;
    run.pid = process.dwProcessId;
    run.mainTid = process.dwThreadId;
    DeleteTraceFilesOf(prefix, run.pid);
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(vel_test::ScaledMs(timeoutMs))) !=
        WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

} // namespace trace_test
