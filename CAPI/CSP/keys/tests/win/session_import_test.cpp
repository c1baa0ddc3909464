// Session keys unwrapped by the card come back as CryptoAPI keys that encrypt
// exactly as the same key imported in the clear does; keys the providers
// cannot hold are refused.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "session_import.h"

using namespace csp::keys;

namespace {

using Bytes = std::vector<BYTE>;

// The same key imported in the clear into a verification context.
HCRYPTKEY PlainKey(HCRYPTPROV prov, ALG_ID alg, const Bytes &key, DWORD flags)
{
    Bytes blob = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    for (int i = 0; i < 4; ++i)
        blob.push_back(BYTE(alg >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        blob.push_back(BYTE(key.size() >> (8 * i)));
    blob.insert(blob.end(), key.begin(), key.end());
    HCRYPTKEY k = 0;
    EXPECT_TRUE(CryptImportKey(prov, blob.data(), DWORD(blob.size()), 0, flags, &k))
        << std::hex << GetLastError();
    return k;
}

Bytes Encrypt(HCRYPTKEY key)
{
    Bytes data(32, 0);
    for (size_t i = 0; i < 16; ++i)
        data[i] = BYTE('a' + i);
    DWORD len = 16;
    EXPECT_TRUE(CryptEncrypt(key, 0, TRUE, 0, data.data(), &len, DWORD(data.size())));
    data.resize(len);
    return data;
}

Bytes KeyOf(size_t n)
{
    Bytes k(n);
    for (size_t i = 0; i < n; ++i)
        k[i] = BYTE(0x31 + 3 * i);
    return k;
}

TEST(SessionImport, KeysEncryptAsTheirPlainCopies)
{
    struct Case {
        const char *what;
        ALG_ID alg;
        size_t len;
        const char *provider;
        DWORD plainFlags;
        DWORD provType = PROV_RSA_FULL;
    };
    const Case cases[] = {
        {"RC4 128 bits", CALG_RC4, 16, MS_ENHANCED_PROV_A, 0},
        {"3DES", CALG_3DES, 24, MS_ENHANCED_PROV_A, 0},
        {"RC2 40 bits, unsalted, in the Base provider", CALG_RC2, 5, MS_DEF_PROV_A, CRYPT_NO_SALT},
        {"RC2 128 bits", CALG_RC2, 16, MS_ENHANCED_PROV_A, 0},
        {"AES 128 bits, in the AES provider", CALG_AES_128, 16, MS_ENH_RSA_AES_PROV_A, 0, PROV_RSA_AES},
        {"AES 192 bits", CALG_AES_192, 24, MS_ENH_RSA_AES_PROV_A, 0, PROV_RSA_AES},
        {"AES 256 bits", CALG_AES_256, 32, MS_ENH_RSA_AES_PROV_A, 0, PROV_RSA_AES},
    };
    SessionKeyImporter importer;
    for (int round = 0; round < 2; ++round) { // the second round reuses the exponent-one keys
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            const Bytes key = KeyOf(c.len);
            HCRYPTKEY imported = 0;
            SetLastError(0xdeadbeef);
            ASSERT_EQ(0u, importer.Import(c.alg, key.data(), DWORD(key.size()), &imported));
            HCRYPTPROV plain = 0;
            ASSERT_TRUE(CryptAcquireContextA(&plain, nullptr, c.provider, c.provType, CRYPT_VERIFYCONTEXT));
            HCRYPTKEY reference = PlainKey(plain, c.alg, key, c.plainFlags);
            EXPECT_EQ(Encrypt(reference), Encrypt(imported));
            CryptDestroyKey(reference);
            CryptDestroyKey(imported);
            CryptReleaseContext(plain, 0);
        }
    }
}

TEST(SessionImport, KeysTheProviderCannotHoldAreRefused)
{
    struct Case {
        const char *what;
        ALG_ID alg;
        size_t len;
    };
    const Case cases[] = {
        {"RC4 longer than its default length", CALG_RC4, 17},
        {"AES longer than its length", CALG_AES_128, 17},
        {"no algorithm", 0, 16},
        {"a key that leaves no room for padding", CALG_RC4, 120},
    };
    SessionKeyImporter importer;
    for (const Case &c : cases) {
        const Bytes key = KeyOf(c.len);
        HCRYPTKEY imported = 0;
        EXPECT_EQ(static_cast<DWORD>(NTE_FAIL),
                  importer.Import(c.alg, key.data(), DWORD(key.size()), &imported))
            << c.what;
        EXPECT_EQ(0u, imported) << c.what;
    }
}

TEST(SessionImport, ExponentOneKeyInAnExistingContainer)
{
    for (int i = 0; i < 2; ++i) { // the first may create "importKey", the second opens it
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CreatePrivateExponentOneKey(MS_ENHANCED_PROV_A, &prov, &key));
        DWORD alg = 0, len = sizeof(alg);
        ASSERT_TRUE(CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE *>(&alg), &len, 0));
        EXPECT_EQ(DWORD(CALG_RSA_KEYX), alg);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
    }
    HCRYPTPROV prov = 1;
    HCRYPTKEY key = 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreatePrivateExponentOneKey("No Such Provider", &prov, &key));
    EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), GetLastError());
    EXPECT_EQ(0u, prov);
    EXPECT_EQ(0u, key);
}

} // namespace
