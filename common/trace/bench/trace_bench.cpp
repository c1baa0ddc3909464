// Cost of _Log_Trace per call, with tracing off (no "Traces" value) and on
// (level 40: level-40 lines written, level-80 lines filtered), and of a
// filtered TraceScope (a traced call's begin and return lines, with the
// arguments a provider method shows). The level is read once per process, so
// each measure runs in a child: this program started again with "off" or
// "on". The parent sets HKCU\Software\Ovrane\CSP "Traces" for the "on" run
// and puts the registry back afterwards; the child's trace files are removed.
#include "log_trace.h"
#include "trace_scope.h"
#include "trace_test_support.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const char kKey[] = "Software\\Ovrane\\CSP";
const char kPrefix[] = "vel3_csp_";

double Seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

const char kContainer[] = "0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567";

// One traced call at `level`, as a provider method makes it: begin line with
// its arguments, return line with its result.
void ScopedCall(int level, int i)
{
    TraceScope trace(level, "HandleContainer::Initialize", TRUE, "%s, 0x%08lx, 0x%p, %s", kContainer,
                     static_cast<unsigned long>(i), static_cast<void *>(&i), "Lecteur Ovrane VEL 0");
    trace.Return(TRUE, "%s, 0x%08lx, 0x%p, %s", kContainer, static_cast<unsigned long>(i),
                 static_cast<void *>(&i), "Lecteur Ovrane VEL 0");
}

// ns per filtered TraceScope at `level`.
double FilteredScopes(int level, int calls)
{
    LARGE_INTEGER t1, t2;
    QueryPerformanceCounter(&t1);
    for (int i = 0; i < calls; ++i)
        ScopedCall(level, i);
    QueryPerformanceCounter(&t2);
    return Seconds(t1, t2) * 1e9 / calls;
}

// Times the first call (configuration) apart from the steady state.
int Measure(const char *mode, int calls)
{
    LARGE_INTEGER t0, t1, t2;
    QueryPerformanceCounter(&t0);
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "bench", 0, FALSE, "first %d", 0);
    QueryPerformanceCounter(&t1);
    for (int i = 0; i < calls; ++i)
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "bench", 0, FALSE, "call %d of %s", i, "the loop");
    QueryPerformanceCounter(&t2);
    printf("tracing %-3s: first call %8.1f us, then %10.1f ns per call (%d calls)\n", mode,
           Seconds(t0, t1) * 1e6, Seconds(t1, t2) * 1e9 / calls, calls);
    const int scopes = 1000000;
    if (!strcmp(mode, "off"))
        printf(
            "tracing off: TraceScope (begin and return lines, 4 arguments): %10.1f ns per call (%d calls)\n",
            FilteredScopes(LOG_LEVEL_FUNCTION, scopes), scopes);
    if (!strcmp(mode, "on")) {
        printf(
            "tracing on : level-80 TraceScope filtered at level 40:        %10.1f ns per call (%d calls)\n",
            FilteredScopes(LOG_LEVEL_HANDLES, scopes), scopes);
        // Lines above the configured level while tracing is on: filtered, no file.
        const int filtered = 1000000;
        QueryPerformanceCounter(&t1);
        for (int i = 0; i < filtered; ++i)
            _Log_Trace(LOG_INFO, LOG_LEVEL_HANDLES, "bench", 0, FALSE, "call %d of %s", i, "the loop");
        QueryPerformanceCounter(&t2);
        printf("tracing on : level-80 lines filtered at level 40: %10.1f ns per call (%d calls)\n",
               Seconds(t1, t2) * 1e9 / filtered, filtered);
    }
    fflush(stdout);
    return 0;
}

int Parent()
{
    const std::string self = trace_test::OwnPath();
    {
        trace_test::TracesValue machine(HKEY_LOCAL_MACHINE, 0, kKey, {});
        trace_test::TracesValue user(HKEY_CURRENT_USER, 0, kKey, {});
        trace_test::ChildRun run = trace_test::RunChild(self, "off", kPrefix);
        if (!run.started || run.exitCode != 0)
            return 1;
        if (!trace_test::TraceFilesOf(kPrefix, run.pid).empty())
            printf("unexpected trace file with tracing off\n");
    }
    {
        trace_test::TracesValue machine(HKEY_LOCAL_MACHINE, 0, kKey, {});
        trace_test::TracesValue user(HKEY_CURRENT_USER, 0, kKey, DWORD{LOG_LEVEL_FUNCTION});
        trace_test::ChildRun run = trace_test::RunChild(self, "on", kPrefix, 600000);
        trace_test::DeleteTraceFilesOf(kPrefix, run.pid);
        if (!run.started || run.exitCode != 0)
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && !strcmp(argv[1], "off"))
        return Measure("off", 10000000);
    if (argc == 2 && !strcmp(argv[1], "on"))
        return Measure("on", 5000);
    return Parent();
}
