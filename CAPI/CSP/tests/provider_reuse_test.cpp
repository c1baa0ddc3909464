// Handle reuse across acquires on one thread and across threads, service
// contexts handed out again once only, and the library finalised with the
// last release: seen through the software card's call log.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

class ProviderReuse : public CardTest {};

// The acquire on another thread, its result and what it cost the card.
Acquired AcquireOnOtherThread(const std::string &name, DWORD flags = 0)
{
    Acquired a = {FALSE, 0, 0};
    std::thread t([&] { a = Acquire(name.c_str(), flags); });
    t.join();
    return a;
}

TEST_F(ProviderReuse, SameThread)
{
    struct Case {
        const char *what;
        const char *first;
        const char *second;
        bool reused;
    };
    const std::string longer = std::string(kAuthContainer) + "-suite";
    const Case cases[] = {
        {"a longer name holding the first", kAuthContainer, longer.c_str(), true},
        {"the same name", kAuthContainer, kAuthContainer, true},
        {"NULL then NULL", nullptr, nullptr, true},
        {"NULL then a name", nullptr, kAuthContainer, false},
        {"empty then any name", "", kAuthContainer, true},
        {"a name then a shorter one", longer.c_str(), kAuthContainer, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        Acquired a = Acquire(c.first, 0);
        ASSERT_TRUE(a.ok) << std::hex << a.error;
        const int opened = CountCalls("C_OpenSession");
        Acquired b = Acquire(c.second, 0);
        ASSERT_TRUE(b.ok) << std::hex << b.error;
        EXPECT_EQ(CountCalls("C_OpenSession") == opened, c.reused);
        // Releasing one leaves the other whole; the last release finalises.
        EXPECT_TRUE(Release(a.prov));
        EXPECT_TRUE(GetParam(b.prov, PP_CONTAINER).ok);
        EXPECT_EQ(CountCalls("C_Finalize"), 0);
        EXPECT_TRUE(Release(b.prov));
        EXPECT_EQ(CountCalls("C_Finalize"), 1);
    }
}

TEST_F(ProviderReuse, AcrossThreadsAndServiceContexts)
{
    Acquired mine = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(mine.ok);
    int opened = CountCalls("C_OpenSession");

    // Another thread takes an ordinary context with a matching name.
    Acquired other = AcquireOnOtherThread(std::string(kAuthContainer) + "-x");
    ASSERT_TRUE(other.ok);
    EXPECT_EQ(CountCalls("C_OpenSession"), opened);

    // A service name (ending with ')') never takes another thread's context.
    const std::string service = std::string(kAuthContainer) + "CName(PC1)";
    Acquired svc = AcquireOnOtherThread(service, CRYPT_SILENT);
    ASSERT_TRUE(svc.ok) << std::hex << svc.error;
    EXPECT_GT(CountCalls("C_OpenSession"), opened);

    EXPECT_TRUE(Release(other.prov));
    EXPECT_TRUE(Release(svc.prov));

    // On a thread of its own a service context is handed out again once only.
    std::thread t([&] {
        int before = CountCalls("C_OpenSession");
        Acquired s1 = Acquire(service.c_str(), CRYPT_SILENT);
        ASSERT_TRUE(s1.ok);
        EXPECT_GT(CountCalls("C_OpenSession"), before);
        before = CountCalls("C_OpenSession");
        Acquired s2 = Acquire(service.c_str(), CRYPT_SILENT);
        ASSERT_TRUE(s2.ok);
        EXPECT_EQ(CountCalls("C_OpenSession"), before) << "the first reuse";
        Acquired s3 = Acquire(service.c_str(), CRYPT_SILENT);
        ASSERT_TRUE(s3.ok);
        EXPECT_GT(CountCalls("C_OpenSession"), before) << "no second reuse";
        ClearLog();
        EXPECT_TRUE(Release(s1.prov));
        EXPECT_TRUE(Release(s2.prov));
        EXPECT_EQ(CountCalls("C_Finalize"), 0) << "the thread still holds a service context";
        EXPECT_TRUE(Release(s3.prov));
        EXPECT_EQ(CountCalls("C_Finalize"), 0)
            << "the library serves the whole process: other contexts remain";
    });
    t.join();
    ClearLog();
    EXPECT_TRUE(Release(mine.prov));
    EXPECT_NE(CallLog().find("C_Finalize(pReserved=NULL)"), std::string::npos) << CallLog();
}

// The library was initialised for the whole process (no data by thread):
// the last service context of a thread must not end the other threads' sessions.
TEST_F(ProviderReuse, LastServiceContextOfAThreadLeavesTheOtherContextsWorking)
{
    Acquired mine = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(mine.ok);
    const std::string service = std::string(kAuthContainer) + "CName(PC2)";
    std::thread t([&] {
        Acquired s = Acquire(service.c_str(), CRYPT_SILENT);
        ASSERT_TRUE(s.ok);
        ClearLog();
        EXPECT_TRUE(Release(s.prov));
    });
    t.join();
    EXPECT_EQ(CountCalls("C_Finalize"), 0) << CallLog();
    // The kept context still reaches the card through its session.
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(mine.prov, AT_SIGNATURE, &key));
    DWORD length = 0;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length)) << std::hex << GetLastError();
    EXPECT_EQ(276u, length);
    CryptDestroyKey(key);
    Acquired again = Acquire((std::string(kAuthContainer) + "-y").c_str(), 0);
    EXPECT_TRUE(again.ok) << std::hex << again.error;
    if (again.ok) {
        EXPECT_TRUE(Release(again.prov));
    }
    ClearLog();
    EXPECT_TRUE(Release(mine.prov));
    EXPECT_NE(CallLog().find("C_Finalize(pReserved=NULL)"), std::string::npos) << CallLog();
}

} // namespace
