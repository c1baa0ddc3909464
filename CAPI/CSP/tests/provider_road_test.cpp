// The road of one request as an application takes it: the certificate in the
// user's store, its private key acquired through CryptoAPI, hashed and signed
// with both card keys; the signatures checked here by Wine's Microsoft
// provider with the key the provider exports, and on the host by openssl.
// Also decryption of data and import of a session key that openssl wrapped.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const char kPin[] = "1234";

class Road : public ::testing::Test {
protected:
    static void SetUpTestSuite() { csp_test::SetUpCard("keys-road"); }

    // The certificate's private key, with the PIN given as a parameter so that
    // no dialog is needed here.
    HCRYPTPROV Acquire(PCCERT_CONTEXT cert, DWORD expectedSpec)
    {
        HCRYPTPROV prov = 0;
        DWORD keySpec = 0;
        BOOL mustFree = FALSE;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &mustFree))
            << std::hex << GetLastError();
        EXPECT_EQ(expectedSpec, keySpec);
        EXPECT_TRUE(mustFree);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptSetProvParam(prov, keySpec == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN,
                                      reinterpret_cast<const BYTE *>(kPin), 0))
            << std::hex << GetLastError();
        return prov;
    }

    CertificatesInMyStore certs;
};

struct HashCase {
    const char *name; // as openssl names it
    ALG_ID alg;
};
const HashCase kHashes[] = {
    {"md5", CALG_MD5},        {"sha1", CALG_SHA1},      {"sha256", CALG_SHA_256},
    {"sha384", CALG_SHA_384}, {"sha512", CALG_SHA_512}, {"ssl3", CALG_SSL3_SHAMD5},
};

// A hash of the data in `prov`; the SSL3 hash gets the MD5 and SHA-1 values set.
HCRYPTHASH HashOf(HCRYPTPROV prov, ALG_ID alg, const Bytes &data)
{
    HCRYPTHASH h = 0;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &h)) << std::hex << GetLastError();
    if (alg != CALG_SSL3_SHAMD5) {
        EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
        return h;
    }
    Bytes both;
    for (ALG_ID part : {ALG_ID(CALG_MD5), ALG_ID(CALG_SHA1)}) {
        HCRYPTHASH p = 0;
        EXPECT_TRUE(CryptCreateHash(prov, part, 0, 0, &p));
        EXPECT_TRUE(CryptHashData(p, data.data(), DWORD(data.size()), 0));
        BYTE v[20];
        DWORD len = sizeof(v);
        EXPECT_TRUE(CryptGetHashParam(p, HP_HASHVAL, v, &len, 0));
        both.insert(both.end(), v, v + len);
        CryptDestroyHash(p);
    }
    EXPECT_TRUE(CryptSetHashParam(h, HP_HASHVAL, both.data(), 0));
    return h;
}

TEST_F(Road, SignWithBothKeysVerifiedByTheMicrosoftProvider)
{
    const Bytes data = ReadArtifact("data.bin");
    HCRYPTPROV ms = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ms, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    for (DWORD keySpec : {DWORD(AT_SIGNATURE), DWORD(AT_KEYEXCHANGE)}) {
        SCOPED_TRACE(keySpec);
        HCRYPTPROV prov = Acquire(keySpec == AT_SIGNATURE ? certs.sign() : certs.auth(), keySpec);
        ASSERT_NE(0u, prov);

        // The public key, exported by the provider, into the Microsoft context.
        HCRYPTKEY user = 0, pub = 0;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CryptGetUserKey(prov, keySpec, &user)) << std::hex << GetLastError();
        DWORD blobLen = 0;
        ASSERT_TRUE(CryptExportKey(user, 0, PUBLICKEYBLOB, 0, nullptr, &blobLen));
        ASSERT_EQ(276u, blobLen);
        Bytes blob(blobLen);
        ASSERT_TRUE(CryptExportKey(user, 0, PUBLICKEYBLOB, 0, blob.data(), &blobLen));
        ASSERT_TRUE(CryptImportKey(ms, blob.data(), blobLen, 0, 0, &pub));

        for (const HashCase &c : kHashes) {
            SCOPED_TRACE(c.name);
            HCRYPTHASH h = HashOf(prov, c.alg, data);
            DWORD sigLen = 0;
            SetLastError(0xdeadbeef);
            ASSERT_TRUE(CryptSignHashA(h, keySpec, nullptr, 0, nullptr, &sigLen))
                << std::hex << GetLastError();
            ASSERT_EQ(256u, sigLen);
            Bytes sig(sigLen);
            SetLastError(0xdeadbeef);
            ASSERT_TRUE(CryptSignHashA(h, keySpec, nullptr, 0, sig.data(), &sigLen))
                << std::hex << GetLastError();
            ASSERT_EQ(256u, sigLen);
            CryptDestroyHash(h);
            WriteArtifact(std::string("sig-") + c.name + "-" + std::to_string(keySpec) + ".bin",
                          Reversed(sig));

            HCRYPTHASH check = HashOf(ms, c.alg, data);
            SetLastError(0xdeadbeef);
            EXPECT_TRUE(CryptVerifySignatureA(check, sig.data(), sigLen, pub, nullptr, 0))
                << std::hex << GetLastError();
            CryptDestroyHash(check);
        }
        CryptDestroyKey(pub);
        CryptDestroyKey(user);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
    CryptReleaseContext(ms, 0);
}

TEST_F(Road, RawSignatureWithoutTheHashOidAndUnknownFlagsRefused)
{
    const Bytes data = ReadArtifact("data.bin");
    HCRYPTPROV prov = Acquire(certs.sign(), AT_SIGNATURE);
    ASSERT_NE(0u, prov);
    HCRYPTKEY user = 0, pub = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &user));
    BYTE blob[300];
    DWORD blobLen = sizeof blob;
    ASSERT_TRUE(CryptExportKey(user, 0, PUBLICKEYBLOB, 0, blob, &blobLen));
    HCRYPTPROV ms = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ms, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptImportKey(ms, blob, blobLen, 0, 0, &pub));
    for (ALG_ID alg : {ALG_ID(CALG_SHA1), ALG_ID(CALG_SHA_256)}) {
        SCOPED_TRACE(alg);
        HCRYPTHASH h = HashOf(prov, alg, data);
        Bytes sig(256);
        DWORD sigLen = DWORD(sig.size());
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, CRYPT_NOHASHOID, sig.data(), &sigLen))
            << std::hex << GetLastError();
        // The signature is over the bare value, not the DigestInfo (Wine's
        // Microsoft provider accepts both forms at verification: the two
        // signatures are compared here, and openssl recovers the bare value).
        HCRYPTHASH check = HashOf(ms, alg, data);
        EXPECT_TRUE(CryptVerifySignatureA(check, sig.data(), sigLen, pub, nullptr, CRYPT_NOHASHOID))
            << std::hex << GetLastError();
        CryptDestroyHash(check);
        Bytes full(256);
        DWORD fullLen = DWORD(full.size());
        ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, full.data(), &fullLen));
        EXPECT_NE(full, sig);
        WriteArtifact(std::string("raw-") + (alg == CALG_SHA1 ? "sha1" : "sha256") + ".bin", Reversed(sig));
        for (DWORD flags : {DWORD(0x80), DWORD(CRYPT_X931_FORMAT), DWORD(0x80000000)}) {
            sigLen = DWORD(sig.size());
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, flags, sig.data(), &sigLen)) << flags;
            EXPECT_EQ(DWORD(NTE_BAD_FLAGS), GetLastError()) << flags;
        }
        CryptDestroyHash(h);
    }
    CryptDestroyKey(pub);
    CryptDestroyKey(user);
    CryptReleaseContext(ms, 0);
    CryptReleaseContext(prov, 0);
}

TEST_F(Road, DecryptDataThatOpensslEncrypted)
{
    const Bytes secret = ReadArtifact("secret.bin");
    HCRYPTPROV prov = Acquire(certs.auth(), AT_KEYEXCHANGE);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    // CryptoAPI keeps RSA ciphertexts little-endian.
    Bytes data = Reversed(ReadArtifact("secret.enc"));
    DWORD len = DWORD(data.size());
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &len)) << std::hex << GetLastError();
    ASSERT_EQ(secret.size(), len);
    EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + len));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST_F(Road, ImportASessionKeyThatOpensslWrapped)
{
    const Bytes sessionKey = ReadArtifact("session.key");
    HCRYPTPROV prov = Acquire(certs.auth(), AT_KEYEXCHANGE);
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
    Bytes blob = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0,
                  0}; // RC4 under RSA_KEYX
    const Bytes wrapped = Reversed(ReadArtifact("session.wrapped"));
    blob.insert(blob.end(), wrapped.begin(), wrapped.end());
    const Bytes before = blob;
    HCRYPTKEY session = 0;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptImportKey(prov, blob.data(), DWORD(blob.size()), exchange, 0, &session))
        << std::hex << GetLastError();
    EXPECT_EQ(before, blob) << "the caller's blob was changed";

    // The same key in the clear, in a Microsoft context: both encrypt alike.
    HCRYPTPROV ms = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ms, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes plain = {
        PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, BYTE(sessionKey.size()), 0, 0, 0};
    plain.insert(plain.end(), sessionKey.begin(), sessionKey.end());
    HCRYPTKEY reference = 0;
    ASSERT_TRUE(CryptImportKey(ms, plain.data(), DWORD(plain.size()), 0, 0, &reference));
    Bytes a(24, 'x'), b(24, 'x');
    DWORD la = 24, lb = 24;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, a.data(), &la, 24)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptEncrypt(reference, 0, TRUE, 0, b.data(), &lb, 24));
    EXPECT_EQ(b, a);
    CryptDestroyKey(reference);
    CryptReleaseContext(ms, 0);
    CryptDestroyKey(session);
    CryptDestroyKey(exchange);
    CryptReleaseContext(prov, 0);
}

} // namespace
