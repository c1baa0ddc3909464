// The parts read from requested container names and token labels.
#include "container_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace csp::names;

namespace {

TEST(ContainerNames, ReaderFromRequest)
{
    struct Case {
        const char *request;
        bool ok;
        const char *reader;
    };
    const std::string longReader = "\\\\.\\" + std::string(255, 'r') + "\\c";
    const std::string fitting = "\\\\.\\" + std::string(254, 'r') + "\\c";
    const Case cases[] = {
        {"\\\\.\\Lecteur Ovrane VEL 0\\010UMARTIN", true, "Lecteur Ovrane VEL 0"},
        {"\\\\.\\Lecteur\\", true, "Lecteur"},
        {"\\\\.\\Lecteur\\a\\b", true, "Lecteur"}, // up to the next backslash only
        {"\\\\.\\\\010UMARTIN", true, ""},         // an empty reader is none
        {"\\\\.\\Lecteur", true, ""},              // no backslash after it
        {"\\\\.\\", true, ""},
        {"\\\\x\\Lecteur\\c", true, ""}, // not the "\\.\" form
        {"010UMARTIN", true, ""},
        {"", true, ""},
        {nullptr, true, ""},
        {fitting.c_str(), true, nullptr}, // 254 characters and the NUL fill the buffer
        {longReader.c_str(), false, ""},  // 255 do not fit: refused
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request ? c.request : "NULL");
        char out[255];
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(ReaderFromRequest(c.request, out, sizeof out), c.ok);
        EXPECT_STREQ(out, c.reader ? c.reader : std::string(254, 'r').c_str());
    }
    char none[1] = {'Z'};
    EXPECT_FALSE(ReaderFromRequest("\\\\.\\r\\c", none, 0)) << "no room at all";
    EXPECT_EQ(none[0], 'Z');
}

TEST(ContainerNames, SmartCardGuidFromLabel)
{
    struct Case {
        const char *label;
        bool ok;
        std::string tail; // the last bytes, the rest being zero
    };
    const Case cases[] = {
        {"VEL3v2-2501 MARTIN", true, "\x25\x01"},
        {"VEL3v2-2501", true, "\x25\x01"},
        {"X-12345678901234567890123456789012", true,
         "\x12\x34\x56\x78\x90\x12\x34\x56\x78\x90\x12\x34\x56\x78\x90\x12"},
        {"X-123456789012345678901234567890123", false, ""}, // 33 digits
        {"X-123", false, ""},                               // odd
        {"X- 12", false, ""},                               // empty
        {"X-12a4", false, ""},
        {"NO DASH 1234", false, ""},
        {"VEL3v2-MARTIN JEANNE", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        uint8_t guid[16];
        std::memset(guid, 0xEE, sizeof guid);
        EXPECT_EQ(SmartCardGuidFromLabel(c.label, std::strlen(c.label), guid), c.ok);
        if (c.ok) {
            const std::string expected = std::string(16 - c.tail.size(), '\0') + c.tail;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(guid), 16), expected);
        }
    }
    // A label of 32 blank-padded bytes without NUL is read within its bytes only.
    char padded[32];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, "A-42", 4);
    uint8_t guid[16];
    EXPECT_TRUE(SmartCardGuidFromLabel(padded, sizeof padded, guid));
    EXPECT_EQ(guid[15], 0x42);
}

TEST(ContainerNames, ComputerNameFromContainer)
{
    struct Case {
        const char *name;
        bool ok;
        const char *computer;
    };
    const std::string longName = "n" + std::string("CName(") + std::string(200, 'c') + ")";
    const Case cases[] = {
        {"010UABCName(PC42)", true, "PC42"},
        {"010UAB(x)", true, ""},
        {"010UAB", true, ""},
        {"CName(", true, ""},
        {"CName()", true, ""},
        {longName.c_str(), false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char out[128] = "stale";
        EXPECT_EQ(ComputerNameFromContainer(c.name, out, sizeof out), c.ok);
        EXPECT_STREQ(out, c.computer);
    }
}

} // namespace
