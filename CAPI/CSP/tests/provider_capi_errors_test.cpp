// The key entry points as an application reaches them through CryptoAPI:
// bounded answers, contexts without a card key, and the card's key handles
// (as advapi32 hands them back) given to every call that works with a key.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <string>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

class ThroughCryptoApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() { csp_test::SetUpCard("keys-capi"); }

    void SetUp() override
    {
        const csp_test::Acquired a = csp_test::Acquire(csp_test::kAuthContainer, 0);
        ASSERT_TRUE(a.ok) << std::hex << a.error;
        prov = a.prov;
        ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
        ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &signature));
    }
    void TearDown() override
    {
        CryptDestroyKey(exchange);
        CryptDestroyKey(signature);
        EXPECT_TRUE(csp_test::Release(prov));
    }
    HCRYPTHASH Sha1()
    {
        HCRYPTHASH h = 0;
        EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &h));
        EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        return h;
    }

    HCRYPTPROV prov = 0;
    HCRYPTKEY exchange = 0, signature = 0;
};

TEST_F(ThroughCryptoApi, KeyParametersAndBlobsAreBounded)
{
    const Bytes auth = ReadArtifact("auth.crt");
    struct Case {
        const char *what;
        std::function<BOOL(BYTE *, DWORD *)> call;
        DWORD size;
    };
    const Case cases[] = {
        {"certificate",
         [&](BYTE *b, DWORD *l) { return CryptGetKeyParam(exchange, KP_CERTIFICATE, b, l, 0); },
         DWORD(auth.size())},
        {"key length", [&](BYTE *b, DWORD *l) { return CryptGetKeyParam(signature, KP_KEYLEN, b, l, 0); }, 4},
        {"permissions",
         [&](BYTE *b, DWORD *l) { return CryptGetKeyParam(signature, KP_PERMISSIONS, b, l, 0); }, 4},
        {"public key blob",
         [&](BYTE *b, DWORD *l) { return CryptExportKey(signature, 0, PUBLICKEYBLOB, 0, b, l); }, 276},
    };
    for (const Case &c : cases) {
        Bytes buf(2048, 0xEE);
        DWORD len = 0;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(c.call(nullptr, &len)) << c.what << std::hex << GetLastError();
        EXPECT_EQ(c.size, len) << c.what;
        len = c.size - 1;
        ExpectFailure(c.what, ERROR_MORE_DATA, [&] { return c.call(buf.data(), &len); });
        EXPECT_EQ(c.size, len) << c.what;
        EXPECT_EQ(Bytes(2048, 0xEE), buf) << c.what;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(c.call(buf.data(), &len)) << c.what;
    }
    DWORD len = DWORD(auth.size());
    Bytes cert(len);
    ASSERT_TRUE(CryptGetKeyParam(exchange, KP_CERTIFICATE, cert.data(), &len, 0));
    EXPECT_EQ(auth, cert);
    DWORD bits = 0;
    len = sizeof(bits);
    ASSERT_TRUE(CryptGetKeyParam(exchange, KP_KEYLEN, reinterpret_cast<BYTE *>(&bits), &len, 0));
    EXPECT_EQ(2048u, bits);
    ExpectFailure("a parameter card keys do not have", DWORD(NTE_BAD_TYPE), [&] {
        BYTE iv[16];
        DWORD l = sizeof(iv);
        return CryptGetKeyParam(exchange, KP_IV, iv, &l, 0);
    });
    ExpectFailure("a private key blob", DWORD(NTE_BAD_TYPE), [&] {
        BYTE b[4096];
        DWORD l = sizeof(b);
        return CryptExportKey(exchange, 0, PRIVATEKEYBLOB, 0, b, &l);
    });
}

TEST_F(ThroughCryptoApi, CardKeysGivenToEveryKeyCall)
{
    BYTE buf[512] = {};
    HCRYPTHASH h = 0;
    ExpectFailure("set key parameter", DWORD(NTE_BAD_KEY),
                  [&] { return CryptSetKeyParam(exchange, KP_IV, buf, 0); });
    ExpectFailure("keyed hash", DWORD(NTE_BAD_KEY),
                  [&] { return CryptCreateHash(prov, CALG_MAC, signature, 0, &h); });
    HCRYPTHASH sha = Sha1();
    ExpectFailure("hash of a session key", DWORD(NTE_BAD_KEY),
                  [&] { return CryptHashSessionKey(sha, exchange, 0); });
    DWORD len = 16;
    ExpectFailure("decryption with the signature key", DWORD(NTE_BAD_KEY),
                  [&] { return CryptDecrypt(signature, 0, TRUE, 0, buf, &len); });
    ExpectFailure("unwrapping with the signature key", DWORD(NTE_BAD_KEY), [&] {
        const BYTE blob[12 + 256] = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0, 0,
                                     1};
        HCRYPTKEY k = 0;
        return CryptImportKey(prov, blob, sizeof(blob), signature, 0, &k);
    });

    // Public-key work uses the certificate's key.
    BYTE data[256] = "for the card only";
    len = 18;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptEncrypt(exchange, 0, TRUE, 0, data, &len, sizeof(data))) << std::hex << GetLastError();
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptDecrypt(exchange, 0, TRUE, 0, data, &len)) << std::hex << GetLastError();
    EXPECT_EQ(std::string("for the card only"), std::string(reinterpret_cast<char *>(data)));
    DWORD sigLen = sizeof(buf);
    ASSERT_TRUE(CryptSignHashA(sha, AT_SIGNATURE, nullptr, 0, buf, &sigLen));
    HCRYPTHASH check = Sha1();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptVerifySignatureA(check, buf, sigLen, signature, nullptr, 0))
        << std::hex << GetLastError();
    ExpectFailure("the other card key", DWORD(NTE_BAD_SIGNATURE),
                  [&] { return CryptVerifySignatureA(check, buf, sigLen, exchange, nullptr, 0); });
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptDestroyKey(signature));
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &signature));
    CryptDestroyHash(check);
    CryptDestroyHash(sha);
}

TEST_F(ThroughCryptoApi, ContextsWithoutACardKey)
{
    struct Case {
        const char *what;
        const char *container;
        DWORD flags;
    };
    // A silent request for a name no card has (the certificate propagation
    // service's way) is served without a card container.
    const Case cases[] = {
        {"verification context", nullptr, CRYPT_VERIFYCONTEXT},
        {"silent context without its card", "no card has this name", CRYPT_SILENT},
    };
    for (const Case &c : cases) {
        const csp_test::Acquired a = csp_test::Acquire(c.container, c.flags);
        ASSERT_TRUE(a.ok) << c.what << std::hex << a.error;
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(a.prov, CALG_SHA1, 0, 0, &h)) << c.what;
        ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        DWORD len = 0;
        ExpectFailure(c.what, DWORD(NTE_NO_KEY),
                      [&] { return CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &len); });
        HCRYPTKEY k = 0;
        // No card container: no user key at all, whatever the key spec.
        ExpectFailure(c.what, DWORD(NTE_FAIL), [&] { return CryptGetUserKey(a.prov, AT_KEYEXCHANGE, &k); });
        // Its own keys still answer.
        ASSERT_TRUE(CryptGenKey(a.prov, CALG_RC4, 0, &k)) << c.what;
        DWORD alg = 0;
        len = sizeof(alg);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptGetKeyParam(k, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0)) << c.what;
        EXPECT_EQ(DWORD(CALG_RC4), alg) << c.what;
        CryptDestroyHash(h);
        EXPECT_TRUE(csp_test::Release(a.prov)) << c.what;
    }
}

} // namespace
