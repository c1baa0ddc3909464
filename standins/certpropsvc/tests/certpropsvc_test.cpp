// The "CertPropSvc" stand-in under the service manager: installed, started,
// stopped and started again as the tray does it, with the manager's own
// error codes for what is refused.
#include <gtest/gtest.h>

#include <windows.h>

#include "test_process.h"
#include "wait_until.h"

#include <cstdlib>
#include <string>

namespace {

int RunProgram(const std::string &args)
{
    return vel_test::RunCommandLine(std::string("\"") + CERTPROPSVC_EXE + "\" " + args);
}

// Waits for the service to reach `state`; the state it was last seen in.
DWORD WaitForState(SC_HANDLE svc, DWORD state)
{
    SERVICE_STATUS s = {};
    vel_test::WaitUntil([&] { return !QueryServiceStatus(svc, &s) || s.dwCurrentState == state; }, 10000);
    return s.dwCurrentState;
}

TEST(CertPropSvc, StopsAndStartsLikeTheRealService)
{
    ASSERT_EQ(0, RunProgram("install"));
    ASSERT_EQ(0, RunProgram("install")); // again: the entry is kept, pointed here
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, scm);
    SC_HANDLE svc = OpenServiceA(scm, "CertPropSvc", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, svc);
    SERVICE_STATUS s;
    ControlService(svc, SERVICE_CONTROL_STOP, &s); // left running by an earlier run
    ASSERT_EQ(DWORD(SERVICE_STOPPED), WaitForState(svc, SERVICE_STOPPED));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(StartServiceA(svc, 0, nullptr));
        EXPECT_EQ(DWORD(SERVICE_RUNNING), WaitForState(svc, SERVICE_RUNNING));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(StartServiceA(svc, 0, nullptr));
        EXPECT_EQ(DWORD(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &s));
        EXPECT_EQ(DWORD(SERVICE_STOPPED), WaitForState(svc, SERVICE_STOPPED));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_STOP, &s));
        EXPECT_EQ(DWORD(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    }
    CloseServiceHandle(svc);

    // Removed, the name is unknown; installed again for the tests that need it.
    ASSERT_EQ(0, RunProgram("uninstall"));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, OpenServiceA(scm, "CertPropSvc", SERVICE_QUERY_STATUS));
    EXPECT_EQ(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    EXPECT_EQ(0, RunProgram("install"));
    CloseServiceHandle(scm);
    // Not under the service manager, or with a wrong argument: refused.
    EXPECT_EQ(1, RunProgram(""));
    EXPECT_EQ(2, RunProgram("bogus"));
}

} // namespace
