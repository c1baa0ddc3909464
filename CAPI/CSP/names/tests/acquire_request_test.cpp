// An acquire's request read once: the name served, the reader, the service
// or remote-session mark, the client computer and the library's reserved text.
#include "acquire_request.h"

#include <gtest/gtest.h>

#include <string>

using namespace csp::names;

namespace {

const char kApp[] = "\"C:\\Program Files\\app.exe\"";
const char kLsass[] = "C:\\Windows\\system32\\lsass.exe";
constexpr uint32_t kLogon = kSilent | kMachineKeyset;

TEST(AcquireRequest, EachKindOfRequest)
{
    struct Case {
        const char *what;
        const char *text;
        uint32_t flags;
        const char *commandLine;
        const char *container;
        const char *reader;
        bool remote;
        const char *computer; // NULL: the container takes none
        const char *reserved; // NULL: none
        int propagation;
    };
    const char remote[] = "010UMARTINCName(POSTE-12)";
    const Case cases[] = {
        {"no name", nullptr, 0, kApp, "DEFAULT_CONTAINER", "", false, nullptr, nullptr, 0},
        {"empty name", "", 0, kApp, "DEFAULT_CONTAINER", "", false, nullptr, nullptr, 0},
        {"ordinary", "010UMARTIN", 0, kApp, "010UMARTIN", "", false, nullptr, nullptr, 0},
        {"a reader is read for silent requests only", "\\\\.\\Lecteur 0\\010UMARTIN", 0, kApp,
         "\\\\.\\Lecteur 0\\010UMARTIN", "", false, nullptr, nullptr, 0},
        {"propagation with a reader", "\\\\.\\Lecteur 0\\010UMARTIN", kSilent, kApp,
         "\\\\.\\Lecteur 0\\010UMARTIN", "Lecteur 0", false, nullptr, nullptr, 1},
        {"machine keyset alone is ordinary", "\\\\.\\Lecteur 0\\x", kMachineKeyset, kApp,
         "\\\\.\\Lecteur 0\\x", "", false, nullptr, nullptr, 0},
        {"system logon outside the authority", remote, kLogon, kApp, remote, "", true, "POSTE-12", nullptr,
         1},
        {"remote system logon", remote, kLogon, kLsass, remote, "", true, "POSTE-12",
         "winlogonProcess;dataByThread=POSTE-12", 1},
        {"local system logon", "010UMARTIN", kLogon, kLsass, "010UMARTIN", "", false, "", "winlogonProcess",
         1},
        {"remote mark without a computer", "010UMARTIN)", kLogon, kLsass, "010UMARTIN)", "", true, "",
         "winlogonProcess;dataByThread=", 1},
        {"system logon with a reader", "\\\\.\\L\\aCName(PC)", kLogon, "LSASS.EXE", "\\\\.\\L\\aCName(PC)",
         "L", true, "PC", "winlogonProcess;dataByThread=PC", 1},
        {"propagation in the authority", remote, kSilent, kLsass, remote, "", true, nullptr,
         "winlogonProcess", 1},
        {"ordinary in the authority", nullptr, 0, kLsass, "DEFAULT_CONTAINER", "", false, nullptr,
         "winlogonProcess", 0},
        {"no command line", remote, kLogon, nullptr, remote, "", true, "POSTE-12", nullptr, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const AcquireRequest r = ReadAcquireRequest(c.text, c.flags, c.commandLine);
        EXPECT_EQ(r.container, c.container);
        EXPECT_TRUE(r.containerFits && r.readerFits && r.computerFits);
        EXPECT_EQ(r.reader, c.reader);
        EXPECT_EQ(r.remoteSession, c.remote);
        EXPECT_STREQ(r.Computer(), c.computer);
        EXPECT_STREQ(r.Reserved(), c.reserved);
        EXPECT_EQ(r.Propagation(), c.propagation);
    }
}

// What cannot be kept whole is marked, for the caller to refuse.
TEST(AcquireRequest, PartsThatDoNotFit)
{
    struct Case {
        const char *what;
        std::string text;
        uint32_t flags;
        bool containerFits, readerFits, computerFits;
    };
    const std::string reader254 = "\\\\.\\" + std::string(254, 'r') + "\\c";
    const std::string reader255 = "\\\\.\\" + std::string(255, 'r') + "\\c";
    const std::string computer127 = "xCName(" + std::string(127, 'p') + ")";
    const std::string computer128 = "xCName(" + std::string(128, 'p') + ")";
    const Case cases[] = {
        {"511 characters", std::string(511, 'n'), 0, true, true, true},
        {"512 characters", std::string(512, 'n'), 0, false, true, true},
        {"a reader of 254", reader254, kSilent, true, true, true},
        {"a reader of 255", reader255, kSilent, true, false, true},
        {"a long reader not read", reader255, 0, true, true, true},
        {"a computer of 127", computer127, kLogon, true, true, true},
        {"a computer of 128", computer128, kLogon, true, true, false},
        {"a long computer not read", computer128, kSilent, true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const AcquireRequest r = ReadAcquireRequest(c.text.c_str(), c.flags, kLsass);
        EXPECT_EQ(r.containerFits, c.containerFits);
        EXPECT_EQ(r.readerFits, c.readerFits);
        EXPECT_EQ(r.computerFits, c.computerFits);
    }
}

TEST(AcquireRequest, ServiceRequestMark)
{
    EXPECT_FALSE(EndsAsServiceRequest(nullptr));
    EXPECT_FALSE(EndsAsServiceRequest(""));
    EXPECT_TRUE(EndsAsServiceRequest(")"));
    EXPECT_TRUE(EndsAsServiceRequest("aCName(b)"));
    EXPECT_FALSE(EndsAsServiceRequest("aCName(b) "));
    EXPECT_FALSE(EndsAsServiceRequest("(a"));
}

} // namespace
