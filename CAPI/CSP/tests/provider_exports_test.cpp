// The provider's exports called directly, as a hostile caller would: every
// entry point found by name, unknown and NULL handles, NULL pointers, short
// buffers, a handle released twice.
#include <gtest/gtest.h>

#include <string>

#include "cp_interface.h"
#include "csp_test_support.h"

using namespace csp_test;

namespace {

typedef BOOL(WINAPI *AcquireFn)(HCRYPTPROV *, LPCSTR, DWORD, PVTableProvStruc);
typedef BOOL(WINAPI *ReleaseFn)(HCRYPTPROV, DWORD);
typedef BOOL(WINAPI *GetProvParamFn)(HCRYPTPROV, DWORD, BYTE *, DWORD *, DWORD);
typedef BOOL(WINAPI *SetProvParamFn)(HCRYPTPROV, DWORD, const BYTE *, DWORD);
typedef BOOL(WINAPI *TwoHandlesFn)(HCRYPTPROV, ULONG_PTR);
typedef BOOL(WINAPI *GetUserKeyFn)(HCRYPTPROV, DWORD, HCRYPTKEY *);

const char *const kEntryPoints[] = {
    "CPAcquireContext",  "CPReleaseContext", "CPGenKey",         "CPDeriveKey",       "CPDestroyKey",
    "CPSetKeyParam",     "CPGetKeyParam",    "CPSetProvParam",   "CPGetProvParam",    "CPSetHashParam",
    "CPGetHashParam",    "CPExportKey",      "CPImportKey",      "CPEncrypt",         "CPDecrypt",
    "CPCreateHash",      "CPHashData",       "CPHashSessionKey", "CPSignHash",        "CPDestroyHash",
    "CPVerifySignature", "CPGenRandom",      "CPGetUserKey",     "DllRegisterServer", "DllUnregisterServer"};

class ProviderExports : public CardTest {
protected:
    static void SetUpTestSuite()
    {
        CardTest::SetUpTestSuite();
        module_ = LoadLibraryA(ProviderPath().c_str());
        ASSERT_NE(module_, nullptr);
    }
    void SetUp() override
    {
        CardTest::SetUp();
        vtable_.dwProvType = PROV_RSA_FULL;
    }
    template <class F> F Get(const char *name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module_, name)));
    }
    static HMODULE module_;
    ProviderVTable vtable_ = {};
};
HMODULE ProviderExports::module_ = nullptr;

TEST_F(ProviderExports, AllFoundByName)
{
    for (const char *name : kEntryPoints)
        EXPECT_NE(GetProcAddress(module_, name), nullptr) << name;
}

TEST_F(ProviderExports, UnknownAndNullHandles)
{
    AcquireFn acquire = Get<AcquireFn>("CPAcquireContext");
    ReleaseFn release = Get<ReleaseFn>("CPReleaseContext");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(acquire(nullptr, kAuthContainer, 0, &vtable_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(release(0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(acquire(&prov, kAuthContainer, 0, &vtable_));
    HCRYPTPROV stranger = prov ^ 0x5A50;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(release(stranger, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(CountCalls("C_Finalize"), 0) << "an unknown handle finalises nothing";

    // Every other entry point refuses an unknown handle the same way.
    for (const char *name : kEntryPoints) {
        const std::string n = name;
        if (n == "CPAcquireContext" || n.compare(0, 3, "Dll") == 0)
            continue;
        SCOPED_TRACE(name);
        BYTE scratch[64] = {};
        DWORD len = sizeof scratch;
        SetLastError(0xdeadbeef);
        BOOL ok;
        if (n == "CPGetProvParam") {
            ok = Get<GetProvParamFn>(name)(stranger, PP_NAME, scratch, &len, 0);
        } else if (n == "CPSetProvParam") {
            ok = Get<SetProvParamFn>(name)(stranger, PP_KEYEXCHANGE_PIN,
                                           reinterpret_cast<const BYTE *>("1234"), 0);
        } else if (n == "CPGetUserKey") {
            HCRYPTKEY key = 0;
            ok = Get<GetUserKeyFn>(name)(stranger, AT_SIGNATURE, &key);
        } else if (n == "CPReleaseContext") {
            continue;
        } else {
            // The remaining entry points take only handles, numbers and
            // pointers; on x86 their stdcall cleanup differs per function, so
            // only those with two arguments are called this way.
            if (n != "CPDestroyKey" && n != "CPDestroyHash")
                continue;
            ok = Get<TwoHandlesFn>(name)(stranger, 0);
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    }

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(release(prov, 0));
    EXPECT_EQ(CountCalls("C_Finalize"), 1);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(release(prov, 0)) << "released twice";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(CountCalls("C_Finalize"), 1);
}

TEST_F(ProviderExports, NullLengthsAndShortBuffers)
{
    AcquireFn acquire = Get<AcquireFn>("CPAcquireContext");
    ReleaseFn release = Get<ReleaseFn>("CPReleaseContext");
    GetProvParamFn get = Get<GetProvParamFn>("CPGetProvParam");
    SetProvParamFn set = Get<SetProvParamFn>("CPSetProvParam");
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(acquire(&prov, kAuthContainer, 0, &vtable_));
    for (DWORD param : {static_cast<DWORD>(PP_NAME), static_cast<DWORD>(PP_CONTAINER),
                        static_cast<DWORD>(PP_CERTCHAIN), static_cast<DWORD>(PP_USER_CERTSTORE),
                        static_cast<DWORD>(PP_SMARTCARD_GUID), static_cast<DWORD>(PP_ENUMCONTAINERS),
                        static_cast<DWORD>(PP_ENUMALGS), static_cast<DWORD>(PP_CRYPT_COUNT_KEY_USE)}) {
        SCOPED_TRACE(param);
        BYTE buffer[4] = {};
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(
            get(prov, param, buffer, nullptr, CRYPT_FIRST & (param == PP_ENUMCONTAINERS ? ~0u : 0u)));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(set(prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The certificate with a length pointer but no room: the size, nothing written.
    DWORD size = 3;
    BYTE small[3] = {1, 2, 3};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(get(prov, PP_CERTCHAIN, small, &size, AT_SIGNATURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_GT(size, 500u);
    EXPECT_EQ(small[0], 1);
    EXPECT_TRUE(release(prov, 0));
}

} // namespace
