#include "csp_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "loaded_library.h"
#include "test_process.h"

namespace csp_test {

const char kProvider[] = "Ovrane Cryptographic Provider";
const char kAuthContainer[] = "0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567";
const char kSignContainer[] = "0q10UFR10UOvraneTest10U250001234510UMARTINJEANNESIGNATURE10U810001234567";

namespace {
std::string g_state;
}

std::string ProviderPath()
{
    std::string path = VEL_CSP_DLL_PATH;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

int RunRegsvr32(const std::string &switches)
{
    return vel_test::RunRegsvr32(ProviderPath(), switches);
}

void SetUpCard(const char *tag)
{
    g_state = softcard_test::usePrivateState(tag);
    ASSERT_EQ(RunRegsvr32("/s"), 0);
    ASSERT_EQ(Ctl("log on"), 0);
}

void CardTest::SetUpTestSuite()
{
    SetUpCard(::testing::UnitTest::GetInstance()->current_test_suite()->name());
}

void CardTest::SetUp()
{
    ASSERT_EQ(Ctl("reset"), 0);
    ASSERT_EQ(Ctl("log on"), 0);
    ClearLog();
}

int Ctl(const std::string &args)
{
    return softcard_test::control(args);
}

std::string CallLog()
{
    return softcard_test::readFile(g_state + ".log");
}

void ClearLog()
{
    softcard_test::removeFile(g_state + ".log");
}

int CountCalls(const char *function)
{
    const std::string log = CallLog();
    const std::string needle = std::string("] ") + function + (*function ? "(" : "C_");
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++n;
    return n;
}

Acquired Acquire(const char *container, DWORD flags)
{
    Acquired a = {FALSE, 0, 0};
    SetLastError(0xdeadbeef);
    a.ok = CryptAcquireContextA(&a.prov, container, kProvider, PROV_RSA_FULL, flags);
    a.error = GetLastError();
    return a;
}

BOOL Release(HCRYPTPROV prov, DWORD *error)
{
    SetLastError(0xdeadbeef);
    const BOOL ok = CryptReleaseContext(prov, 0);
    if (error)
        *error = GetLastError();
    return ok;
}

Param GetParam(HCRYPTPROV prov, DWORD param, DWORD flags)
{
    Param p = {FALSE, 0, std::string(), 0};
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    if (!CryptGetProvParam(prov, param, nullptr, &size, flags)) {
        p.error = GetLastError();
        return p;
    }
    std::vector<BYTE> buffer(size ? size : 1);
    p.size = size;
    SetLastError(0xdeadbeef);
    p.ok = CryptGetProvParam(prov, param, buffer.data(), &size, flags);
    p.error = GetLastError();
    if (p.ok)
        p.bytes.assign(reinterpret_cast<char *>(buffer.data()), size);
    return p;
}

} // namespace csp_test
