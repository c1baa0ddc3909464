// The card operations of a provider context checked against the platform's
// own RSA: a signature made by the card verifies with the certificate's key,
// a ciphertext made with it decrypts on the card, and the exported public
// key is the certificate's.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "globals/csp_globals.h"
#include "csp_test_support.h"
#include "container/handle_container.h"
#include "card/pkcs_container.h"
#include "card/pkcs_helpers.h"

using namespace csp_test;

namespace {

const char kMicrosoftAes[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
// DigestInfo prefix of a SHA-256 value.
const BYTE kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

class CardOperations : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        ASSERT_TRUE(CryptAcquireContextA(&ms_, nullptr, kMicrosoftAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        DWORD error = 0;
        ASSERT_TRUE(hc_.CreateContainer(kAuthContainer, 0, "", nullptr, &error, nullptr))
            << std::hex << error;
        ASSERT_NE(hc_.m_pCurrentContainer, nullptr);
        // Log in with the PIN given as a parameter: no prompt.
        CK_RV rv = 0;
        ASSERT_TRUE(Pkcs::CheckPinCode(&hc_, "1234", 0, &rv)) << std::hex << rv;
    }
    void TearDown() override
    {
        delete hc_.m_pCurrentContainer;
        hc_.m_pCurrentContainer = nullptr;
        Pkcs::FreePkcs(nullptr);
        CryptReleaseContext(ms_, 0);
    }
    // The certificate's public key in the Microsoft context.
    HCRYPTKEY CertificateKey(DWORD keySpec)
    {
        const PKCSContainer *c = hc_.m_pCurrentContainer;
        const BYTE *der = keySpec == AT_SIGNATURE ? c->m_pbCertSignature : c->m_pbCertExchange;
        const DWORD size = keySpec == AT_SIGNATURE ? c->m_cbCertSignature : c->m_cbCertExchange;
        PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der, size);
        EXPECT_NE(cert, nullptr);
        HCRYPTKEY key = 0;
        EXPECT_TRUE(
            CryptImportPublicKeyInfo(ms_, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, &key));
        CertFreeCertificateContext(cert);
        return key;
    }
    HandleContainer hc_;
    HCRYPTPROV ms_ = 0;
};

TEST_F(CardOperations, SignatureVerifiesWithTheCertificateKey)
{
    for (DWORD keySpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        SCOPED_TRACE(keySpec);
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(ms_, CALG_SHA_256, 0, 0, &hash));
        const char message[] = "message signé par la carte";
        ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>(message), sizeof message, 0));
        BYTE value[32];
        DWORD valueSize = sizeof value;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &valueSize, 0));
        std::vector<BYTE> digestInfo(kSha256Prefix, kSha256Prefix + sizeof kSha256Prefix);
        digestInfo.insert(digestInfo.end(), value, value + valueSize);

        DWORD size = 256;
        EXPECT_TRUE(Pkcs::DoSign(&hc_, static_cast<DWORD>(digestInfo.size()), digestInfo.data(), keySpec,
                                 nullptr, &size));
        std::vector<BYTE> signature(size);
        ASSERT_TRUE(Pkcs::DoSign(&hc_, static_cast<DWORD>(digestInfo.size()), digestInfo.data(), keySpec,
                                 signature.data(), &size));
        EXPECT_EQ(size, 256u);
        HCRYPTKEY key = CertificateKey(keySpec);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), size, key, nullptr, 0))
            << std::hex << GetLastError();
        CryptDestroyKey(key);
        CryptDestroyHash(hash);
    }
    EXPECT_EQ(CountCalls("C_Sign"), 2) << "one single-part signature each";
}

TEST_F(CardOperations, CiphertextDecryptsOnTheCard)
{
    HCRYPTKEY key = CertificateKey(AT_KEYEXCHANGE);
    const char secret[] = "clé de session";
    std::vector<BYTE> data(256, 0);
    std::memcpy(data.data(), secret, sizeof secret);
    DWORD length = sizeof secret;
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, data.data(), &length, static_cast<DWORD>(data.size())));
    ASSERT_EQ(length, 256u);
    // CryptoAPI's little-endian ciphertext becomes the card's big-endian one.
    std::vector<BYTE> bigEndian(data.rbegin(), data.rend());
    std::vector<BYTE> plain(256, 0xCC);
    DWORD plainLength = 0;
    ASSERT_TRUE(Pkcs::Decrypt(&hc_, 0, bigEndian.data(), length, plain.data(), &plainLength, 0));
    ASSERT_EQ(plainLength, sizeof secret);
    EXPECT_EQ(std::memcmp(plain.data(), secret, sizeof secret), 0);
    CryptDestroyKey(key);
}

TEST_F(CardOperations, ExportedPublicKeyIsTheCertificates)
{
    DWORD size = 0;
    ASSERT_TRUE(Pkcs::DoExportPublicKey(hc_.m_pCurrentContainer, nullptr, &size, AT_SIGNATURE));
    EXPECT_EQ(size, 276u);
    std::vector<BYTE> blob(size);
    ASSERT_TRUE(Pkcs::DoExportPublicKey(hc_.m_pCurrentContainer, blob.data(), &size, AT_SIGNATURE));

    HCRYPTKEY key = CertificateKey(AT_SIGNATURE);
    DWORD theirSize = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &theirSize));
    std::vector<BYTE> theirs(theirSize);
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, theirs.data(), &theirSize));
    ASSERT_EQ(theirSize, size);
    DWORD alg = 0;
    std::memcpy(&alg, blob.data() + 4, 4);
    EXPECT_EQ(alg, static_cast<DWORD>(CALG_RSA_KEYX));
    // Everything but the algorithm: magic, bit length, exponent (01 00 01 00), modulus.
    EXPECT_EQ(std::vector<BYTE>(blob.begin() + 8, blob.end()),
              std::vector<BYTE>(theirs.begin() + 8, theirs.end()));
    EXPECT_EQ(blob[16], 0x01);
    EXPECT_EQ(blob[17], 0x00);
    EXPECT_EQ(blob[18], 0x01);
    CryptDestroyKey(key);
}

} // namespace
