// The provider's trace files at each configured level, written while a
// CryptoAPI application uses it: what each level lets through, no PIN in any
// line, and every entry point's last error intact after its trace lines.
// The level is read once per process: each level runs in a fresh child (this
// program started again with --child).
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "csp_test_support.h"
#include "trace_test_support.h"

using namespace csp_test;

namespace {

const char kKey[] = "Software\\Ovrane\\CSP";
const char kPrefix[] = "vel3_csp_";

// The child: one card context used and released; exit code 0 when every
// BOOL and last error was as expected.
int Child()
{
    int bad = 0;
    Acquired a = Acquire(kAuthContainer, 0);
    if (!a.ok)
        return 10;
    SetLastError(0xdeadbeef);
    if (!CryptSetProvParam(a.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("1234"), 0))
        ++bad;
    BYTE buffer[8];
    DWORD size = sizeof buffer;
    SetLastError(0xdeadbeef);
    if (CryptGetProvParam(a.prov, PP_NAME, buffer, &size, 0) || GetLastError() != ERROR_MORE_DATA)
        ++bad;
    SetLastError(0xdeadbeef);
    if (CryptSetProvParam(a.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("12x4"), 0) ||
        GetLastError() != static_cast<DWORD>(SCARD_E_INVALID_CHV))
        ++bad;
    // The enumerations to their end, whose last answer is no fault; a refused
    // flag, which is one.
    for (DWORD param : {DWORD(PP_ENUMALGS), DWORD(PP_ENUMALGS_EX), DWORD(PP_ENUMCONTAINERS)}) {
        BYTE item[512];
        int answers = 0;
        for (DWORD flags = CRYPT_FIRST; answers < 200; flags = CRYPT_NEXT, ++answers) {
            size = sizeof item;
            if (!CryptGetProvParam(a.prov, param, item, &size, flags))
                break;
        }
        if (answers == 0 || GetLastError() != ERROR_NO_MORE_ITEMS)
            ++bad;
    }
    size = sizeof buffer;
    if (CryptGetProvParam(a.prov, PP_ENUMCONTAINERS, buffer, &size, 4) ||
        GetLastError() != static_cast<DWORD>(NTE_BAD_FLAGS))
        ++bad;
    // Parameters by name in the trace: the longest name, and one we do not know.
    size = sizeof buffer;
    CryptGetProvParam(a.prov, 47, buffer, &size, 0);
    size = sizeof buffer;
    CryptGetProvParam(a.prov, 44, buffer, &size, 0);
    SetLastError(0xdeadbeef);
    if (!CryptReleaseContext(a.prov, 0))
        ++bad;
    // A refused acquire says why in its return line.
    HCRYPTPROV refused = 0;
    SetLastError(0xdeadbeef);
    if (CryptAcquireContextA(&refused, kAuthContainer, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET) ||
        GetLastError() != static_cast<DWORD>(NTE_BAD_FLAGS))
        ++bad;
    return bad;
}

struct Level {
    std::optional<DWORD> value;
    std::vector<const char *> present;
    std::vector<const char *> absent;
    bool anyFile;
};

std::string AllLines(DWORD pid)
{
    std::string all;
    for (const std::string &file : trace_test::TraceFilesOf(kPrefix, pid))
        for (const std::string &line : trace_test::ReadTraceLines(trace_test::LogFolder() + file))
            all += line + "\n";
    return all;
}

// The return lines of CPGetProvParam for one parameter (", <id>, " after the handle).
std::vector<std::string> GetProvParamReturns(const std::string &lines, DWORD param)
{
    std::vector<std::string> found;
    const std::string id = ", " + std::to_string(param) + ", ";
    for (size_t start = 0, end; start < lines.size(); start = end + 1) {
        end = lines.find('\n', start);
        const std::string line = lines.substr(start, end - start);
        const size_t at = line.find("CPGetProvParam(0x");
        if (at != std::string::npos && line.find(") return rv=") != std::string::npos &&
            line.find(id, at) == line.find(", ", at))
            found.push_back(line);
        if (end == std::string::npos)
            break;
    }
    return found;
}

bool MarkedAsError(const std::string &line)
{
    return line.size() >= 5 && line.compare(line.size() - 5, 5, "error") == 0;
}

// An enumeration's end reads as a success; a real failure (a short buffer, a
// refused flag) still reads as an error.
void ExpectEnumerationEndsNoFault(const std::string &lines)
{
    for (DWORD param : {DWORD(PP_ENUMALGS), DWORD(PP_ENUMALGS_EX)}) {
        const std::vector<std::string> returns = GetProvParamReturns(lines, param);
        EXPECT_GT(returns.size(), 2u) << param;
        for (const std::string &line : returns)
            EXPECT_FALSE(MarkedAsError(line)) << line;
    }
    const std::vector<std::string> containers = GetProvParamReturns(lines, PP_ENUMCONTAINERS);
    ASSERT_EQ(containers.size(), 3u) << lines;
    EXPECT_FALSE(MarkedAsError(containers[0])) << containers[0];
    EXPECT_FALSE(MarkedAsError(containers[1])) << "the end of the list: " << containers[1];
    EXPECT_TRUE(MarkedAsError(containers[2])) << "a refused flag: " << containers[2];
    const std::vector<std::string> name = GetProvParamReturns(lines, PP_NAME);
    ASSERT_EQ(name.size(), 1u);
    EXPECT_TRUE(MarkedAsError(name[0])) << "a short buffer: " << name[0];
}

TEST(ProviderTrace, EachLevel)
{
    SetUpCard("csp-trace");
    const Level levels[] = {
        {std::nullopt, {}, {}, false},
        {0, {}, {}, false},
        {5, {}, {}, false}, // the summary level is for the security authority's process only
        {40,
         {"CPAcquireContext(", ") begin", "HandleContainer::Initialize", "Pkcs::UpdateContainerTable",
          "Bad Flags (CRYPT_DELETEKEYSET) 0x", "log_prov_param:Looking For : PP_NAME                 \n",
          "log_prov_param:Looking For : PP_ENUMCONTAINERS       \n",
          "log_prov_param:Looking For : PP_SMARTCARD_READER_ICON\n",
          "log_prov_param:Looking For : UNKNOWN PARAMETER ?\n"},
         {"csp_alloc", "HandleEntries::AddHandle"},
         true},
        {50, {"csp_alloc", "countAlloc=", "getX509Value", "login"}, {"HandleEntries::AddHandle"}, true},
        {80, {"HandleEntries::AddHandle", "csp_free", "getCertListFromAttr"}, {}, true},
    };
    for (const Level &level : levels) {
        SCOPED_TRACE(level.value ? static_cast<int>(*level.value) : -1);
        trace_test::TracesValue lm(HKEY_LOCAL_MACHINE, trace_test::OwnView(), kKey, std::nullopt);
        trace_test::TracesValue cu(HKEY_CURRENT_USER, trace_test::OwnView(), kKey, level.value);
        ASSERT_TRUE(lm.ok() && cu.ok());
        trace_test::ChildRun run = trace_test::RunChild(trace_test::OwnPath(), "--child", kPrefix);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 0u) << "a BOOL or last error went wrong in the child";
        const std::string lines = AllLines(run.pid);
        EXPECT_EQ(!lines.empty(), level.anyFile) << lines;
        for (const char *text : level.present)
            EXPECT_NE(lines.find(text), std::string::npos) << text;
        for (const char *text : level.absent)
            EXPECT_EQ(lines.find(text), std::string::npos) << text;
        // The PIN is 1234; the card's serial number, inside the container name, holds those digits too.
        std::string withoutNames = lines;
        for (size_t at; (at = withoutNames.find(kAuthContainer)) != std::string::npos;)
            withoutNames.erase(at, std::strlen(kAuthContainer));
        EXPECT_EQ(withoutNames.find("1234"), std::string::npos) << "a PIN in the trace";
        if (level.value && *level.value == 40)
            ExpectEnumerationEndsNoFault(lines);
        trace_test::DeleteTraceFilesOf(kPrefix, run.pid);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return Child();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
