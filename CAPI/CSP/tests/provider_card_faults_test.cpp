// A signature whose card goes away: every PKCS#11 call that a signature makes
// fails in turn as a removed card makes it fail; each time the signature ends
// with a clean error, and once the card is back the next signature works.
// Also the private key that crypt32 keeps on a certificate (mail and office
// applications ask for it so) while its card is pulled and put back.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <string>
#include <vector>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const char kReader[] = "Lecteur Ovrane VEL 0";
const char kCard[] = "vel3-default";
const DWORD kDeviceRemoved = 0x32;

class CardFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { csp_test::SetUpCard("keys-faults"); }
    void TearDown() override { Close(); }

    // A context on the card with the PIN given, and a SHA-256 hash in it.
    bool Open()
    {
        SetLastError(0xdeadbeef);
        if (!CryptAcquireContextA(&prov, "DEFAULT_CONTAINER", csp_test::kProvider, PROV_RSA_FULL, 0)) {
            ADD_FAILURE() << "acquire: 0x" << std::hex << GetLastError();
            return false;
        }
        EXPECT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
        EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        return true;
    }
    BOOL Sign()
    {
        BYTE sig[512];
        DWORD len = sizeof(sig);
        SetLastError(0xdeadbeef);
        return CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
    }
    void Close()
    {
        if (hash)
            CryptDestroyHash(hash);
        if (prov) {
            EXPECT_TRUE(CryptReleaseContext(prov, 0));
        }
        hash = 0;
        prov = 0;
    }

    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
};

TEST_F(CardFaults, CardRemovedAtEachCallOfASignature)
{
    // The calls of one signature on a fresh context.
    ASSERT_TRUE(Open());
    csp_test::ClearLog();
    ASSERT_TRUE(Sign()) << std::hex << GetLastError();
    const std::vector<std::string> calls = CallNames();
    Close();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ("C_Sign", calls.back());

    std::map<std::string, int> seen;
    for (const std::string &call : calls) {
        const int nth = ++seen[call];
        SCOPED_TRACE(call + " #" + std::to_string(nth));
        ASSERT_TRUE(Open());
        ASSERT_EQ(0, csp_test::Ctl("inject " + call + " " + std::to_string(nth) + " " +
                                   std::to_string(kDeviceRemoved)));
        csp_test::Ctl("remove \"" + std::string(kReader) + "\"");
        // No crash, no hang, no success: a failure the caller can act on.
        EXPECT_FALSE(Sign());
        const DWORD error = GetLastError();
        EXPECT_TRUE(error == DWORD(NTE_FAIL) || error == DWORD(NTE_BAD_KEYSET)) << std::hex << error;
        csp_test::Ctl("inject clear");
        Close();

        csp_test::Ctl("insert \"" + std::string(kReader) + "\" " + kCard);
        ASSERT_TRUE(Open());
        EXPECT_TRUE(Sign()) << "after reinsertion: 0x" << std::hex << GetLastError();
        Close();
    }
}

TEST_F(CardFaults, AFailedEndOfSearchLeavesTheContextWorking)
{
    ASSERT_TRUE(Open());
    // The key search of the first signature cannot end its search.
    ASSERT_EQ(0, csp_test::Ctl("inject C_FindObjectsFinal 1 " + std::to_string(0x30 /* CKR_DEVICE_ERROR */)));
    Sign(); // either way
    csp_test::Ctl("inject clear");
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(Sign()) << std::hex << GetLastError();
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
    DWORD length = 0;
    EXPECT_TRUE(CryptExportKey(exchange, 0, PUBLICKEYBLOB, 0, nullptr, &length))
        << std::hex << GetLastError();
    CryptDestroyKey(exchange);
}

TEST_F(CardFaults, ShortSignatureBufferLeavesNoOperationBehind)
{
    ASSERT_TRUE(Open());
    BYTE sig[512];
    DWORD len = 255;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len));
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(256u, len);
    // The next signatures of the same context still work.
    for (int i = 0; i < 2; ++i) {
        len = sizeof(sig);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len)) << std::hex << GetLastError();
        EXPECT_EQ(256u, len);
    }
    Close();
}

TEST_F(CardFaults, FailedDecryptionKeepsTheCiphertextForTheRetry)
{
    ASSERT_TRUE(Open());
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
    BYTE data[256] = "tried twice";
    DWORD len = 12;
    ASSERT_TRUE(CryptEncrypt(exchange, 0, TRUE, 0, data, &len, sizeof(data)));
    const std::vector<BYTE> cipher(data, data + len);
    // (Failing C_DecryptInit: an injected C_Decrypt result would leave the
    // software card's operation running, which a real card ends.)
    ASSERT_EQ(0, csp_test::Ctl("inject C_DecryptInit 1 " + std::to_string(kDeviceRemoved)));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptDecrypt(exchange, 0, TRUE, 0, data, &len));
    EXPECT_EQ(DWORD(NTE_BAD_DATA), GetLastError());
    EXPECT_EQ(cipher, std::vector<BYTE>(data, data + 256));
    EXPECT_EQ(256u, len);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptDecrypt(exchange, 0, TRUE, 0, data, &len)) << std::hex << GetLastError();
    EXPECT_EQ(std::string("tried twice"), std::string(reinterpret_cast<char *>(data), len - 1));
    CryptDestroyKey(exchange);
    Close();
}

TEST_F(CardFaults, AKeyTheCardDoesNotHaveFailsBeforeAnyPrompt)
{
    // A card with its technical certificate alone.
    csp_test::Ctl("remove \"" + std::string(kReader) + "\"");
    csp_test::Ctl("insert \"" + std::string(kReader) + "\" vel3-cl");
    csp_test::ClearLog();
    HCRYPTPROV p = 0;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptAcquireContextA(&p, "DEFAULT_CONTAINER", csp_test::kProvider, PROV_RSA_FULL, 0))
        << std::hex << GetLastError();
    HCRYPTKEY keys[2] = {};
    const BOOL got[2] = {CryptGetUserKey(p, AT_KEYEXCHANGE, &keys[0]),
                         CryptGetUserKey(p, AT_SIGNATURE, &keys[1])};
    ASSERT_NE(got[0], got[1]) << "one key only on this card";
    const DWORD missing = got[0] ? AT_SIGNATURE : AT_KEYEXCHANGE;
    HCRYPTKEY k = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptGetUserKey(p, missing, &k));
    EXPECT_EQ(DWORD(NTE_NO_KEY), GetLastError());
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
    ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    BYTE sig[512];
    DWORD len = sizeof(sig);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSignHashA(h, missing, nullptr, 0, sig, &len)); // no dialog: it would block here
    EXPECT_EQ(DWORD(NTE_NO_KEY), GetLastError());
    for (const std::string &call : CallNames())
        EXPECT_NE("C_Login", call);
    for (HCRYPTKEY key : keys)
        if (key)
            CryptDestroyKey(key);
    CryptDestroyHash(h);
    CryptReleaseContext(p, 0);
    csp_test::Ctl("remove \"" + std::string(kReader) + "\"");
    csp_test::Ctl("insert \"" + std::string(kReader) + "\" " + kCard);
}

TEST_F(CardFaults, ACachedPrivateKeySignsAgainOnceItsCardIsBack)
{
    // The signature certificate bound as the tray binds it; crypt32 keeps the
    // context it acquires on the certificate and hands out that one again.
    CertificatesInMyStore certs;
    ASSERT_NE(nullptr, certs.sign());
    const Bytes data = ReadArtifact("data.bin");
    const auto cached = [&] {
        HCRYPTPROV p = 0;
        DWORD keySpec = 0;
        BOOL mustFree = TRUE;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptAcquireCertificatePrivateKey(certs.sign(), CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &p,
                                                      &keySpec, &mustFree))
            << std::hex << GetLastError();
        EXPECT_EQ(DWORD(AT_SIGNATURE), keySpec);
        EXPECT_FALSE(mustFree) << "crypt32 keeps it";
        return p;
    };
    // A SHA-256 signature of the data; the error when it fails.
    const auto sign = [&](HCRYPTPROV p, Bytes *sig) -> DWORD {
        HCRYPTHASH h = 0;
        if (!CryptCreateHash(p, CALG_SHA_256, 0, 0, &h))
            return GetLastError();
        EXPECT_TRUE(CryptHashData(h, data.data(), DWORD(data.size()), 0));
        sig->assign(512, 0);
        DWORD len = DWORD(sig->size());
        SetLastError(0xdeadbeef);
        const DWORD error =
            CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig->data(), &len) ? 0 : GetLastError();
        sig->resize(error ? 0 : len);
        CryptDestroyHash(h);
        return error;
    };
    const auto givePin = [](HCRYPTPROV p) {
        SetLastError(0xdeadbeef);
        return CryptSetProvParam(p, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0);
    };

    const HCRYPTPROV first = cached();
    ASSERT_NE(0u, first);
    ASSERT_TRUE(givePin(first)) << std::hex << GetLastError();
    Bytes sig;
    ASSERT_EQ(0u, sign(first, &sig));

    // The holder tries with the card out: a clean failure.
    csp_test::Ctl("remove \"" + std::string(kReader) + "\"");
    EXPECT_EQ(first, cached());
    EXPECT_EQ(DWORD(NTE_BAD_KEYSET), sign(first, &sig));

    // Puts it back and tries again: the same context signs, once the PIN is
    // given again (the card forgot the login when it left).
    csp_test::Ctl("insert \"" + std::string(kReader) + "\" " + kCard);
    const HCRYPTPROV back = cached();
    EXPECT_EQ(first, back);
    EXPECT_TRUE(givePin(back)) << std::hex << GetLastError();
    ASSERT_EQ(0u, sign(back, &sig)) << "after the card came back";
    EXPECT_EQ(0u, sign(back, &sig));
    // Checked by openssl on the host (check_with_openssl.sh).
    WriteArtifact("reinserted-sha256.bin", Reversed(sig));
}

} // namespace
