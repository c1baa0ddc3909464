// Registration, acquire and release of the provider through CryptoAPI
// (advapi32), with the software card's call log showing what reached the card.
#include <gtest/gtest.h>

#include <string>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const char kReader[] = "Lecteur Ovrane VEL 0";
const char kProvidersKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Ovrane Cryptographic Provider";

class ProviderAcquire : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SetUpCard("csp-acquire"); }
    void SetUp() override
    {
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl("log on"), 0);
        ClearLog();
    }
};

TEST_F(ProviderAcquire, RegistrationWithRegsvr32AndRemoval)
{
    ASSERT_EQ(RunRegsvr32("/u /s"), 0);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    Acquired a = Acquire(kAuthContainer, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_NE(a.error, 0xdeadbeefu);
    EXPECT_EQ(RunRegsvr32("/u /s"), 0) << "removing twice is no error";

    ASSERT_EQ(RunRegsvr32("/s"), 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char path[MAX_PATH] = {};
    DWORD size = sizeof path, type = 0, provType = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Image Path", nullptr, &type, reinterpret_cast<BYTE *>(path), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STRCASEEQ(path, ProviderPath().c_str());
    size = sizeof provType;
    EXPECT_EQ(RegQueryValueExA(key, "Type", nullptr, &type, reinterpret_cast<BYTE *>(&provType), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(provType, 1u);
    RegCloseKey(key);
}

TEST_F(ProviderAcquire, ContextsOnTheCardAndReleaseDownToFinalize)
{
    struct Case {
        const char *what;
        const char *container;
        DWORD flags;
        const char *expectedName;   // PP_CONTAINER, or NULL when the context has no card
        int slotLists;              // C_GetSlotList calls the acquire makes
    };
    const std::string byReader = std::string("\\\\.\\") + kReader + "\\anything";
    const std::string withSuffix = std::string(kAuthContainer) + "CName(PC1)";
    const Case cases[] = {
        {"certificate's container name", kAuthContainer, 0, kAuthContainer, 1},
        {"a longer name holding it", withSuffix.c_str(), 0, withSuffix.c_str(), 1},
        {"default container (NULL)", nullptr, 0, kAuthContainer, 1},
        {"default container (empty)", "", 0, kAuthContainer, 1},
        {"reader path, silent", byReader.c_str(), CRYPT_SILENT, kAuthContainer, 1},
        {"silent", kAuthContainer, CRYPT_SILENT, kAuthContainer, 1},
        {"machine keyset, silent", kAuthContainer, CRYPT_MACHINE_KEYSET | CRYPT_SILENT, kAuthContainer, 1},
        {"machine keyset", kAuthContainer, CRYPT_MACHINE_KEYSET, kAuthContainer, 1},
        {"verification context", nullptr, CRYPT_VERIFYCONTEXT, nullptr, 0},
        {"silent, no matching card", "nothing-like-it", CRYPT_SILENT, nullptr, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        Acquired a = Acquire(c.container, c.flags);
        ASSERT_TRUE(a.ok) << std::hex << a.error;
        EXPECT_EQ(CountCalls("C_GetSlotList"), c.slotLists);
        Param name = GetParam(a.prov, PP_CONTAINER);
        if (c.expectedName) {
            EXPECT_TRUE(name.ok);
            EXPECT_EQ(name.bytes, std::string(c.expectedName) + '\0');
        } else {
            EXPECT_FALSE(name.ok);
            EXPECT_EQ(name.error, static_cast<DWORD>(NTE_FAIL));
        }
        DWORD error = 0;
        EXPECT_TRUE(Release(a.prov, &error)) << std::hex << error;
        EXPECT_EQ(CountCalls("C_Finalize"), c.slotLists ? 1 : 0) << CallLog();
    }
}

TEST_F(ProviderAcquire, RefusedRequests)
{
    struct Case {
        const char *what;
        std::string container;
        DWORD flags;
        DWORD error;
    };
    const Case cases[] = {
        {"delete keyset", kAuthContainer, CRYPT_DELETEKEYSET, static_cast<DWORD>(NTE_BAD_FLAGS)},
        {"verification context with a name", kAuthContainer, CRYPT_VERIFYCONTEXT, static_cast<DWORD>(NTE_BAD_FLAGS)},
        {"new keyset", kAuthContainer, CRYPT_NEWKEYSET, static_cast<DWORD>(NTE_BAD_FLAGS)},
        {"name beyond 511 characters", std::string(kAuthContainer) + std::string(600, 'x'), 0,
         static_cast<DWORD>(NTE_BAD_KEYSET)},
        {"reader part beyond 254 characters", "\\\\.\\" + std::string(300, 'r') + "\\c", CRYPT_SILENT,
         static_cast<DWORD>(NTE_BAD_KEYSET)},
        {"unknown reader", "\\\\.\\Lecteur inconnu\\c", CRYPT_SILENT, static_cast<DWORD>(NTE_BAD_KEYSET)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Acquired a = Acquire(c.container.c_str(), c.flags);
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.error, c.error);
    }
    // A failed acquire leaves nothing behind: the next one sets up afresh and
    // its release finalises.
    ClearLog();
    Acquired a = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(Release(a.prov));
    EXPECT_EQ(CountCalls("C_Finalize"), 1);
}

TEST_F(ProviderAcquire, CardFailuresGiveBadKeyset)
{
    struct Case {
        const char *what;
        const char *setup;
    };
    const Case cases[] = {
        {"no card", "remove \"Lecteur Ovrane VEL 0\""},
        {"slot list fails", "inject C_GetSlotList 1 0x30"},
        {"session cannot open", "inject C_OpenSession 1 0xB4"},
        {"certificate search fails", "inject C_FindObjectsInit 1 0x30"},
        {"subject unreadable", "inject C_GetAttributeValue 1 0x30"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl(c.setup), 0);
        Acquired a = Acquire(kAuthContainer, 0);
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));
        if (a.ok)
            Release(a.prov);
    }
    ASSERT_EQ(Ctl("reset"), 0);
    Acquired a = Acquire(kAuthContainer, 0);
    EXPECT_TRUE(a.ok) << "the card serves again once it is back";
    if (a.ok)
        Release(a.prov);
}

} // namespace
