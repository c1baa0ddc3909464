#include "zeb_test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace zeb_test {

void UsePrivateState(const char *tag)
{
    char dir[MAX_PATH], folder[MAX_PATH + 64];
    GetTempPathA(sizeof(dir), dir);
    std::snprintf(folder, sizeof(folder), "%szeb-%s-%lu", dir, tag, GetCurrentProcessId());
    CreateDirectoryA(folder, nullptr);
    std::string path = std::string(folder) + "\\softcard.state";
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", path.c_str());
    _putenv_s("VEL_SOFTCARD_STATE", path.c_str());
}

int RunProgram(const std::string &program, const std::string &args)
{
    return vel_test::RunCommandLine("\"" + program + "\" " + args);
}

int Ctl(const std::string &args)
{
    return RunProgram(ZEB_TEST_SOFTCARD_CTL, args);
}

int PcscCtl(const std::string &args)
{
    return RunProgram(ZEB_TEST_PCSC_CTL, args);
}

std::string CardImage(const char *image)
{
    return std::string("\"") + ZEB_TEST_CARDS_DIR + "\\" + image + ".card\"";
}

std::string Quoted(const char *text)
{
    return std::string("\"") + text + "\"";
}

} // namespace zeb_test
