// Helpers for programs that check or measure the trace writer from outside:
// the configuration is read once per process, so each setting is tried in a
// fresh child process (the program started again with other arguments).
#ifndef VEL_TRACE_TEST_SUPPORT_H
#define VEL_TRACE_TEST_SUPPORT_H

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace trace_test {

// KEY_WOW64_32KEY in a 32-bit program, KEY_WOW64_64KEY in a 64-bit one: the
// registry view the program itself sees, and the other one.
REGSAM OwnView();
REGSAM OtherView();

// A registry value as stored: its type and bytes. A DWORD makes a REG_DWORD.
struct RegistryData {
    RegistryData(DWORD value); // a REG_DWORD
    RegistryData(DWORD type, std::vector<BYTE> bytes);
    // A text value (REG_SZ, REG_EXPAND_SZ) with its NUL, as RegSetValueExA stores it.
    static RegistryData Text(DWORD type, const std::string &text);
    DWORD type;
    std::vector<BYTE> bytes;
};

// Sets the value "Traces" of key (e.g. "Software\\Ovrane\\CSP") under a
// hive and view, or removes it when value is empty, for the life of the
// object; then puts back what was there, deleting the keys it created.
class TracesValue {
public:
    TracesValue(HKEY hive, REGSAM view, const char *key, std::optional<RegistryData> value);
    ~TracesValue();
    TracesValue(const TracesValue &) = delete;
    TracesValue &operator=(const TracesValue &) = delete;
    bool ok() const { return ok_; }

private:
    HKEY hive_;
    REGSAM view_;
    std::string key_;
    std::string parent_;
    bool ok_ = false;
    bool createdKey_ = false;
    bool createdParent_ = false;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
};

// This program's own path.
std::string OwnPath();

// The log folder the trace writer uses (ends with a backslash).
std::string LogFolder();

// The trace files of one process, "<prefix><pid>_*.log" in the log folder
// (prefix such as "vel3_csp_"), by file name.
std::vector<std::string> TraceFilesOf(const std::string &prefix, DWORD pid);
void DeleteTraceFilesOf(const std::string &prefix, DWORD pid);

// "<prefix><pid>_<tid>.log", ids in lower-case hex.
std::string TraceFileName(const std::string &prefix, DWORD pid, DWORD tid);

// A file's lines with the time stamp taken off. Each line must end with CR LF
// and begin with a stamp such as "Thu Dec 10 08:43:46.123 : "; a line that
// does not is kept as "BAD LINE: " and its text, so that comparisons fail.
std::vector<std::string> ReadTraceLines(const std::string &path);

// Runs exe with the command line "\"exe\" args" and waits for it, up to
// timeoutMs times the machine's factor (timeout_scale.h). The child starts
// suspended; its stale trace files (same prefix and pid, from an
// earlier process with that id) are removed before it runs.
struct ChildRun {
    bool started = false;
    DWORD pid = 0;
    DWORD mainTid = 0;
    DWORD exitCode = 0;
    std::string commandLine;
};
ChildRun RunChild(const std::string &exe, const std::string &args, const std::string &prefix,
                  DWORD timeoutMs = 60000);

} // namespace trace_test

#endif
