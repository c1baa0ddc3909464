// The key work of a provider context over a fake card: what reaches the card
// (nothing, when a signature cannot be made), the byte order both ways, the
// caller's memory left alone, bounded answers, and card keys kept away from
// CryptoAPI.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container_keys.h"
#include "digest_info.h"

using namespace csp::keys;

namespace {

using Bytes = std::vector<BYTE>;

Bytes ReadData(const char *name)
{
    std::ifstream in(std::string(KEYS_TEST_DATA) + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const ULONG_PTR kExchange = 0x11, kSignature = 0x22;

class FakeCard : public KeyCard {
public:
    ULONG_PTR handles[3] = {0, kExchange, kSignature};
    Bytes certs[3] = {{}, ReadData("auth.crt"), ReadData("sign.crt")};
    DWORD bits[3] = {0, 0, 0};
    DWORD modulusBytes = 256;
    BOOL answer = TRUE;
    Bytes signature, plaintext;       // what Sign and Decrypt answer
    Bytes signedInfo, decryptedInput; // what they were given
    DWORD signedSpec = 0;
    int calls = 0; // every card operation
    int sessionChecks = 0;

    ULONG_PTR KeyHandle(DWORD keySpec) override { return keySpec < 3 ? handles[keySpec] : 0; }
    BOOL Certificate(DWORD keySpec, const BYTE **der, DWORD *len) override
    {
        if (keySpec >= 3 || certs[keySpec].empty())
            return FALSE;
        *der = certs[keySpec].data();
        *len = DWORD(certs[keySpec].size());
        return TRUE;
    }
    DWORD &CachedKeyBits(DWORD keySpec) override { return bits[keySpec < 3 ? keySpec : 0]; }
    DWORD KeyLengthFromCert(DWORD) override { return modulusBytes; }
    BOOL Sign(const BYTE *info, DWORD infoLen, DWORD keySpec, BYTE *sig, DWORD *sigLen) override
    {
        ++calls;
        signedInfo.assign(info, info + infoLen);
        signedSpec = keySpec;
        if (!answer || signature.size() > *sigLen)
            return FALSE;
        memcpy(sig, signature.data(), signature.size());
        *sigLen = DWORD(signature.size());
        return TRUE;
    }
    BOOL Decrypt(ULONG_PTR, const BYTE *in, DWORD inLen, BYTE *out, DWORD *outLen) override
    {
        ++calls;
        decryptedInput.assign(in, in + inLen);
        if (!answer || plaintext.size() > *outLen)
            return FALSE;
        memcpy(out, plaintext.data(), plaintext.size());
        *outLen = DWORD(plaintext.size());
        return TRUE;
    }
    BOOL ExportPublicKey(DWORD, BYTE *out, DWORD *len) override
    {
        ++calls;
        const Bytes blob = ReadData("auth.publickeyblob");
        if (!answer)
            return FALSE;
        if (out && *len >= blob.size())
            memcpy(out, blob.data(), blob.size());
        *len = DWORD(blob.size());
        return TRUE;
    }
    void CheckSession() override { ++sessionChecks; }
};

class ContainerKeysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(
            CryptAcquireContextA(&ms, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        ctx = {ms, 0, &card};
    }
    void TearDown() override
    {
        keys.reset();
        CryptReleaseContext(ms, 0);
    }
    HCRYPTHASH Sha256()
    {
        HCRYPTHASH h = 0;
        EXPECT_TRUE(CryptCreateHash(ms, CALG_SHA_256, 0, 0, &h));
        EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE *>("abc"), 3, 0));
        return h;
    }

    HCRYPTPROV ms = 0;
    FakeCard card;
    KeyContext ctx{};
    std::unique_ptr<ContainerKeys> keys = std::make_unique<ContainerKeys>();
};

TEST_F(ContainerKeysTest, SignaturesThatCannotBeMadeNeverReachTheCard)
{
    HCRYPTHASH h = Sha256();
    struct Case {
        const char *what;
        DWORD flags;
        bool card;
        DWORD keySpec;
        ULONG_PTR signatureHandle;
        DWORD modulus;
        bool buffer, length;
        DWORD given;
        DWORD error, lengthAfter;
    };
    const Case cases[] = {
        {"verification context", CRYPT_VERIFYCONTEXT, true, AT_SIGNATURE, kSignature, 256, true, true, 256,
         DWORD(NTE_NO_KEY), 256},
        {"no card container", 0, false, AT_SIGNATURE, kSignature, 256, true, true, 256, DWORD(NTE_NO_KEY),
         256},
        {"a key the card does not have", 0, true, AT_SIGNATURE, 0, 256, true, true, 256, DWORD(NTE_NO_KEY),
         256},
        {"key spec 3", 0, true, 3, kSignature, 256, true, true, 256, DWORD(NTE_NO_KEY), 256},
        {"modulus length unknown", 0, true, AT_SIGNATURE, kSignature, 0, true, true, 256, DWORD(NTE_NO_KEY),
         256},
        {"no length pointer", 0, true, AT_SIGNATURE, kSignature, 256, true, false, 0,
         DWORD(NTE_INVALID_PARAMETER), 0},
        {"size query", 0, true, AT_SIGNATURE, kSignature, 256, false, true, 0, 0, 256},
        {"a buffer one byte short", 0, true, AT_SIGNATURE, kSignature, 256, true, true, 255, ERROR_MORE_DATA,
         256},
        {"an empty buffer", 0, true, AT_KEYEXCHANGE, kSignature, 128, true, true, 0, ERROR_MORE_DATA, 128},
    };
    for (const Case &c : cases) {
        FakeCard fresh;
        card = fresh;
        card.handles[AT_SIGNATURE] = c.signatureHandle;
        card.modulusBytes = c.modulus;
        KeyContext k{ms, c.flags, c.card ? &card : nullptr};
        Bytes sig(300, 0xEE);
        DWORD len = c.given, error = 0;
        const BOOL ok = keys->SignHash(k, h, c.keySpec, nullptr, 0, c.buffer ? sig.data() : nullptr,
                                       c.length ? &len : nullptr, &error);
        EXPECT_EQ(c.error == 0, ok) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        if (c.length) {
            EXPECT_EQ(c.lengthAfter, len) << c.what;
        }
        EXPECT_EQ(0, card.calls) << c.what;
        EXPECT_EQ(Bytes(300, 0xEE), sig) << c.what;
    }
    CryptDestroyHash(h);
}

TEST_F(ContainerKeysTest, SignatureOfTheDigestInfoComesBackAtTheModulusLength)
{
    HCRYPTHASH h = Sha256();
    BYTE value[32];
    DWORD vlen = sizeof(value);
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, value, &vlen, 0));
    DigestInfo info{};
    ASSERT_EQ(0u, BuildDigestInfo(CALG_SHA_256, value, vlen, info));

    struct Case {
        const char *what;
        size_t answer; // bytes the card gives back
        DWORD keySpec;
    };
    const Case cases[] = {{"a whole signature", 256, AT_SIGNATURE},
                          {"one leading zero dropped by the card", 255, AT_KEYEXCHANGE},
                          {"a one-byte answer", 1, AT_SIGNATURE}};
    for (const Case &c : cases) {
        card.signature.assign(c.answer, 0);
        for (size_t i = 0; i < c.answer; ++i)
            card.signature[i] = BYTE(i + 1);
        Bytes sig(256, 0xEE);
        DWORD len = 256, error = 0;
        ASSERT_TRUE(keys->SignHash(ctx, h, c.keySpec, nullptr, 0, sig.data(), &len, &error)) << c.what;
        EXPECT_EQ(256u, len) << c.what;
        EXPECT_EQ(c.keySpec, card.signedSpec) << c.what;
        EXPECT_EQ(Bytes(info.bytes, info.bytes + info.len), card.signedInfo) << c.what;
        Bytes expected = card.signature;
        expected.resize(256, 0);
        EXPECT_EQ(expected, sig) << c.what;
    }

    card.answer = FALSE;
    Bytes sig(256);
    DWORD len = 256, error = 0;
    EXPECT_FALSE(keys->SignHash(ctx, h, AT_SIGNATURE, nullptr, 0, sig.data(), &len, &error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    CryptDestroyHash(h);

    // A keyed hash is no signable hash; the card is not asked.
    HCRYPTKEY rc2 = 0;
    HCRYPTHASH mac = 0;
    ASSERT_TRUE(CryptGenKey(ms, CALG_RC2, 0, &rc2));
    ASSERT_TRUE(CryptCreateHash(ms, CALG_MAC, rc2, 0, &mac));
    const int before = card.calls;
    error = 0;
    EXPECT_FALSE(keys->SignHash(ctx, mac, AT_SIGNATURE, nullptr, 0, sig.data(), &len, &error));
    EXPECT_EQ(DWORD(NTE_BAD_ALGID), error);
    EXPECT_EQ(before, card.calls);
    CryptDestroyHash(mac);
    CryptDestroyKey(rc2);
}

TEST_F(ContainerKeysTest, CardKeyParametersAreBounded)
{
    const Bytes auth = card.certs[AT_KEYEXCHANGE];
    struct Case {
        const char *what;
        ULONG_PTR key;
        DWORD param;
        bool buffer;
        DWORD given;
        DWORD error, lengthAfter;
        Bytes answer;
    };
    const Case cases[] = {
        {"certificate, size query", kExchange, KP_CERTIFICATE, false, 0, 0, DWORD(auth.size()), {}},
        {"certificate, short",
         kExchange,
         KP_CERTIFICATE,
         true,
         DWORD(auth.size() - 1),
         ERROR_MORE_DATA,
         DWORD(auth.size()),
         {}},
        {"certificate", kExchange, KP_CERTIFICATE, true, DWORD(auth.size()), 0, DWORD(auth.size()), auth},
        {"signature certificate", kSignature, KP_CERTIFICATE, true, 2000, 0,
         DWORD(card.certs[AT_SIGNATURE].size()), card.certs[AT_SIGNATURE]},
        {"permissions", kSignature, KP_PERMISSIONS, true, 4, 0, 4, {0x0C, 0, 0, 0}},
        {"permissions, 3 bytes", kSignature, KP_PERMISSIONS, true, 3, ERROR_MORE_DATA, 4, {}},
        {"exchange algorithm", kExchange, KP_ALGID, true, 4, 0, 4, {0x00, 0xA4, 0, 0}},
        {"signature algorithm", kSignature, KP_ALGID, true, 4, 0, 4, {0x00, 0x24, 0, 0}},
        {"key length", kSignature, KP_KEYLEN, true, 4, 0, 4, {0x00, 0x08, 0, 0}},
        {"block length, size query", kExchange, KP_BLOCKLEN, false, 0, 0, 4, {}},
        {"a parameter a card key does not have", kExchange, KP_IV, true, 16, DWORD(NTE_BAD_TYPE), 16, {}},
    };
    for (const Case &c : cases) {
        Bytes buf(2000, 0xEE);
        DWORD len = c.given, error = 0;
        const BOOL ok =
            keys->GetKeyParam(ctx, c.key, c.param, c.buffer ? buf.data() : nullptr, &len, 0, &error);
        EXPECT_EQ(c.error == 0, ok) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.lengthAfter, len) << c.what;
        if (c.answer.empty()) {
            EXPECT_EQ(Bytes(2000, 0xEE), buf) << c.what;
        } else {
            EXPECT_EQ(c.answer, Bytes(buf.begin(), buf.begin() + c.answer.size())) << c.what;
        }
    }
    DWORD error = 0;
    EXPECT_FALSE(keys->GetKeyParam(ctx, kExchange, KP_KEYLEN, nullptr, nullptr, 0, &error));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), error);

    // A key of the Microsoft context is answered there.
    HCRYPTKEY rc4 = 0;
    ASSERT_TRUE(CryptGenKey(ms, CALG_RC4, 0, &rc4));
    DWORD alg = 0, len = 4;
    ASSERT_TRUE(keys->GetKeyParam(ctx, rc4, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0, &error));
    EXPECT_EQ(DWORD(CALG_RC4), alg);
    CryptDestroyKey(rc4);
}

TEST_F(ContainerKeysTest, UserKeysAreTheCardsOnly)
{
    struct Case {
        const char *what;
        bool card;
        DWORD keySpec;
        ULONG_PTR exchangeHandle;
        DWORD error;
        HCRYPTKEY key;
    };
    const Case cases[] = {
        {"exchange", true, AT_KEYEXCHANGE, kExchange, 0, kExchange},
        {"signature", true, AT_SIGNATURE, kExchange, 0, kSignature},
        {"key spec 3", true, 3, kExchange, DWORD(NTE_NO_KEY), 0},
        {"a card without exchange certificate", true, AT_KEYEXCHANGE, 0, DWORD(NTE_NO_KEY), 0},
        {"no card container", false, AT_SIGNATURE, kExchange, DWORD(NTE_FAIL), 0},
    };
    for (const Case &c : cases) {
        card.handles[AT_KEYEXCHANGE] = c.exchangeHandle;
        KeyContext k{ms, 0, c.card ? &card : nullptr};
        HCRYPTKEY key = 0x5555;
        DWORD error = 0;
        EXPECT_EQ(c.error == 0, keys->GetUserKey(k, c.keySpec, &key, &error)) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.key, key) << c.what;
    }
    DWORD error = 0;
    EXPECT_FALSE(keys->GetUserKey(ctx, AT_SIGNATURE, nullptr, &error));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), error);
}

TEST_F(ContainerKeysTest, PublicKeyBlobOfACardKeyAndWrappingUnderIt)
{
    const Bytes blob = ReadData("auth.publickeyblob");
    struct Case {
        const char *what;
        DWORD type;
        bool buffer;
        DWORD given;
        DWORD error, lengthAfter;
    };
    const Case cases[] = {
        {"size query", PUBLICKEYBLOB, false, 0, 0, 276},
        {"short buffer", PUBLICKEYBLOB, true, 275, ERROR_MORE_DATA, 276},
        {"whole", PUBLICKEYBLOB, true, 300, 0, 276},
        {"a private key blob", PRIVATEKEYBLOB, true, 2000, DWORD(NTE_BAD_TYPE), 2000},
    };
    for (const Case &c : cases) {
        Bytes out(300, 0xEE);
        DWORD len = c.given, error = 0;
        EXPECT_EQ(c.error == 0, keys->ExportKey(ctx, kExchange, 0, c.type, 0, c.buffer ? out.data() : nullptr,
                                                &len, &error))
            << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.lengthAfter, len) << c.what;
        if (c.error == 0 && c.buffer) {
            EXPECT_EQ(blob, Bytes(out.begin(), out.begin() + 276)) << c.what;
        } else {
            EXPECT_EQ(Bytes(300, 0xEE), out) << c.what;
        }
    }
    card.answer = FALSE;
    DWORD len = 0, error = 0;
    EXPECT_FALSE(keys->ExportKey(ctx, kExchange, 0, PUBLICKEYBLOB, 0, nullptr, &len, &error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);
    card.answer = TRUE;

    // A Microsoft session key wrapped for the card's exchange key: the
    // certificate's public key takes the card handle's place.
    HCRYPTKEY rc4 = 0;
    ASSERT_TRUE(CryptGenKey(ms, CALG_RC4, CRYPT_EXPORTABLE, &rc4));
    len = 0;
    error = 0;
    ASSERT_TRUE(keys->ExportKey(ctx, rc4, kExchange, SIMPLEBLOB, 0, nullptr, &len, &error))
        << std::hex << error;
    EXPECT_EQ(12u + 256u, len);
    Bytes wrapped(len);
    ASSERT_TRUE(keys->ExportKey(ctx, rc4, kExchange, SIMPLEBLOB, 0, wrapped.data(), &len, &error));
    EXPECT_EQ(Bytes({0x00, 0xA4, 0, 0}), Bytes(wrapped.begin() + 8, wrapped.begin() + 12));
    CryptDestroyKey(rc4);
}

Bytes SimpleBlobFor(const Bytes &littleEndianCipher)
{
    static const BYTE header[12] = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0xA4, 0, 0};
    Bytes blob(header, header + 12); // RC4 under RSA_KEYX
    for (BYTE b : littleEndianCipher)
        blob.push_back(b);
    return blob;
}

TEST_F(ContainerKeysTest, SessionKeyUnwrappedFromACopyOfTheCallersBlob)
{
    Bytes cipher(256);
    for (size_t i = 0; i < cipher.size(); ++i)
        cipher[i] = BYTE(i);
    const Bytes blob = SimpleBlobFor(cipher);
    Bytes callers = blob;
    card.plaintext = Bytes(16, 0x6B);
    HCRYPTKEY session = 0;
    DWORD error = 0;
    ASSERT_TRUE(keys->ImportKey(ctx, callers.data(), DWORD(callers.size()), kExchange, 0, &session, &error))
        << std::hex << error;
    EXPECT_EQ(blob, callers);
    EXPECT_EQ(Bytes(cipher.rbegin(), cipher.rend()), card.decryptedInput);
    DWORD alg = 0, len = 4;
    ASSERT_TRUE(CryptGetKeyParam(session, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0));
    EXPECT_EQ(DWORD(CALG_RC4), alg);
    CryptDestroyKey(session);

    struct Case {
        const char *what;
        Bytes blob;
        ULONG_PTR unwrapKey;
        BOOL cardAnswers;
        DWORD error;
    };
    const Case cases[] = {
        {"the signature key as unwrapping key", blob, kSignature, TRUE, DWORD(NTE_BAD_KEY)},
        {"a blob of the header alone", Bytes(blob.begin(), blob.begin() + 12), kExchange, TRUE,
         DWORD(NTE_BAD_TYPE)},
        {"a key wrapped under a signature key",
         [&] {
             Bytes b = blob;
             b[9] = 0x24;
             return b;
         }(),
         kExchange, TRUE, DWORD(NTE_BAD_TYPE)},
        {"the card cannot decrypt", blob, kExchange, FALSE, DWORD(NTE_BAD_ALGID)},
        {"no blob", Bytes(), kExchange, TRUE, DWORD(NTE_FAIL)},
    };
    for (const Case &c : cases) {
        card.answer = c.cardAnswers;
        Bytes copy = c.blob;
        HCRYPTKEY k = 0;
        error = 0;
        EXPECT_FALSE(keys->ImportKey(ctx, copy.empty() ? nullptr : copy.data(), DWORD(copy.size()),
                                     c.unwrapKey, 0, &k, &error))
            << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.blob, copy) << c.what;
    }
    card.answer = TRUE;
    error = 0;
    EXPECT_FALSE(keys->ImportKey(ctx, blob.data(), DWORD(blob.size()), kExchange, 0, nullptr, &error));
    EXPECT_EQ(DWORD(NTE_FAIL), error);

    // A public key blob goes to the Microsoft context, with or without a card.
    const Bytes pub = ReadData("auth.publickeyblob");
    for (KeyCard *c : {static_cast<KeyCard *>(&card), static_cast<KeyCard *>(nullptr)}) {
        KeyContext k{ms, 0, c};
        HCRYPTKEY key = 0;
        ASSERT_TRUE(keys->ImportKey(k, pub.data(), DWORD(pub.size()), 0, 0, &key, &error));
        CryptDestroyKey(key);
    }
}

TEST_F(ContainerKeysTest, FailedDecryptionLeavesTheCiphertextForTheRetry)
{
    Bytes cipher(256);
    for (size_t i = 0; i < cipher.size(); ++i)
        cipher[i] = BYTE(255 - i);
    const Bytes original = cipher;
    card.plaintext = {'s', 'e', 'c', 'r', 'e', 't'};
    card.answer = FALSE;
    DWORD len = DWORD(cipher.size()), error = 0;
    EXPECT_FALSE(keys->Decrypt(ctx, cipher.data(), &len, kExchange, 0, &error));
    EXPECT_EQ(DWORD(NTE_BAD_DATA), error);
    EXPECT_EQ(original, cipher);
    EXPECT_EQ(256u, len);

    card.answer = TRUE;
    error = 0;
    ASSERT_TRUE(keys->Decrypt(ctx, cipher.data(), &len, kExchange, 0, &error));
    EXPECT_EQ(Bytes(original.rbegin(), original.rend()), card.decryptedInput);
    ASSERT_EQ(6u, len);
    EXPECT_EQ(card.plaintext, Bytes(cipher.begin(), cipher.begin() + 6));

    // Only the exchange key decrypts on the card.
    error = 0;
    len = 256;
    EXPECT_FALSE(keys->Decrypt(ctx, cipher.data(), &len, kSignature, 0, &error));
    EXPECT_EQ(DWORD(NTE_BAD_KEY), error);
}

TEST_F(ContainerKeysTest, WhatTheMicrosoftContextGetsForEachKey)
{
    HCRYPTKEY rc4 = 0;
    ASSERT_TRUE(CryptGenKey(ms, CALG_RC4, 0, &rc4));
    using Use = ContainerKeys::KeyUse;
    struct Case {
        const char *what;
        ULONG_PTR key;
        Use use;
        DWORD error;
        bool substituted;
    };
    const Case cases[] = {
        {"no key", 0, Use::Any, 0, false},
        {"a Microsoft key", rc4, Use::Any, 0, false},
        {"a card key where a session key is needed", kExchange, Use::Any, DWORD(NTE_BAD_KEY), false},
        {"the exchange key for public-key work", kExchange, Use::PublicKey, 0, true},
        {"the signature key for public-key work", kSignature, Use::PublicKey, 0, true},
    };
    for (const Case &c : cases) {
        HCRYPTKEY out = 0x5555;
        DWORD error = 0;
        EXPECT_EQ(c.error == 0, keys->ForMicrosoft(ctx, c.key, c.use, &out, &error)) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        if (c.error == 0) {
            EXPECT_EQ(c.substituted, out != c.key) << c.what;
        }
        if (c.substituted) {
            DWORD alg = 0, len = 4;
            ASSERT_TRUE(CryptGetKeyParam(out, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0)) << c.what;
            EXPECT_EQ(DWORD(CALG_RSA_KEYX), alg) << c.what;
        }
    }
    EXPECT_EQ(0, card.calls);

    // Decryption: only the exchange key, only a whole final block, on the card.
    struct DecryptCase {
        const char *what;
        ULONG_PTR key;
        BOOL final;
        DWORD flags;
        DWORD error;
        int cardCalls;
    };
    const DecryptCase decrypts[] = {
        {"the signature key", kSignature, TRUE, 0, DWORD(NTE_BAD_KEY), 0},
        {"not final", kExchange, FALSE, 0, ERROR_INVALID_PARAMETER, 0},
        {"with flags", kExchange, TRUE, CRYPT_OAEP, ERROR_INVALID_PARAMETER, 0},
        {"the exchange key", kExchange, TRUE, 0, 0, 1},
    };
    card.plaintext = {'o', 'k'};
    for (const DecryptCase &c : decrypts) {
        const int before = card.calls;
        BYTE data[256] = {1, 2, 3};
        DWORD len = sizeof(data), error = 0;
        EXPECT_EQ(c.error == 0, keys->DecryptWith(ctx, c.key, 0, c.final, c.flags, data, &len, &error))
            << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.cardCalls, card.calls - before) << c.what;
    }

    // Destruction: card keys stay, without a card container nothing is destroyed.
    DWORD error = 0;
    EXPECT_TRUE(keys->DestroyKey(ctx, kSignature, &error));
    KeyContext none{ms, 0, nullptr};
    EXPECT_FALSE(keys->DestroyKey(none, rc4, &error));
    EXPECT_EQ(DWORD(NTE_INVALID_PARAMETER), error);
    EXPECT_TRUE(keys->DestroyKey(ctx, rc4, &error));
}

TEST_F(ContainerKeysTest, CardKeysAreRecognisedAtFullWidth)
{
    struct Case {
        ULONG_PTR handle;
        DWORD keySpec;
    };
    const Case cases[] = {
        {kExchange, 1},
        {kSignature, 2},
        {0, 3},
        {0x12345, 3},
#ifdef _WIN64
        {ULONG_PTR(0x100000000ull) | kExchange, 3}, // same low half, another handle
#endif
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.keySpec, ContainerKeys::KeySpecOf(ctx, c.handle)) << c.handle;
    card.handles[AT_KEYEXCHANGE] = 0;
    EXPECT_EQ(3u, ContainerKeys::KeySpecOf(ctx, 0));
    KeyContext none{ms, 0, nullptr};
    EXPECT_EQ(3u, ContainerKeys::KeySpecOf(none, kSignature));
}

} // namespace
