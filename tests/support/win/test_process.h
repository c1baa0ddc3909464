// For Windows test programs that start others (control programs, services,
// the program under test): one way to run a command line and wait, and
// waits scaled for slow machines (timeout_scale.h).
#ifndef VEL_TEST_PROCESS_H
#define VEL_TEST_PROCESS_H

#include <windows.h>

#include <string>

#include "timeout_scale.h" // ScaledMs: every wait of a test scales with the machine

namespace vel_test {

// Runs the command line and waits for its end: its exit code, -1 when it
// could not start (reported on stderr). `elapsedMs` gets the run's duration.
int RunCommandLine(const std::string &commandLine, DWORD *elapsedMs = nullptr);

// regsvr32 of this process's width on the DLL at `windowsPath` with the given
// switches ("/s", "/u /s"): its exit code.
int RunRegsvr32(const std::string &windowsPath, const std::string &switches = "/s");

} // namespace vel_test

#endif
