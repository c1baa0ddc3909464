// The provider's entry points called directly, as CryptoAPI calls them but
// without its filtering, as a hostile caller would: every export found by
// name; bad, unknown and released provider handles, NULL pointers and short
// buffers give their exact error codes; a card key handle given to each
// entry point that hands work to the Microsoft context never reaches it.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>
#include <vector>

#include "cp_interface.h"
#include "csp_test_support.h"

using namespace csp_test;

namespace {

// The provider's exports, looked up by name.
struct Exports {
    HMODULE module = nullptr;
#define VEL_EXPORT(name, ...) BOOL(WINAPI *name)(__VA_ARGS__) = nullptr;
    VEL_EXPORT(CPAcquireContext, HCRYPTPROV *, LPCSTR, DWORD, PVTableProvStruc)
    VEL_EXPORT(CPReleaseContext, HCRYPTPROV, DWORD)
    VEL_EXPORT(CPGenKey, HCRYPTPROV, ALG_ID, DWORD, HCRYPTKEY *)
    VEL_EXPORT(CPDeriveKey, HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY *)
    VEL_EXPORT(CPDestroyKey, HCRYPTPROV, HCRYPTKEY)
    VEL_EXPORT(CPSetKeyParam, HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE *, DWORD)
    VEL_EXPORT(CPGetKeyParam, HCRYPTPROV, HCRYPTKEY, DWORD, BYTE *, DWORD *, DWORD)
    VEL_EXPORT(CPSetProvParam, HCRYPTPROV, DWORD, const BYTE *, DWORD)
    VEL_EXPORT(CPGetProvParam, HCRYPTPROV, DWORD, BYTE *, DWORD *, DWORD)
    VEL_EXPORT(CPSetHashParam, HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE *, DWORD)
    VEL_EXPORT(CPGetHashParam, HCRYPTPROV, HCRYPTHASH, DWORD, BYTE *, DWORD *, DWORD)
    VEL_EXPORT(CPExportKey, HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE *, DWORD *)
    VEL_EXPORT(CPImportKey, HCRYPTPROV, const BYTE *, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY *)
    VEL_EXPORT(CPEncrypt, HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE *, DWORD *, DWORD)
    VEL_EXPORT(CPDecrypt, HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE *, DWORD *)
    VEL_EXPORT(CPCreateHash, HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH *)
    VEL_EXPORT(CPHashData, HCRYPTPROV, HCRYPTHASH, const BYTE *, DWORD, DWORD)
    VEL_EXPORT(CPHashSessionKey, HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD)
    VEL_EXPORT(CPSignHash, HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE *, DWORD *)
    VEL_EXPORT(CPDestroyHash, HCRYPTPROV, HCRYPTHASH)
    VEL_EXPORT(CPVerifySignature, HCRYPTPROV, HCRYPTHASH, const BYTE *, DWORD, HCRYPTKEY, LPCWSTR, DWORD)
    VEL_EXPORT(CPGenRandom, HCRYPTPROV, DWORD, BYTE *)
    VEL_EXPORT(CPGetUserKey, HCRYPTPROV, DWORD, HCRYPTKEY *)
#undef VEL_EXPORT

    void Load()
    {
        module = LoadLibraryA(csp_test::ProviderPath().c_str());
        ASSERT_NE(nullptr, module);
#define VEL_FIND(name)                                                                                       \
    name = reinterpret_cast<decltype(name)>(reinterpret_cast<void *>(GetProcAddress(module, #name)));        \
    ASSERT_NE(nullptr, name) << #name
        VEL_FIND(CPAcquireContext);
        VEL_FIND(CPReleaseContext);
        VEL_FIND(CPGenKey);
        VEL_FIND(CPDeriveKey);
        VEL_FIND(CPDestroyKey);
        VEL_FIND(CPSetKeyParam);
        VEL_FIND(CPGetKeyParam);
        VEL_FIND(CPSetProvParam);
        VEL_FIND(CPGetProvParam);
        VEL_FIND(CPSetHashParam);
        VEL_FIND(CPGetHashParam);
        VEL_FIND(CPExportKey);
        VEL_FIND(CPImportKey);
        VEL_FIND(CPEncrypt);
        VEL_FIND(CPDecrypt);
        VEL_FIND(CPCreateHash);
        VEL_FIND(CPHashData);
        VEL_FIND(CPHashSessionKey);
        VEL_FIND(CPSignHash);
        VEL_FIND(CPDestroyHash);
        VEL_FIND(CPVerifySignature);
        VEL_FIND(CPGenRandom);
        VEL_FIND(CPGetUserKey);
#undef VEL_FIND
    }
};

Exports cp;
ProviderVTable vtable = {};

// Every export the provider library must have, by name.
const char *const kEntryPoints[] = {
    "CPAcquireContext",  "CPReleaseContext", "CPGenKey",         "CPDeriveKey",       "CPDestroyKey",
    "CPSetKeyParam",     "CPGetKeyParam",    "CPSetProvParam",   "CPGetProvParam",    "CPSetHashParam",
    "CPGetHashParam",    "CPExportKey",      "CPImportKey",      "CPEncrypt",         "CPDecrypt",
    "CPCreateHash",      "CPHashData",       "CPHashSessionKey", "CPSignHash",        "CPDestroyHash",
    "CPVerifySignature", "CPGenRandom",      "CPGetUserKey",     "DllRegisterServer", "DllUnregisterServer"};

// Both suites: the card set up, the provider loaded, the table handed at acquire.
void LoadOnCard()
{
    csp_test::SetUpCard("keys-exports");
    cp.Load();
    vtable.Version = 3;
    vtable.dwProvType = PROV_RSA_FULL;
}

// The exports with no context of the suite open: what acquires, releases and
// the library's finalisation do on their own.
class ExportsAlone : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadOnCard(); }
    void SetUp() override
    {
        ASSERT_EQ(csp_test::Ctl("reset"), 0);
        ASSERT_EQ(csp_test::Ctl("log on"), 0);
        csp_test::ClearLog();
    }
};

TEST_F(ExportsAlone, AllFoundByName)
{
    for (const char *name : kEntryPoints)
        EXPECT_NE(GetProcAddress(cp.module, name), nullptr) << name;
}

TEST_F(ExportsAlone, UnknownNullAndReleasedHandles)
{
    using csp_test::CountCalls;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPAcquireContext(nullptr, csp_test::kAuthContainer, 0, &vtable));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPReleaseContext(0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(cp.CPAcquireContext(&prov, csp_test::kAuthContainer, 0, &vtable));
    HCRYPTPROV stranger = prov ^ 0x5A50;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPReleaseContext(stranger, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(CountCalls("C_Finalize"), 0) << "an unknown handle finalises nothing";

    // The other entry points refuse an unknown handle the same way.
    BYTE scratch[64] = {};
    DWORD len = sizeof scratch;
    HCRYPTKEY key = 0;
    ExpectFailure("CPGetProvParam", DWORD(NTE_BAD_UID),
                  [&] { return cp.CPGetProvParam(stranger, PP_NAME, scratch, &len, 0); });
    ExpectFailure("CPSetProvParam", DWORD(NTE_BAD_UID), [&] {
        return cp.CPSetProvParam(stranger, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("1234"), 0);
    });
    ExpectFailure("CPGetUserKey", DWORD(NTE_BAD_UID),
                  [&] { return cp.CPGetUserKey(stranger, AT_SIGNATURE, &key); });
    ExpectFailure("CPDestroyKey", DWORD(NTE_BAD_UID), [&] { return cp.CPDestroyKey(stranger, 0); });
    ExpectFailure("CPDestroyHash", DWORD(NTE_BAD_UID), [&] { return cp.CPDestroyHash(stranger, 0); });

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(cp.CPReleaseContext(prov, 0));
    EXPECT_EQ(CountCalls("C_Finalize"), 1);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPReleaseContext(prov, 0)) << "released twice";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(CountCalls("C_Finalize"), 1);
}

TEST_F(ExportsAlone, NullLengthsAndShortBuffersOfTheProviderParameters)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(cp.CPAcquireContext(&prov, csp_test::kAuthContainer, 0, &vtable));
    for (DWORD param : {static_cast<DWORD>(PP_NAME), static_cast<DWORD>(PP_CONTAINER),
                        static_cast<DWORD>(PP_CERTCHAIN), static_cast<DWORD>(PP_USER_CERTSTORE),
                        static_cast<DWORD>(PP_SMARTCARD_GUID), static_cast<DWORD>(PP_ENUMCONTAINERS),
                        static_cast<DWORD>(PP_ENUMALGS), static_cast<DWORD>(PP_CRYPT_COUNT_KEY_USE)}) {
        SCOPED_TRACE(param);
        BYTE buffer[4] = {};
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(cp.CPGetProvParam(prov, param, buffer, nullptr,
                                       CRYPT_FIRST & (param == PP_ENUMCONTAINERS ? ~0u : 0u)));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPSetProvParam(prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The certificate with a length pointer but no room: the size, nothing written.
    DWORD size = 3;
    BYTE small[3] = {1, 2, 3};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cp.CPGetProvParam(prov, PP_CERTCHAIN, small, &size, AT_SIGNATURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_GT(size, 500u);
    EXPECT_EQ(small[0], 1);
    EXPECT_TRUE(cp.CPReleaseContext(prov, 0));
}

class DirectExports : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadOnCard(); }

    void SetUp() override
    {
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(cp.CPAcquireContext(&card, "DEFAULT_CONTAINER", 0, &vtable))
            << std::hex << GetLastError();
        ASSERT_TRUE(cp.CPSetProvParam(card, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(cp.CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, &vtable))
            << std::hex << GetLastError();
        ASSERT_TRUE(cp.CPGetUserKey(card, AT_KEYEXCHANGE, &exchange));
        ASSERT_TRUE(cp.CPGetUserKey(card, AT_SIGNATURE, &signature));
    }
    void TearDown() override
    {
        EXPECT_TRUE(cp.CPReleaseContext(verify, 0));
        EXPECT_TRUE(cp.CPReleaseContext(card, 0));
    }

    // A hash of "abc"; the verification context's default provider knows no SHA-2.
    HCRYPTHASH HashOfAbc(HCRYPTPROV prov, ALG_ID alg = CALG_SHA_256)
    {
        HCRYPTHASH h = 0;
        EXPECT_TRUE(cp.CPCreateHash(prov, alg, 0, 0, &h));
        EXPECT_TRUE(cp.CPHashData(prov, h, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        return h;
    }

    HCRYPTPROV card = 0, verify = 0;
    HCRYPTKEY exchange = 0, signature = 0;
};

TEST_F(DirectExports, UnknownProviderHandles)
{
    BYTE buf[64];
    DWORD len = sizeof(buf);
    HCRYPTKEY k = 0;
    HCRYPTHASH h = 0;
    for (HCRYPTPROV bad : {HCRYPTPROV(0), HCRYPTPROV(0x1234), card + 8}) {
        const DWORD code = DWORD(NTE_BAD_UID);
        ExpectFailure("CPGenKey", code, [&] { return cp.CPGenKey(bad, CALG_RC4, 0, &k); });
        ExpectFailure("CPDestroyKey", code, [&] { return cp.CPDestroyKey(bad, exchange); });
        ExpectFailure("CPSetKeyParam", code, [&] { return cp.CPSetKeyParam(bad, exchange, KP_IV, buf, 0); });
        ExpectFailure("CPGetKeyParam", code,
                      [&] { return cp.CPGetKeyParam(bad, exchange, KP_KEYLEN, buf, &len, 0); });
        ExpectFailure("CPSetProvParam", code,
                      [&] { return cp.CPSetProvParam(bad, PP_SIGNATURE_PIN, buf, 0); });
        ExpectFailure("CPGetProvParam", code, [&] { return cp.CPGetProvParam(bad, PP_NAME, buf, &len, 0); });
        ExpectFailure("CPSetHashParam", code, [&] { return cp.CPSetHashParam(bad, 1, HP_HASHVAL, buf, 0); });
        ExpectFailure("CPGetHashParam", code,
                      [&] { return cp.CPGetHashParam(bad, 1, HP_ALGID, buf, &len, 0); });
        ExpectFailure("CPExportKey", code,
                      [&] { return cp.CPExportKey(bad, exchange, 0, PUBLICKEYBLOB, 0, buf, &len); });
        ExpectFailure("CPImportKey", code, [&] { return cp.CPImportKey(bad, buf, 20, 0, 0, &k); });
        ExpectFailure("CPEncrypt", code,
                      [&] { return cp.CPEncrypt(bad, exchange, 0, TRUE, 0, buf, &len, 64); });
        ExpectFailure("CPDecrypt", code, [&] { return cp.CPDecrypt(bad, exchange, 0, TRUE, 0, buf, &len); });
        ExpectFailure("CPCreateHash", code, [&] { return cp.CPCreateHash(bad, CALG_SHA1, 0, 0, &h); });
        ExpectFailure("CPHashData", code, [&] { return cp.CPHashData(bad, 1, buf, 4, 0); });
        ExpectFailure("CPHashSessionKey", code, [&] { return cp.CPHashSessionKey(bad, 1, exchange, 0); });
        ExpectFailure("CPSignHash", code,
                      [&] { return cp.CPSignHash(bad, 1, AT_SIGNATURE, nullptr, 0, buf, &len); });
        ExpectFailure("CPDestroyHash", code, [&] { return cp.CPDestroyHash(bad, 1); });
        ExpectFailure("CPVerifySignature", code,
                      [&] { return cp.CPVerifySignature(bad, 1, buf, 64, exchange, nullptr, 0); });
        ExpectFailure("CPGenRandom", code, [&] { return cp.CPGenRandom(bad, 8, buf); });
        ExpectFailure("CPGetUserKey", code, [&] { return cp.CPGetUserKey(bad, AT_SIGNATURE, &k); });
        // Not implemented, whatever the handle.
        ExpectFailure("CPDeriveKey", DWORD(E_NOTIMPL),
                      [&] { return cp.CPDeriveKey(bad, CALG_RC4, 1, 0, &k); });
    }
}

TEST_F(DirectExports, NullPointersAndShortBuffers)
{
    HCRYPTHASH h = HashOfAbc(card);
    BYTE buf[4096];
    DWORD len = 0;
    ExpectFailure("CPGenKey without phKey", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPGenKey(card, CALG_RC4, 0, nullptr); });
    ExpectFailure("CPSetKeyParam without pbData", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPSetKeyParam(card, exchange, KP_IV, nullptr, 0); });
    ExpectFailure("CPExportKey without length", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPExportKey(card, exchange, 0, PUBLICKEYBLOB, 0, buf, nullptr); });
    ExpectFailure("CPCreateHash without phHash", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPCreateHash(card, CALG_SHA1, 0, 0, nullptr); });
    ExpectFailure("CPGetKeyParam without length", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPGetKeyParam(card, exchange, KP_KEYLEN, buf, nullptr, 0); });
    ExpectFailure("CPGetUserKey without phUserKey", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPGetUserKey(card, AT_SIGNATURE, nullptr); });
    ExpectFailure("CPSignHash without length", DWORD(NTE_INVALID_PARAMETER),
                  [&] { return cp.CPSignHash(card, h, AT_SIGNATURE, nullptr, 0, buf, nullptr); });
    ExpectFailure("CPImportKey without blob", DWORD(NTE_FAIL), [&] {
        HCRYPTKEY k;
        return cp.CPImportKey(card, nullptr, 100, exchange, 0, &k);
    });
    ExpectFailure("CPDecrypt without length", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPDecrypt(card, exchange, 0, TRUE, 0, buf, nullptr); });

    struct Short {
        const char *what;
        std::function<BOOL(DWORD *)> call;
        DWORD needed;
    };
    const Short shorts[] = {
        {"signature", [&](DWORD *l) { return cp.CPSignHash(card, h, AT_SIGNATURE, nullptr, 0, buf, l); },
         256},
        {"key length", [&](DWORD *l) { return cp.CPGetKeyParam(card, signature, KP_KEYLEN, buf, l, 0); }, 4},
        {"algorithm", [&](DWORD *l) { return cp.CPGetKeyParam(card, exchange, KP_ALGID, buf, l, 0); }, 4},
        {"public key blob",
         [&](DWORD *l) { return cp.CPExportKey(card, exchange, 0, PUBLICKEYBLOB, 0, buf, l); }, 276},
    };
    for (const Short &s : shorts) {
        len = s.needed - 1;
        ExpectFailure(s.what, ERROR_MORE_DATA, [&] { return s.call(&len); });
        EXPECT_EQ(s.needed, len) << s.what;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(s.call(&len)) << s.what;
        EXPECT_EQ(s.needed, len) << s.what;
    }
    // Lengths far beyond any key: refused, nothing read past the blob's header.
    len = 0xFFFFFFFF;
    ExpectFailure("decryption of 4 GB", DWORD(NTE_BAD_DATA),
                  [&] { return cp.CPDecrypt(card, exchange, 0, TRUE, 0, buf, &len); });
    const BYTE header[12] = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0, 0};
    ExpectFailure("a 2 GB session key blob", DWORD(NTE_BAD_TYPE), [&] {
        HCRYPTKEY k;
        return cp.CPImportKey(card, header, 0x7FFFFFFF, exchange, 0, &k);
    });
    len = 0xFFFFFFFF;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(cp.CPSignHash(card, h, AT_SIGNATURE, nullptr, 0, buf, &len));
    EXPECT_EQ(256u, len);

    // The certificate, asked for its size first.
    len = 0;
    ASSERT_TRUE(cp.CPGetKeyParam(card, exchange, KP_CERTIFICATE, nullptr, &len, 0));
    const DWORD certLen = len;
    len = certLen - 1;
    ExpectFailure("certificate", ERROR_MORE_DATA,
                  [&] { return cp.CPGetKeyParam(card, exchange, KP_CERTIFICATE, buf, &len, 0); });
    EXPECT_EQ(certLen, len);
    EXPECT_TRUE(cp.CPGetKeyParam(card, exchange, KP_CERTIFICATE, buf, &len, 0));
    EXPECT_TRUE(cp.CPDestroyHash(card, h));
}

TEST_F(DirectExports, ContextsWithoutACardContainer)
{
    HCRYPTHASH h = HashOfAbc(verify, CALG_SHA1);
    BYTE buf[512];
    DWORD len = sizeof(buf);
    HCRYPTKEY k = 0;
    ExpectFailure("signature size query", DWORD(NTE_NO_KEY),
                  [&] { return cp.CPSignHash(verify, h, AT_SIGNATURE, nullptr, 0, nullptr, &len); });
    ExpectFailure("user key", DWORD(NTE_FAIL), [&] { return cp.CPGetUserKey(verify, AT_SIGNATURE, &k); });
    // Keys of the Microsoft context are its own business.
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPGenKey(verify, CALG_RC4, CRYPT_EXPORTABLE, &k));
    DWORD alg = 0;
    len = sizeof(alg);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(cp.CPGetKeyParam(verify, k, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0));
    EXPECT_EQ(DWORD(CALG_RC4), alg);
    ExpectFailure("destroying a key without a card container", DWORD(NTE_INVALID_PARAMETER),
                  [&] { return cp.CPDestroyKey(verify, k); });
    EXPECT_TRUE(cp.CPDestroyHash(verify, h));
}

TEST_F(DirectExports, CardKeyHandlesNeverReachTheMicrosoftContext)
{
    BYTE buf[512] = {};
    DWORD len = 16;
    HCRYPTHASH h = 0;
    ExpectFailure("set key parameter", DWORD(NTE_BAD_KEY),
                  [&] { return cp.CPSetKeyParam(card, exchange, KP_IV, buf, 0); });
    ExpectFailure("keyed hash", DWORD(NTE_BAD_KEY),
                  [&] { return cp.CPCreateHash(card, CALG_MAC, signature, 0, &h); });
    HCRYPTHASH sha = HashOfAbc(card);
    ExpectFailure("hash of a session key", DWORD(NTE_BAD_KEY),
                  [&] { return cp.CPHashSessionKey(card, sha, exchange, 0); });
    ExpectFailure("decryption with the signature key", DWORD(NTE_BAD_KEY),
                  [&] { return cp.CPDecrypt(card, signature, 0, TRUE, 0, buf, &len); });
    ExpectFailure("unwrapping with the signature key", DWORD(NTE_BAD_KEY), [&] {
        const BYTE blob[12 + 256] = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0, 0,
                                     1};
        HCRYPTKEY k = 0;
        return cp.CPImportKey(card, blob, sizeof(blob), signature, 0, &k);
    });
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(cp.CPDestroyKey(card, signature));
    HCRYPTKEY again = 0;
    EXPECT_TRUE(cp.CPGetUserKey(card, AT_SIGNATURE, &again));
    EXPECT_EQ(signature, again);

    // Public-key work is done with the certificate's key: data encrypted for
    // the card's exchange key comes back from the card, a signature made by
    // the card verifies.
    BYTE data[256] = "a secret for the card";
    len = 22;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPEncrypt(card, exchange, 0, TRUE, 0, data, &len, sizeof(data)))
        << std::hex << GetLastError();
    ASSERT_EQ(256u, len);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPDecrypt(card, exchange, 0, TRUE, 0, data, &len)) << std::hex << GetLastError();
    EXPECT_EQ(std::string("a secret for the card"), std::string(reinterpret_cast<char *>(data), len - 1));

    DWORD sigLen = sizeof(buf);
    ASSERT_TRUE(cp.CPSignHash(card, sha, AT_SIGNATURE, nullptr, 0, buf, &sigLen));
    HCRYPTHASH check = HashOfAbc(card);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(cp.CPVerifySignature(card, check, buf, sigLen, signature, nullptr, 0))
        << std::hex << GetLastError();
    buf[10] ^= 1;
    ExpectFailure("a changed signature", DWORD(NTE_BAD_SIGNATURE),
                  [&] { return cp.CPVerifySignature(card, check, buf, sigLen, signature, nullptr, 0); });

    // A session key wrapped for the card, then unwrapped by it.
    HCRYPTKEY session = 0, back = 0;
    ASSERT_TRUE(cp.CPGenKey(card, CALG_RC4, CRYPT_EXPORTABLE, &session));
    DWORD blobLen = sizeof(buf);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPExportKey(card, session, exchange, SIMPLEBLOB, 0, buf, &blobLen))
        << std::hex << GetLastError();
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPImportKey(card, buf, blobLen, exchange, 0, &back)) << std::hex << GetLastError();
    BYTE a[8] = "message", b[8] = "message";
    DWORD la = 8, lb = 8;
    ASSERT_TRUE(cp.CPEncrypt(card, session, 0, TRUE, 0, a, &la, 8));
    ASSERT_TRUE(cp.CPEncrypt(card, back, 0, TRUE, 0, b, &lb, 8));
    EXPECT_EQ(0, memcmp(a, b, 8));
    cp.CPDestroyKey(card, session);
    cp.CPDestroyKey(card, back);
    cp.CPDestroyHash(card, check);
    cp.CPDestroyHash(card, sha);
}

TEST_F(DirectExports, DecryptionOptionsOfTheCardKey)
{
    BYTE data[256] = "hashed as well";
    DWORD len = 15;
    ASSERT_TRUE(cp.CPEncrypt(card, exchange, 0, TRUE, 0, data, &len, sizeof(data)));
    const std::vector<BYTE> cipher(data, data + len);
    ExpectFailure("not final", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPDecrypt(card, exchange, 0, FALSE, 0, data, &len); });
    ExpectFailure("with flags", ERROR_INVALID_PARAMETER,
                  [&] { return cp.CPDecrypt(card, exchange, 0, TRUE, CRYPT_OAEP, data, &len); });
    EXPECT_EQ(cipher, std::vector<BYTE>(data, data + len));

    // With a hash: the plaintext is hashed too.
    HCRYPTHASH h = 0, ref = 0;
    ASSERT_TRUE(cp.CPCreateHash(card, CALG_SHA1, 0, 0, &h));
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(cp.CPDecrypt(card, exchange, h, TRUE, 0, data, &len)) << std::hex << GetLastError();
    ASSERT_TRUE(cp.CPCreateHash(card, CALG_SHA1, 0, 0, &ref));
    ASSERT_TRUE(cp.CPHashData(card, ref, reinterpret_cast<const BYTE *>("hashed as well"), 15, 0));
    BYTE v1[20], v2[20];
    DWORD l1 = 20, l2 = 20;
    ASSERT_TRUE(cp.CPGetHashParam(card, h, HP_HASHVAL, v1, &l1, 0));
    ASSERT_TRUE(cp.CPGetHashParam(card, ref, HP_HASHVAL, v2, &l2, 0));
    EXPECT_EQ(0, memcmp(v1, v2, 20));
    cp.CPDestroyHash(card, h);
    cp.CPDestroyHash(card, ref);
}

TEST_F(DirectExports, RandomNumbersTwiceWithNoContextLeftOpen)
{
    BYTE a[32] = {}, b[32] = {};
    for (BYTE *p : {a, b}) {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(cp.CPGenRandom(verify, 32, p));
    }
    EXPECT_NE(0, memcmp(a, b, 32));
}

} // namespace
