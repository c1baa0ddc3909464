// Enveloped messages that openssl made for the card's exchange certificate,
// as a mail client makes them (AES-256, AES-128, 3DES), opened with the
// card's key: the content key is unwrapped by the card and the plaintext
// comes back.
// Wine has no CryptDecryptMessage, and the message decryption it is built on
// knows no AES content algorithm (the key blob reaches the provider with
// algorithm 0) and leaves the content's IV unset. So the provider is driven
// here as CryptDecryptMessage drives it on Windows (the wrapped key as a
// SIMPLEBLOB under the exchange key, the IV as a key parameter, one final
// decryption), the message read by a small DER walker; and the 3DES message
// also goes through Wine's own message decryption, compared from its second
// block.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// One DER element: its tag and value.
struct Tlv {
    BYTE tag = 0;
    const BYTE *value = nullptr;
    size_t len = 0;
    const BYTE *end() const { return value + len; }
};

// Reads the element at p (definite lengths, as openssl writes DER) and moves p past it.
bool ReadTlv(const BYTE *&p, const BYTE *end, Tlv &t)
{
    if (end - p < 2)
        return false;
    t.tag = *p++;
    size_t len = *p++;
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0 || n > 4 || size_t(end - p) < n)
            return false;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = (len << 8) | *p++;
    }
    if (size_t(end - p) < len)
        return false;
    t.value = p;
    t.len = len;
    p += len;
    return true;
}

// The first element inside t.
bool Inside(const Tlv &t, Tlv &first)
{
    const BYTE *p = t.value;
    return ReadTlv(p, t.end(), first);
}

// What the provider needs of an enveloped message with one key-transport recipient.
struct EnvelopeParts {
    Bytes wrappedKey; // big-endian, as the card's RSA gives it
    Bytes iv;
    Bytes encryptedContent;
};

bool Parse(const Bytes &der, EnvelopeParts &out)
{
    const BYTE *p = der.data();
    Tlv contentInfo, envelopedData, field;
    if (!ReadTlv(p, der.data() + der.size(), contentInfo) || contentInfo.tag != 0x30)
        return false;
    const BYTE *q = contentInfo.value;
    Tlv oid, explicit0;
    if (!ReadTlv(q, contentInfo.end(), oid) || !ReadTlv(q, contentInfo.end(), explicit0) ||
        explicit0.tag != 0xA0 || !Inside(explicit0, envelopedData) || envelopedData.tag != 0x30)
        return false;
    q = envelopedData.value;
    Tlv version, recipients, eci;
    if (!ReadTlv(q, envelopedData.end(), version) || !ReadTlv(q, envelopedData.end(), recipients) ||
        recipients.tag != 0x31 || !ReadTlv(q, envelopedData.end(), eci) || eci.tag != 0x30)
        return false;
    // recipientInfos: the first KeyTransRecipientInfo (version, rid, algorithm, encryptedKey).
    Tlv ktri;
    if (!Inside(recipients, ktri) || ktri.tag != 0x30)
        return false;
    q = ktri.value;
    for (int i = 0; i < 4; ++i)
        if (!ReadTlv(q, ktri.end(), field))
            return false;
    if (field.tag != 0x04)
        return false;
    out.wrappedKey.assign(field.value, field.end());
    // encryptedContentInfo: content type, algorithm (OID, IV), [0] content.
    q = eci.value;
    Tlv type, algorithm, content, algOid, iv;
    if (!ReadTlv(q, eci.end(), type) || !ReadTlv(q, eci.end(), algorithm) ||
        !ReadTlv(q, eci.end(), content) || content.tag != 0x80)
        return false;
    const BYTE *a = algorithm.value;
    if (!ReadTlv(a, algorithm.end(), algOid) || !ReadTlv(a, algorithm.end(), iv) || iv.tag != 0x04)
        return false;
    out.iv.assign(iv.value, iv.end());
    out.encryptedContent.assign(content.value, content.end());
    return true;
}

class Envelope : public ::testing::Test {
protected:
    static void SetUpTestSuite() { csp_test::SetUpCard("keys-envelope"); }

    // The exchange certificate's private key, PIN given as a parameter.
    HCRYPTPROV AcquireExchangeKey()
    {
        HCRYPTPROV prov = 0;
        DWORD keySpec = 0;
        BOOL mustFree = FALSE;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptAcquireCertificatePrivateKey(certs.auth(), 0, nullptr, &prov, &keySpec, &mustFree))
            << std::hex << GetLastError();
        EXPECT_EQ(DWORD(AT_KEYEXCHANGE), keySpec);
        EXPECT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("1234"), 0))
            << std::hex << GetLastError();
        return prov;
    }

    CertificatesInMyStore certs;
};

TEST_F(Envelope, ContentKeyUnwrappedByTheCardForEachCipher)
{
    struct Case {
        const char *cipher; // as openssl names it
        ALG_ID alg;
        size_t block;
    };
    const Case cases[] = {{"aes256", CALG_AES_256, 16}, {"aes128", CALG_AES_128, 16}, {"des3", CALG_3DES, 8}};
    const Bytes plain = ReadArtifact("envelope.txt");
    HCRYPTPROV prov = AcquireExchangeKey();
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
    for (int round = 0; round < 2; ++round) { // the second round reuses the context's import keys
        for (const Case &c : cases) {
            SCOPED_TRACE(c.cipher);
            EnvelopeParts parts;
            ASSERT_TRUE(Parse(ReadArtifact((std::string("envelope-") + c.cipher + ".p7m").c_str()), parts));
            ASSERT_EQ(c.block, parts.iv.size());
            Bytes blob = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0};
            for (DWORD v : {DWORD(c.alg), DWORD(CALG_RSA_KEYX)})
                for (int i = 0; i < 4; ++i)
                    blob.push_back(BYTE(v >> (8 * i)));
            const Bytes wrapped = Reversed(parts.wrappedKey); // CryptoAPI's order
            blob.insert(blob.end(), wrapped.begin(), wrapped.end());
            HCRYPTKEY content = 0;
            SetLastError(0xdeadbeef);
            ASSERT_TRUE(CryptImportKey(prov, blob.data(), DWORD(blob.size()), exchange, 0, &content))
                << std::hex << GetLastError();
            EXPECT_TRUE(CryptSetKeyParam(content, KP_IV, parts.iv.data(), 0)) << std::hex << GetLastError();
            Bytes data = parts.encryptedContent;
            DWORD len = DWORD(data.size());
            SetLastError(0xdeadbeef);
            EXPECT_TRUE(CryptDecrypt(content, 0, TRUE, 0, data.data(), &len)) << std::hex << GetLastError();
            data.resize(std::min<size_t>(len, data.size()));
            EXPECT_EQ(plain, data);
            CryptDestroyKey(content);
        }
    }
    CryptDestroyKey(exchange);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST_F(Envelope, WinesMessageDecryptionOpens3Des)
{
    const Bytes plain = ReadArtifact("envelope.txt");
    const Bytes message = ReadArtifact("envelope-des3.p7m");
    HCRYPTPROV prov = AcquireExchangeKey();
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(nullptr, msg);
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data(), DWORD(message.size()), TRUE))
        << std::hex << GetLastError();
    CMSG_CTRL_DECRYPT_PARA para = {};
    para.cbSize = sizeof para;
    para.hCryptProv = prov;
    para.dwKeySpec = AT_KEYEXCHANGE;
    para.dwRecipientIndex = 0;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &para)) << std::hex << GetLastError();
    DWORD size = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size));
    Bytes content(size);
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, content.data(), &size));
    content.resize(size);
    ASSERT_EQ(plain.size(), content.size());
    EXPECT_EQ(Bytes(plain.begin() + 8, plain.end()), Bytes(content.begin() + 8, content.end()));
    CryptMsgClose(msg);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

} // namespace
