// Benchmark (prints numbers, checks nothing): the self-test on the software
// card's default card, with a per-call latency standing for a real card.
// Prints the self-test's duration and the number of PKCS#11 calls it makes.
//   selftest_bench [latency-ms] [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CardConnection.h"
#include "SelfTest.h"
#include "loaded_library.h"
#include "scripted_host.h"
#include "softcard_session.h"

using namespace vel;

namespace {

// Calls the library logged since the log was cleared.
long CountLoggedCalls(const std::string &statePath)
{
    std::string log = softcard_test::readFile(statePath + ".log");
    long lines = 0;
    for (char c : log)
        lines += c == '\n';
    return lines;
}

// One self-test on a fresh session; with `calls`, the library's calls
// during the self-test alone are counted (through its call log).
double RunOnce(OperationsUi &ui, ScriptedHost &host, const std::string &state, long *calls)
{
    if (!softcard_ops::OpenCardSession(ui)) {
        std::fprintf(stderr, "software card not reachable\n");
        std::exit(2);
    }
    host = ScriptedHost{};
    host.verifyPin = softcard_ops::LogInWithDefaultPin;
    if (calls) {
        softcard_test::control("log on");
        softcard_test::control("log clear");
    }
    auto start = std::chrono::steady_clock::now();
    TestServices(host);
    auto end = std::chrono::steady_clock::now();
    if (calls) {
        softcard_test::control("log off");
        *calls = CountLoggedCalls(state);
    }
    softcard_ops::CloseCardSession();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long latency = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string state = softcard_test::usePrivateState("selftest-bench");
    softcard_test::control("reset");

    // Counted once with the library's call log on (the log costs time of
    // its own), then timed without it.
    OperationsUi ui;
    ScriptedHost host;
    long calls = 0;
    RunOnce(ui, host, state, &calls);

    softcard_test::control("latency " + std::to_string(latency));
    double best = 1e30, total = 0;
    for (int i = 0; i < runs; ++i) {
        double ms = RunOnce(ui, host, state, nullptr);
        best = ms < best ? ms : best;
        total += ms;
    }
    softcard_test::control("latency 0");
    // The PIN presentation is the bench's own single C_Login; the program's
    // adds its token read and session set-up.
    std::printf("self-test on the default card: %ld PKCS#11 calls (1 of them the bench's C_Login)\n", calls);
    std::printf("latency %lu ms per card call: best %.0f ms, mean %.0f ms over %d runs\n", latency, best,
                total / runs, runs);
    softcard_test::removeFile(state);
    return 0;
}
