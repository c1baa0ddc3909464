// Registration, acquire and release of the provider through CryptoAPI
// (advapi32), with the software card's call log showing what reached the card.
#include <gtest/gtest.h>

#include <string>

#include "csp_test_support.h"
#include "process_counters.h"

using namespace csp_test;

namespace {

const char kReader[] = "Lecteur Ovrane VEL 0";
// The default card's second certificate (signature), under its own subject's name.
const char kSignContainer[] = "0q10UFR10UOvraneTest10U250001234510UMARTINJEANNESIGNATURE10U810001234567";
const char kProvidersKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Ovrane Cryptographic Provider";

class ProviderAcquire : public CardTest {};

// Certificate subjects read from the card (CKA_SUBJECT, 0x101, alone).
int SubjectReads()
{
    const std::string log = CallLog();
    int n = 0;
    for (size_t at = log.find("] C_GetAttributeValue("); at != std::string::npos;
         at = log.find("] C_GetAttributeValue(", at + 1)) {
        const size_t end = log.find('\n', at);
        if (log.substr(at, end - at).find("types=0x101)") != std::string::npos)
            ++n;
    }
    return n;
}

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
    EXPECT_EQ(RegQueryValueExA(key, "Image Path", nullptr, &type, reinterpret_cast<BYTE *>(path), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STRCASEEQ(path, ProviderPath().c_str());
    size = sizeof provType;
    EXPECT_EQ(RegQueryValueExA(key, "Type", nullptr, &type, reinterpret_cast<BYTE *>(&provType), &size),
              ERROR_SUCCESS);
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
        const char *expectedName; // PP_CONTAINER, or NULL when the context has no card
        int slotLists;            // C_GetSlotList calls the acquire makes
        int subjectReads;         // certificate subjects it reads: a name further on only when needed
    };
    const std::string byReader = std::string("\\\\.\\") + kReader + "\\anything";
    const std::string withSuffix = std::string(kAuthContainer) + "CName(PC1)";
    const DWORD systemLogon = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    const Case cases[] = {
        {"the first certificate's name", kAuthContainer, 0, kAuthContainer, 1, 1},
        {"the second certificate's name", kSignContainer, 0, kSignContainer, 1, 2},
        {"a longer name holding the first", withSuffix.c_str(), 0, withSuffix.c_str(), 1, 1},
        {"default container (NULL)", nullptr, 0, kAuthContainer, 1, 1},
        {"default container (empty)", "", 0, kAuthContainer, 1, 1},
        {"default container (by name)", "DEFAULT_CONTAINER", 0, kAuthContainer, 1, 1},
        {"reader path, silent", byReader.c_str(), CRYPT_SILENT, kAuthContainer, 1, 1},
        {"silent", kAuthContainer, CRYPT_SILENT, kAuthContainer, 1, 1},
        {"machine keyset, silent", kAuthContainer, systemLogon, kAuthContainer, 1, 1},
        {"machine keyset, silent, verification: the system logon's path", nullptr,
         systemLogon | CRYPT_VERIFYCONTEXT, kAuthContainer, 1, 1},
        {"machine keyset", kAuthContainer, CRYPT_MACHINE_KEYSET, kAuthContainer, 1, 1},
        {"verification context", nullptr, CRYPT_VERIFYCONTEXT, nullptr, 0, 0},
        {"silent, no matching card", "nothing-like-it", CRYPT_SILENT, nullptr, 1, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        Acquired a = Acquire(c.container, c.flags);
        ASSERT_TRUE(a.ok) << std::hex << a.error;
        EXPECT_EQ(CountCalls("C_GetSlotList"), c.slotLists);
        EXPECT_EQ(SubjectReads(), c.subjectReads) << CallLog();
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

// A verification context opens no named key container of the Microsoft
// provider, each of which keeps a handle open under Wine: over many
// verification acquires the process's handles stay where they were.
TEST_F(ProviderAcquire, VerificationAcquiresLeaveNoHandleBehind)
{
    const int kPairs = 200;
    int failures = 0;
    const auto pairs = [&](int n) {
        for (int i = 0; i < n; ++i) {
            Acquired a = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
            if (!a.ok || !Release(a.prov))
                ++failures;
        }
    };
    pairs(5); // the libraries loaded once
    const DWORD before = vel_test::OpenHandles();
    pairs(kPairs);
    const DWORD after = vel_test::OpenHandles();
    EXPECT_EQ(failures, 0);
    EXPECT_LE(after, before + 4) << before << " -> " << after << " over " << kPairs << " pairs";
    EXPECT_EQ(CountCalls(""), 0) << "a verification context never reaches the card";
}

TEST_F(ProviderAcquire, TwoCards)
{
    // The technical card in a second reader, listed after the first.
    const char kTechContainer[] = "0=10UFR10UOvraneTest10UCL10UAB";
    ASSERT_EQ(Ctl("add-reader \"Lecteur B\" 2"), 0);
    ASSERT_EQ(Ctl("insert \"Lecteur B\" vel3-cl"), 0);
    struct Case {
        const char *what;
        const char *container;
        DWORD flags;
        const char *expectedName;
    };
    const std::string bReader = "\\\\.\\Lecteur B\\x";
    const Case cases[] = {
        {"default container: the first slot", nullptr, 0, kAuthContainer},
        {"the second card by its name", kTechContainer, 0, kTechContainer},
        {"the second card by its reader", bReader.c_str(), CRYPT_SILENT, kTechContainer},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Acquired a = Acquire(c.container, c.flags);
        ASSERT_TRUE(a.ok) << std::hex << a.error;
        EXPECT_EQ(GetParam(a.prov, PP_CONTAINER).bytes, std::string(c.expectedName) + '\0');
        EXPECT_TRUE(Release(a.prov));
    }
    // One card whose certificates cannot be read fails the whole lookup by
    // name, even when the other card would match.
    ASSERT_EQ(Ctl("inject C_FindObjectsInit 1 0x30"), 0);
    Acquired a = Acquire(kTechContainer, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(ProviderAcquire, CardPulledAtEachCallOfTheSetUp)
{
    // Every card call of a silent acquire's set-up, in order, fails as a
    // pulled card would. Whatever the acquire answers, it leaves nothing
    // behind: the next acquire and release finalise the library.
    struct Step {
        const char *function;
        int nth;
    };
    const Step steps[] = {
        {"C_Initialize", 1},        {"C_GetSlotList", 1},       {"C_OpenSession", 1},
        {"C_FindObjectsInit", 1},   {"C_FindObjects", 1},       {"C_FindObjectsFinal", 1},
        {"C_GetAttributeValue", 1}, {"C_CloseSession", 1},      {"C_OpenSession", 2},
        {"C_FindObjectsInit", 2},   {"C_FindObjects", 2},       {"C_FindObjectsFinal", 2},
        {"C_GetAttributeValue", 2}, {"C_GetAttributeValue", 3}, {"C_GetAttributeValue", 4},
        {"C_GetAttributeValue", 5},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(std::string(step.function) + " #" + std::to_string(step.nth));
        ASSERT_EQ(Ctl("inject clear"), 0);
        ASSERT_EQ(Ctl(std::string("inject ") + step.function + " " + std::to_string(step.nth) + " 0x32"), 0);
        Acquired a = Acquire(kAuthContainer, CRYPT_SILENT);
        if (a.ok) {
            Param name = GetParam(a.prov, PP_CONTAINER);
            EXPECT_TRUE(name.ok ? name.bytes == std::string(kAuthContainer) + '\0'
                                : name.error == static_cast<DWORD>(NTE_FAIL));
            EXPECT_TRUE(Release(a.prov));
        } else {
            EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));
        }
        ASSERT_EQ(Ctl("inject clear"), 0);
        ClearLog();
        Acquired b = Acquire(kAuthContainer, 0);
        ASSERT_TRUE(b.ok) << std::hex << b.error;
        EXPECT_TRUE(Release(b.prov));
        EXPECT_EQ(CountCalls("C_Finalize"), 1) << "no context was left registered";
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
        {"verification context with a name", kAuthContainer, CRYPT_VERIFYCONTEXT,
         static_cast<DWORD>(NTE_BAD_FLAGS)},
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

// A card in the reader that fails while its container is built: a failure
// (silent, so that the old card-absent answer shows as a success here).
TEST_F(ProviderAcquire, CardErrorsWhileTheContainerIsBuiltAreFailures)
{
    for (const char *setup : {"inject C_OpenSession 2 0x30", "inject C_FindObjectsInit 2 0x30",
                              "inject C_GetAttributeValue 3 0x30", "inject C_GetAttributeValue 4 0x30"}) {
        SCOPED_TRACE(setup);
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl(setup), 0);
        Acquired a = Acquire(kAuthContainer, CRYPT_SILENT);
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.error, static_cast<DWORD>(NTE_BAD_KEYSET));
        if (a.ok)
            Release(a.prov);
    }
    ASSERT_EQ(Ctl("reset"), 0);
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
