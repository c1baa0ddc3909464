// A context kept while its card is pulled and put back, or replaced by
// another card. Only another card's certificates, seen by the context,
// condemn it: from then on it fails with NTE_BAD_KEYSET and no acquire takes
// it again. While its card is out its calls fail and nothing else changes;
// once the same card is back, the same context and the key handles it gave
// out before serve again (the PIN given again: the card forgot the login when
// it left), and a new acquire of its name takes it again.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const char kPin[] = "1234";
const std::string kReader = "\"Lecteur Ovrane VEL 0\"";
const std::string kRemove = "remove " + kReader;
const std::string kPutBack = "insert " + kReader + " vel3-default";
const std::string kOtherCard = "insert " + kReader + " vel3-cl";

// A SHA-256 signature with the signature key, checked with `verifyKey` when
// given; the error when it fails.
DWORD SignError(HCRYPTPROV prov, HCRYPTKEY verifyKey = 0)
{
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash))
        return GetLastError();
    CryptHashData(hash, reinterpret_cast<const BYTE *>("data"), 4, 0);
    BYTE sig[512];
    DWORD sigLen = sizeof sig;
    SetLastError(0xdeadbeef);
    DWORD error = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen) ? 0 : GetLastError();
    if (!error && verifyKey && !CryptVerifySignatureA(hash, sig, sigLen, verifyKey, nullptr, 0))
        error = 0xbadbad; // a signature the kept key does not verify
    CryptDestroyHash(hash);
    return error;
}

BOOL GivePin(HCRYPTPROV prov)
{
    SetLastError(0xdeadbeef);
    return CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0);
}

std::vector<BYTE> KeyParam(HCRYPTKEY key, DWORD param, DWORD *error)
{
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    if (!CryptGetKeyParam(key, param, nullptr, &size, 0)) {
        *error = GetLastError();
        return {};
    }
    std::vector<BYTE> value(size);
    if (!CryptGetKeyParam(key, param, value.data(), &size, 0))
        *error = GetLastError();
    value.resize(size);
    return value;
}

std::vector<BYTE> PublicBlob(HCRYPTKEY key, DWORD *error)
{
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        *error = GetLastError();
        return {};
    }
    std::vector<BYTE> blob(size);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
        *error = GetLastError();
    blob.resize(size);
    return blob;
}

// The two card keys of a context, as an application keeps them (the
// exchange key for CryptImportKey's hPubKey, say), with what they answered.
struct KeptKeys {
    HCRYPTKEY exchange = 0, signature = 0;
    std::vector<BYTE> exchangeBlob, signatureBlob, exchangeCertificate;
};

KeptKeys KeepKeys(HCRYPTPROV prov)
{
    KeptKeys k;
    DWORD error = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &k.exchange)) << std::hex << GetLastError();
    EXPECT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &k.signature)) << std::hex << GetLastError();
    k.exchangeBlob = PublicBlob(k.exchange, &error);
    k.signatureBlob = PublicBlob(k.signature, &error);
    k.exchangeCertificate = KeyParam(k.exchange, KP_CERTIFICATE, &error);
    EXPECT_EQ(0u, error) << std::hex << error;
    return k;
}

// Every use an application makes of kept card key handles: each must still
// mean the same key of the same card.
void ExpectKeptKeysServe(HCRYPTPROV prov, const KeptKeys &k)
{
    DWORD error = 0;
    EXPECT_EQ(k.exchangeBlob, PublicBlob(k.exchange, &error))
        << "CryptExportKey, error 0x" << std::hex << error;
    EXPECT_EQ(k.signatureBlob, PublicBlob(k.signature, &error))
        << "CryptExportKey, error 0x" << std::hex << error;
    EXPECT_EQ(k.exchangeCertificate, KeyParam(k.exchange, KP_CERTIFICATE, &error))
        << "KP_CERTIFICATE, error 0x" << std::hex << error;
    const std::vector<BYTE> bits = KeyParam(k.signature, KP_KEYLEN, &error);
    EXPECT_EQ(std::vector<BYTE>({0x00, 0x08, 0x00, 0x00}), bits)
        << "KP_KEYLEN, error 0x" << std::hex << error;
    EXPECT_EQ(0u, SignError(prov, k.signature)) << "verified with the kept signature key";
    BYTE data[256] = "kept";
    DWORD len = 5;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptEncrypt(k.exchange, 0, TRUE, 0, data, &len, sizeof data)) << std::hex << GetLastError();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptDecrypt(k.exchange, 0, TRUE, 0, data, &len))
        << "on the card: 0x" << std::hex << GetLastError();
    EXPECT_EQ(std::string("kept"), std::string(reinterpret_cast<char *>(data)));
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptDestroyKey(k.exchange)) << std::hex << GetLastError();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CryptDestroyKey(k.signature)) << std::hex << GetLastError();
}

class ProviderCardChange : public CardTest {
protected:
    static void Run(const std::string &commands)
    {
        size_t at = 0;
        while (at != std::string::npos) {
            const size_t bar = commands.find('|', at);
            ASSERT_EQ(Ctl(commands.substr(at, bar == std::string::npos ? std::string::npos : bar - at)), 0)
                << commands;
            at = bar == std::string::npos ? bar : bar + 1;
        }
    }
};

TEST_F(ProviderCardChange, AKeptContextServesAgainUnlessItSawAnotherCard)
{
    struct Case {
        const char *what;
        std::string change; // what the reader holds next
        bool cardIn;        // a card in the reader then
        bool used;          // the kept context used then
        std::string back;   // then, the default card back ("" when it is)
        bool condemned;     // the kept context saw another card
    } cases[] = {
        {"the same card put back", kRemove + "|" + kPutBack, true, true, "", false},
        {"the card pulled, used while out, put back", kRemove, false, true, kPutBack, false},
        {"the card pulled, idle, put back", kRemove, false, false, kPutBack, false},
        {"another card, used, the card back", kRemove + "|" + kOtherCard, true, true,
         kRemove + "|" + kPutBack, true},
        {"another card, idle, the card back", kRemove + "|" + kOtherCard, true, false,
         kRemove + "|" + kPutBack, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl("log on"), 0);
        Acquired kept = Acquire(kAuthContainer, CRYPT_SILENT);
        ASSERT_TRUE(kept.ok) << std::hex << kept.error;
        ASSERT_TRUE(GivePin(kept.prov));
        ASSERT_EQ(0u, SignError(kept.prov));
        const KeptKeys keys = KeepKeys(kept.prov);

        Run(c.change);
        if (c.used && c.back.empty()) {
            // The same card came back with other object handles and without
            // the holder's login: the context takes the new handles and signs,
            // again and again, once the PIN is given again.
            EXPECT_TRUE(GivePin(kept.prov)) << std::hex << GetLastError();
            for (int i = 0; i < 2; ++i)
                EXPECT_EQ(0u, SignError(kept.prov)) << "signature " << i;
        } else if (c.used) {
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), SignError(kept.prov)) << "no card for it now";
            EXPECT_FALSE(GivePin(kept.prov)) << "a PIN offered to no card or another card";
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
        }
        if (!c.cardIn) {
            // A new acquire of the same name while the card is out fails, and
            // leaves the kept context as it was.
            Acquired none = Acquire(kAuthContainer, CRYPT_SILENT);
            EXPECT_FALSE(none.ok) << "no card in any reader";
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), none.error);
        }
        if (!c.back.empty())
            Run(c.back);

        ClearLog();
        Acquired again = Acquire(kAuthContainer, CRYPT_SILENT);
        ASSERT_TRUE(again.ok) << std::hex << again.error;
        if (!c.condemned) {
            EXPECT_EQ(0, CountCalls("C_GetSlotList")) << "the kept context is taken again\n" << CallLog();
            // The card forgot the login when it left: the PIN once more, then it signs.
            EXPECT_TRUE(GivePin(kept.prov)) << std::hex << GetLastError();
            EXPECT_EQ(0u, SignError(kept.prov));
            ExpectKeptKeysServe(kept.prov, keys);
        } else {
            EXPECT_EQ(1, CountCalls("C_GetSlotList")) << "a condemned context was handed out\n" << CallLog();
            EXPECT_TRUE(GivePin(again.prov)) << std::hex << GetLastError();
            EXPECT_EQ(0u, SignError(again.prov)) << "the new context signs";
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), SignError(kept.prov)) << "dead for good";
            EXPECT_FALSE(GivePin(kept.prov));
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
            HCRYPTKEY key = 0;
            EXPECT_FALSE(CryptGetUserKey(kept.prov, AT_SIGNATURE, &key));
        }
        EXPECT_TRUE(Release(again.prov));
        EXPECT_TRUE(Release(kept.prov));

        // Both released, a new context on the card (prompts allowed, the PIN
        // given before any) signs.
        Acquired fresh = Acquire("DEFAULT_CONTAINER", 0);
        ASSERT_TRUE(fresh.ok) << std::hex << fresh.error;
        EXPECT_TRUE(GivePin(fresh.prov)) << std::hex << GetLastError();
        EXPECT_EQ(0u, SignError(fresh.prov));
        EXPECT_TRUE(Release(fresh.prov));
    }
}

TEST_F(ProviderCardChange, AnAcquireWhileTheCardIsOutCondemnsNoIdleContext)
{
    // Contexts on the card's two names, idle while the card is out and other
    // threads ask for the same names.
    Acquired auth = Acquire(kAuthContainer, CRYPT_SILENT);
    Acquired sign = Acquire(kSignContainer, CRYPT_SILENT);
    ASSERT_TRUE(auth.ok && sign.ok);
    ASSERT_EQ(Ctl(kRemove), 0);
    for (const char *name : {kAuthContainer, kSignContainer}) {
        Acquired none = {};
        std::thread other([&] { none = Acquire(name, CRYPT_SILENT); });
        other.join();
        EXPECT_FALSE(none.ok) << name;
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), none.error);
    }
    ASSERT_EQ(Ctl(kPutBack), 0);
    for (HCRYPTPROV prov : {auth.prov, sign.prov}) {
        EXPECT_TRUE(GivePin(prov)) << std::hex << GetLastError();
        EXPECT_EQ(0u, SignError(prov));
        EXPECT_TRUE(Release(prov));
    }
}

TEST_F(ProviderCardChange, AContextSetUpWithoutItsCardIsNotHandedOutOnceTheCardIsIn)
{
    // A silent acquire while another card is in gets a context without a
    // card container (as the Certificate Propagation service is answered);
    // once the card is in, the same name gets a context on it.
    ASSERT_EQ(Ctl(kRemove), 0);
    ASSERT_EQ(Ctl(kOtherCard), 0);
    Acquired cardless = Acquire(kAuthContainer, CRYPT_SILENT);
    ASSERT_TRUE(cardless.ok) << std::hex << cardless.error;
    ASSERT_EQ(Ctl(kRemove), 0);
    ASSERT_EQ(Ctl(kPutBack), 0);
    ClearLog();
    Acquired card = Acquire(kAuthContainer, CRYPT_SILENT);
    ASSERT_TRUE(card.ok) << std::hex << card.error;
    EXPECT_EQ(1, CountCalls("C_GetSlotList")) << "the context without a card was handed out\n" << CallLog();
    EXPECT_TRUE(GivePin(card.prov)) << std::hex << GetLastError();
    EXPECT_EQ(0u, SignError(card.prov));
    EXPECT_TRUE(Release(card.prov));
    EXPECT_TRUE(Release(cardless.prov));
}

} // namespace
