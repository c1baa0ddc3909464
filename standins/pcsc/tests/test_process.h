// For Windows test programs that start others (control programs, services,
// the program under test): one way to run a command line and wait, and
// timeouts scaled for slow machines.
#ifndef PCSC_TEST_PROCESS_H
#define PCSC_TEST_PROCESS_H

#include <windows.h>

#include <string>

namespace vel_test {

// Runs the command line and waits for its end: its exit code, -1 when it
// could not start (reported on stderr). `elapsedMs` gets the run's duration.
int RunCommandLine(const std::string &commandLine, DWORD *elapsedMs = nullptr);

// Milliseconds scaled for slow machines (VEL_TEST_TIME_SCALE, default 1).
unsigned long Scaled(unsigned long ms);

} // namespace vel_test

#endif
