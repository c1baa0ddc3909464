// The trace writer seen from outside, as a deliverable uses it. Built once per
// deliverable flavour (TRACE_TEST_FOR_ZEB picks the tray's key and file name).
//
// The configuration is read once per process, so every setting runs in a
// fresh child: this program started again as "--child <scenario>". The
// parent sets the registry, runs the child, then reads the child's files in
// the data folder's log subfolder (C:\ProgramData\hestalink\vel\log under
// Wine), found by the child's process id, and deletes them.
#include "log_trace.h"
#include "trace_scope.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace trace_test;
using Lines = std::vector<std::string>;

namespace {

#ifdef TRACE_TEST_FOR_ZEB
const char kKey[] = "Software\\Ovrane\\ZEB";
const char kPrefix[] = "vel_zeb_";
#else
const char kKey[] = "Software\\Ovrane\\CSP";
const char kPrefix[] = "vel3_csp_";
#endif

// ---------------------------------------------------------------- children

// One begin, message and successful return per level, inside a level-5
// call; then failed returns at the levels above 5.
int ChildLevels()
{
    const int levels[] = {LOG_LEVEL_SUMMARY, LOG_LEVEL_UI, LOG_LEVEL_FUNCTION, LOG_LEVEL_DETAIL,
                          LOG_LEVEL_HANDLES};
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_SUMMARY, "outer", 0, FALSE, "%s", "o");
    for (int level : levels) {
        // BOOL functions pass rv 0 on their begin and message lines: not a failure.
        _Log_Trace(LOG_BEGIN, level, "call", 0, TRUE, "%d", level);
        _Log_Trace(LOG_INFO, level, "call", 0, TRUE, "step %d", level);
        _Log_Trace(LOG_RETURN, level, "call", 1, TRUE, "%d", level);
    }
    for (int level : levels)
        if (level != LOG_LEVEL_SUMMARY)
            _Log_Trace(LOG_RETURN, level, "failing", 0x80090016, FALSE, "%d", level);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_SUMMARY, "outer", 0, FALSE, "%s", "o");
    return 0;
}

// Nesting, result judgement and the odd arguments, all at level 40.
int ChildFormat()
{
    const int L = LOG_LEVEL_FUNCTION;
    _Log_Trace(LOG_BEGIN, L, "outer", 0, FALSE, "%u, %s", 7u, "abc");
    _Log_Trace(LOG_INFO, L, "outer", 0, FALSE, "message %d", 1);
    _Log_Trace(LOG_BEGIN, L, "inner", 0, FALSE, "%s", "");
    _Log_Trace(LOG_INFO, L, "inner", 0, FALSE, "deeper");
    _Log_Trace(LOG_RETURN, L, "inner", 0, FALSE, "%s", "");
    _Log_Trace(LOG_RETURN, L, "outer", 0, FALSE, "%u, %s", 7u, "abc");

    struct {
        unsigned long rv;
        int isBool;
    } results[] = {{1, TRUE}, {0, TRUE}, {2, TRUE}, {0, FALSE}, {1, FALSE}, {0x80100069, FALSE}};
    for (const auto &r : results)
        _Log_Trace(LOG_RETURN, L, "judged", r.rv, r.isBool, "%s", "r");

    _Log_Trace(LOG_INFO, L, nullptr, 0, FALSE, "no name");
    _Log_Trace(LOG_BEGIN, L, "noformat", 0, FALSE, nullptr);
    _Log_Trace(LOG_RETURN, L, "noformat", 0, FALSE, nullptr);
    _Log_Trace(7, L, "odd", 0, FALSE, "kind %d", 7);

    // Too long for one line: cut, ending kept, the nesting as for short lines.
    std::string big(5000, 'x');
    _Log_Trace(LOG_BEGIN, L, "long", 0, FALSE, "%s", big.c_str());
    _Log_Trace(LOG_INFO, L, "long", 0, FALSE, "%s", big.c_str());
    _Log_Trace(LOG_RETURN, L, "long", 0, FALSE, "%s", big.c_str());
    // A return without its begin never drives the depth below zero.
    _Log_Trace(LOG_RETURN, L, "orphan", 0, FALSE, "%s", "");
    _Log_Trace(LOG_RETURN, L, "orphan", 0, FALSE, "%s", "");
    // A begin line that just fits, whose return line (a longer ending) does not.
    std::string edge(4056, 'e');
    _Log_Trace(LOG_BEGIN, L, "edge", 0, FALSE, "%s", edge.c_str());
    _Log_Trace(LOG_RETURN, L, "edge", 0, FALSE, "%s", edge.c_str());
    _Log_Trace(LOG_BEGIN, L, "after", 0, FALSE, "%s", "here");
    _Log_Trace(LOG_RETURN, L, "after", 0, FALSE, "%s", "here");
    return 0;
}

// A traced scope: its return line at each exit, an exception's included.
int Scoped(int exit)
{
    TraceScope scope(LOG_LEVEL_FUNCTION, "scoped", TRUE, "%d, %s", exit, "arg");
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "scoped", 0, FALSE, "inside");
    if (exit == 0)
        return 0; // no result given: a failure
    if (exit == 1) {
        scope.Return(FALSE, "Bad exit %d", exit);
        return 0;
    }
    scope.Return(TRUE, "%s", "");
    if (exit == 3)
        throw exit;
    TraceScope status(LOG_LEVEL_FUNCTION, "status", FALSE, "%s", "");
    status.Return(0x191, "0x%08lX", 0x191ul);
    return 1;
}

int ChildScope()
{
    for (int exit = 0; exit < 4; ++exit) {
        try {
            Scoped(exit);
        } catch (int) {
        }
    }
    return 0;
}

// The caller's last error and errno survive every trace call: the first
// (configuration, folder creation), one whose file already exists, a
// filtered one. Checked here; the exit code says which check failed.
int ChildLastError()
{
    struct Call {
        int kind, level;
    } calls[] = {{LOG_BEGIN, LOG_LEVEL_FUNCTION},
                 {LOG_INFO, LOG_LEVEL_FUNCTION},
                 {LOG_INFO, LOG_LEVEL_HANDLES},
                 {LOG_RETURN, LOG_LEVEL_FUNCTION}};
    const DWORD errors[] = {0xdeadbeef, ERROR_SUCCESS, 0x80100069};
    int check = 0;
    for (DWORD error : errors) {
        for (const Call &call : calls) {
            ++check;
            errno = 33;
            SetLastError(error);
            _Log_Trace(call.kind, call.level, "keeper", 0, FALSE, "check %d", check);
            DWORD after = GetLastError();
            if (after != error || errno != 33) {
                fprintf(stderr, "check %d: last error 0x%lx (was 0x%lx), errno %d\n", check,
                        static_cast<unsigned long>(after), static_cast<unsigned long>(error), errno);
                return 10 + check;
            }
        }
    }
    SetLastError(0xdeadbeef);
    _Log_InitTraceConf();
    return GetLastError() == 0xdeadbeef ? 0 : 2;
}

// Threads that all make their first trace call at the same moment.
constexpr int kThreads = 8;
HANDLE g_go;

DWORD WINAPI Worker(void *)
{
    WaitForSingleObject(g_go, INFINITE);
    const unsigned long tid = GetCurrentThreadId();
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, "worker", 0, FALSE, "%lx", tid);
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "worker", 0, FALSE, "thread %lx", tid);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, "worker", 0, FALSE, "%lx", tid);
    return 0;
}

int ChildThreads()
{
    g_go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[kThreads];
    for (HANDLE &t : threads)
        t = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    Sleep(50);
    SetEvent(g_go);
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    CloseHandle(g_go);
    return 0;
}

// Exit code of a child that read memory it must not touch.
constexpr int kFaultExit = 77;

LONG WINAPI EndOnFault(EXCEPTION_POINTERS *)
{
    ExitProcess(kFaultExit);
}

// Every kind, level and result written twice: once only when the writer says
// such a line would be written ("asked"), once as is ("plain"). Then traced
// scopes whose filtered lines carry an argument in a page nobody may read:
// formatting a filtered line ends the child.
int ChildAsked()
{
    SetUnhandledExceptionFilter(EndOnFault);
    const char *unreadable =
        static_cast<const char *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS));
    if (!unreadable)
        return 2;
    const int levels[] = {LOG_LEVEL_SUMMARY, LOG_LEVEL_UI, LOG_LEVEL_FUNCTION, LOG_LEVEL_DETAIL,
                          LOG_LEVEL_HANDLES};
    for (int level : levels) {
        for (int kind : {LOG_BEGIN, LOG_INFO, LOG_RETURN}) {
            for (unsigned long rv : {1ul, 0ul}) {
                if (_Log_WouldTrace(kind, level, rv, TRUE))
                    _Log_Trace(kind, level, "asked", rv, TRUE, "%d %d %lu", kind, level, rv);
                _Log_Trace(kind, level, "plain", rv, TRUE, "%d %d %lu", kind, level, rv);
            }
        }
    }
    for (int level : levels) {
        for (unsigned long rv : {1ul, 0ul}) {
            TraceScope scope(level, "scope", TRUE, "%s",
                             _Log_WouldTrace(LOG_BEGIN, level, 0, FALSE) ? "shown" : unreadable);
            scope.Return(rv, "%d %s", level,
                         _Log_WouldTrace(LOG_RETURN, level, rv, TRUE) ? "shown" : unreadable);
        }
    }
    return 0;
}

// Returns of both kinds from scopes of one kind: a status code where
// results are BOOLs, then the scope's own kind again.
int ChildScopeKinds()
{
    for (int exit = 0; exit < 3; ++exit) {
        TraceScope scope(LOG_LEVEL_FUNCTION, "kinds", TRUE, "%d", exit);
        if (exit == 0) {
            scope.ReturnAs(FALSE, 0, "%s", "ignored");
            scope.ReturnAs(FALSE, 1, "status %d", 1);
        } else if (exit == 1) {
            scope.ReturnAs(FALSE, 0, "%s", "");
            scope.Return(FALSE, "%s", "");
        } else {
            scope.Return(TRUE, "%s", "");
        }
    }
    return 0;
}

int RunChildScenario(const char *name)
{
    if (!strcmp(name, "levels"))
        return ChildLevels();
    if (!strcmp(name, "format"))
        return ChildFormat();
    if (!strcmp(name, "scope"))
        return ChildScope();
    if (!strcmp(name, "scopekinds"))
        return ChildScopeKinds();
    if (!strcmp(name, "lasterror"))
        return ChildLastError();
    if (!strcmp(name, "threads"))
        return ChildThreads();
    if (!strcmp(name, "asked"))
        return ChildAsked();
    fprintf(stderr, "unknown scenario %s\n", name);
    return 1;
}

// ------------------------------------------------------------------ parent

// The registry for one run: HKLM in this program's own view, HKCU, and HKLM
// in the other view (which the child must never see). Unset means absent.
struct Registry {
    std::optional<RegistryData> machine, user, otherView;
};

struct Result {
    ChildRun run;
    std::vector<std::string> files; // file names
    std::vector<Lines> lines;       // per file
};

class TraceTest : public ::testing::Test {
protected:
    // Runs a scenario under a registry setting and collects (then removes)
    // the child's trace files.
    Result Run(const char *scenario, const Registry &registry, const std::string &exe = OwnPath())
    {
        Result result;
        TracesValue machine(HKEY_LOCAL_MACHINE, OwnView(), kKey, registry.machine);
        TracesValue user(HKEY_CURRENT_USER, 0, kKey, registry.user);
        TracesValue other(HKEY_LOCAL_MACHINE, OtherView(), kKey, registry.otherView);
        EXPECT_TRUE(machine.ok() && user.ok() && other.ok()) << "cannot set the registry";
        result.run = RunChild(exe, std::string("--child ") + scenario, kPrefix);
        EXPECT_TRUE(result.run.started) << "cannot start " << exe;
        EXPECT_EQ(result.run.exitCode, 0u) << scenario;
        result.files = TraceFilesOf(kPrefix, result.run.pid);
        std::sort(result.files.begin(), result.files.end());
        for (const std::string &name : result.files)
            result.lines.push_back(ReadTraceLines(LogFolder() + name));
        DeleteTraceFilesOf(kPrefix, result.run.pid);
        return result;
    }

    // The one file of the child's main thread.
    static Lines MainFile(const Result &r)
    {
        EXPECT_EQ(r.files, std::vector<std::string>{TraceFileName(kPrefix, r.run.pid, r.run.mainTid)});
        return r.lines.empty() ? Lines{} : r.lines[0];
    }

    static std::string CommandLineLine(const Result &r)
    {
        return "_Log_InitTraceConf:Command line : " + r.run.commandLine;
    }
};

// A copy of this program under the name of the local security authority,
// in another letter case, for the life of the object.
class LsassCopy {
public:
    LsassCopy()
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        dir_ = std::string(temp) + "vel_trace_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir_.c_str(), nullptr);
        path_ = dir_ + "\\LSASS.exe";
        ok_ = CopyFileA(OwnPath().c_str(), path_.c_str(), FALSE) != 0;
    }
    ~LsassCopy()
    {
        DeleteFileA(path_.c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    LsassCopy(const LsassCopy &) = delete;
    LsassCopy &operator=(const LsassCopy &) = delete;
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string dir_, path_;
    bool ok_ = false;
};

// The lines of ChildLevels for the levels let through by their level.
Lines LevelLines(const std::vector<int> &levels)
{
    Lines lines;
    for (int level : levels) {
        std::string n = std::to_string(level);
        lines.push_back("call(" + n + ") begin");
        lines.push_back("\tcall:step " + n);
        lines.push_back("call(" + n + ") return rv=0x00000001 ");
    }
    for (int level : levels)
        lines.push_back("failing(" + std::to_string(level) + ") return rv=0x80090016 error");
    return lines;
}

TEST_F(TraceTest, NothingIsWrittenWithoutALevel)
{
    struct Case {
        const char *what;
        Registry registry;
    } cases[] = {
        {"no value anywhere", {}},
        {"user 0 overrides machine 40", {40, 0, {}}},
        {"summary level outside lsass.exe", {5, {}, {}}},
        {"levels between the named ones", {{}, 7, {}}},
        {"machine value only in the other registry view", {{}, {}, 50}},
    };
    for (const Case &c : cases) {
        Result r = Run("levels", c.registry);
        EXPECT_TRUE(r.files.empty()) << c.what;
    }
}

TEST_F(TraceTest, LevelFilterAndUserOverride)
{
    // Machine value in this program's own view (the 32-bit one for x86).
    Result detail = Run("levels", {50, {}, {}});
    Lines expected = {CommandLineLine(detail)};
    for (const std::string &line : LevelLines({10, 40, 50}))
        expected.push_back(line);
    EXPECT_EQ(MainFile(detail), expected);

    Result handles = Run("levels", {40, 80, {}});
    expected = {CommandLineLine(handles)};
    for (const std::string &line : LevelLines({10, 40, 50, 80}))
        expected.push_back(line);
    EXPECT_EQ(MainFile(handles), expected);
}

// Only a REG_DWORD, or four bytes of REG_BINARY (which some tools write for
// a DWORD), sets the level; a value of any other type counts as absent, so
// the other hive's value holds, or none.
TEST_F(TraceTest, OnlyADwordValueSetsTheLevel)
{
    const RegistryData text0 = RegistryData::Text(REG_SZ, "0");
    const RegistryData text50 = RegistryData::Text(REG_SZ, "50");
    const RegistryData expand40 = RegistryData::Text(REG_EXPAND_SZ, "40");
    const RegistryData binary50(REG_BINARY, {50, 0, 0, 0});
    struct Case {
        const char *what;
        Registry registry;
        std::vector<int> levels; // the levels written; none: no file at all
    } cases[] = {
        {"text \"0\" alone", {{}, text0, {}}, {}},
        {"text \"50\" alone", {{}, text50, {}}, {}},
        {"expandable text \"40\" alone", {expand40, {}, {}}, {}},
        {"user text \"0\" over machine 80", {80, text0, {}}, {10, 40, 50, 80}},
        {"user text \"50\" over machine 0", {0, text50, {}}, {}},
        {"machine text \"50\" under user 40", {text50, 40, {}}, {10, 40}},
        {"user multi-text over machine 50",
         {50, RegistryData(REG_MULTI_SZ, {'4', '0', 0, 0}), {}},
         {10, 40, 50}},
        {"four bytes of binary", {{}, binary50, {}}, {10, 40, 50}},
        {"three bytes of binary", {{}, RegistryData(REG_BINARY, {80, 0, 0}), {}}, {}},
        {"five bytes of binary", {{}, RegistryData(REG_BINARY, {80, 0, 0, 0, 0}), {}}, {}},
        {"a big-endian DWORD", {{}, RegistryData(REG_DWORD_BIG_ENDIAN, {0, 0, 0, 80}), {}}, {}},
        {"a QWORD over machine 40", {40, RegistryData(REG_QWORD, {80, 0, 0, 0, 0, 0, 0, 0}), {}}, {10, 40}},
        {"four bytes of no type", {{}, RegistryData(REG_NONE, {50, 0, 0, 0}), {}}, {}},
        {"a REG_DWORD of two bytes", {{}, RegistryData(REG_DWORD, {50, 0}), {}}, {}},
    };
    for (const Case &c : cases) {
        Result r = Run("levels", c.registry);
        if (c.levels.empty()) {
            EXPECT_TRUE(r.files.empty())
                << c.what << ": " << (r.lines.empty() ? 0 : r.lines[0].size()) << " lines written";
            continue;
        }
        // The command line is a level-50 line.
        Lines expected;
        if (c.levels.back() >= LOG_LEVEL_DETAIL)
            expected.push_back(CommandLineLine(r));
        for (const std::string &line : LevelLines(c.levels))
            expected.push_back(line);
        EXPECT_EQ(MainFile(r), expected) << c.what;
    }
}

TEST_F(TraceTest, SummaryLevelOnlyInsideLsass)
{
    LsassCopy lsass;
    ASSERT_TRUE(lsass.ok());

    Result r = Run("levels", {{}, 5, {}}, lsass.path());
    // Level-5 lines and every failed return; the failed returns keep the
    // indentation of the open level-5 call.
    Lines expected = {
        "outer(o) begin",
        "\tcall(5) begin",
        "\t\tcall:step 5",
        "\tcall(5) return rv=0x00000001 ",
        "\tfailing(10) return rv=0x80090016 error",
        "\tfailing(40) return rv=0x80090016 error",
        "\tfailing(50) return rv=0x80090016 error",
        "\tfailing(80) return rv=0x80090016 error",
        "outer(o) return rv=0x00000000 ",
    };
    EXPECT_EQ(MainFile(r), expected);

    // In the same process, a level above 5 behaves as anywhere else.
    Result other = Run("levels", {{}, 40, {}}, lsass.path());
    Lines expected40 = LevelLines({10, 40});
    EXPECT_EQ(MainFile(other), expected40);
}

// Lines of one name, without their indentation, under another name.
Lines LinesNamed(const Lines &lines, const std::string &name, const std::string &shownAs)
{
    Lines found;
    for (const std::string &line : lines) {
        const size_t start = line.find_first_not_of('\t');
        if (start != std::string::npos && line.compare(start, name.size(), name) == 0)
            found.push_back(shownAs + line.substr(start + name.size()));
    }
    return found;
}

TEST_F(TraceTest, AskingFirstAgreesWithTheFilterAndFilteredScopesFormatNothing)
{
    LsassCopy lsass;
    ASSERT_TRUE(lsass.ok());
    struct Case {
        int level;
        bool inLsass;
        size_t plainLines; // of the 30 written plainly
        size_t scopeLines; // of the 20 lines of ten scopes
    } cases[] = {
        {10, false, 6, 4},
        {40, false, 12, 8},
        {80, false, 24, 16},
        // The summary level's lines, and the failed returns of every level.
        {5, true, 10, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        Result r = Run("asked", {{}, static_cast<DWORD>(c.level), {}}, c.inLsass ? lsass.path() : OwnPath());
        EXPECT_NE(r.run.exitCode, static_cast<DWORD>(kFaultExit)) << "a filtered line was formatted";
        const Lines lines = r.lines.empty() ? Lines{} : r.lines[0];
        const Lines plain = LinesNamed(lines, "plain", "");
        EXPECT_EQ(LinesNamed(lines, "asked", ""), plain);
        EXPECT_EQ(plain.size(), c.plainLines);
        const Lines scopes = LinesNamed(lines, "scope", "");
        EXPECT_EQ(scopes.size(), c.scopeLines);
        for (const std::string &line : scopes)
            EXPECT_NE(line.find("shown"), std::string::npos) << line;
    }
}

TEST_F(TraceTest, LineShapesAndNesting)
{
    Result r = Run("format", {{}, 40, {}});
    Lines expected = {
        "outer(7, abc) begin",
        "\touter:message 1",
        "\tinner() begin",
        "\t\tinner:deeper",
        "\tinner() return rv=0x00000000 ",
        "outer(7, abc) return rv=0x00000000 ",
        "judged(r) return rv=0x00000001 ",
        "judged(r) return rv=0x00000000 error",
        "judged(r) return rv=0x00000002 error",
        "judged(r) return rv=0x00000000 ",
        "judged(r) return rv=0x00000001 error",
        "judged(r) return rv=0x80100069 error",
        "?:no name",
        "() begin",
        "() return rv=0x00000000 ",
        "odd:kind 7",
        // 4,095 bytes each with the 26 of the time stamp and the line end.
        "long(" + std::string(4053, 'x') + "...) begin",
        "\tlong:" + std::string(4059, 'x') + "...",
        "long(" + std::string(4037, 'x') + "...) return rv=0x00000000 ",
        "orphan() return rv=0x00000000 ",
        "orphan() return rv=0x00000000 ",
        "edge(" + std::string(4056, 'e') + ") begin",
        "edge(" + std::string(4037, 'e') + "...) return rv=0x00000000 ",
        "after(here) begin",
        "after(here) return rv=0x00000000 ",
    };
    EXPECT_EQ(MainFile(r), expected);
}

TEST_F(TraceTest, ScopeWritesItsReturnLineAtEveryExit)
{
    Result r = Run("scope", {{}, 40, {}});
    Lines expected = {
        "scoped(0, arg) begin",
        "\tscoped:inside",
        "scoped() return rv=0x00000000 error",
        "scoped(1, arg) begin",
        "\tscoped:inside",
        "scoped(Bad exit 1) return rv=0x00000000 error",
        "scoped(2, arg) begin",
        "\tscoped:inside",
        "\tstatus() begin",
        "\tstatus(0x00000191) return rv=0x00000191 error",
        "scoped() return rv=0x00000001 ",
        "scoped(3, arg) begin",
        "\tscoped:inside",
        "scoped() return rv=0x00000001 ",
    };
    EXPECT_EQ(MainFile(r), expected);
}

TEST_F(TraceTest, ScopeReturnOfTheOtherKindIsJudgedByItsOwnKind)
{
    Result r = Run("scopekinds", {{}, 40, {}});
    Lines expected = {
        "kinds(0) begin", "kinds(status 1) return rv=0x00000001 error",
        "kinds(1) begin", "kinds() return rv=0x00000000 error",
        "kinds(2) begin", "kinds() return rv=0x00000001 ",
    };
    EXPECT_EQ(MainFile(r), expected);
}

TEST_F(TraceTest, CallerLastErrorIsKept)
{
    // Traced (the file exists after the first line) and not traced at all.
    Result on = Run("lasterror", {{}, 40, {}});
    EXPECT_EQ(on.run.exitCode, 0u);
    EXPECT_EQ(MainFile(on).size(), 9u); // 3 x 3 level-40 lines
    Result off = Run("lasterror", {});
    EXPECT_EQ(off.run.exitCode, 0u);
    EXPECT_TRUE(off.files.empty());
}

TEST_F(TraceTest, ThreadsTraceIntoTheirOwnFiles)
{
    // Level 50: the configuring thread also writes the command line, once.
    Result r = Run("threads", {50, {}, {}});
    ASSERT_EQ(r.files.size(), static_cast<size_t>(kThreads));
    int commandLines = 0;
    for (size_t i = 0; i < r.files.size(); ++i) {
        // "<prefix><pid>_<tid>.log": the thread id in the name is the one in its lines.
        const std::string &name = r.files[i];
        std::string head = TraceFileName(kPrefix, r.run.pid, 0);
        head.resize(head.size() - strlen("0.log"));
        ASSERT_EQ(name.compare(0, head.size(), head), 0) << name;
        std::string tid = name.substr(head.size(), name.size() - head.size() - strlen(".log"));
        EXPECT_EQ(tid.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
        Lines lines = r.lines[i];
        if (!lines.empty() && lines[0] == CommandLineLine(r)) {
            ++commandLines;
            lines.erase(lines.begin());
        }
        Lines expected = {"worker(" + tid + ") begin", "\tworker:thread " + tid,
                          "worker(" + tid + ") return rv=0x00000000 "};
        EXPECT_EQ(lines, expected) << name;
    }
    EXPECT_EQ(commandLines, 1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && !strcmp(argv[1], "--child"))
        return RunChildScenario(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
