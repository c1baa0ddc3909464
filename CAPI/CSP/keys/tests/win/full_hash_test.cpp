// The DigestInfo of hash objects made by Wine's Microsoft provider, for every
// hash the card signs for, and the hashes refused.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "digest_info.h"
#include "full_hash.h"

using namespace csp::keys;

namespace {

class FullHash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(
            CryptAcquireContextA(&prov, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    }
    void TearDown() override { CryptReleaseContext(prov, 0); }

    std::vector<BYTE> HashValue(HCRYPTHASH h)
    {
        DWORD len = 64;
        std::vector<BYTE> v(len);
        EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, v.data(), &len, 0));
        v.resize(len);
        return v;
    }

    HCRYPTPROV prov = 0;
};

TEST_F(FullHash, PrefixThenTheValueOfEachHash)
{
    struct Case {
        ALG_ID alg;
        size_t prefixLen, hashLen;
    };
    const Case cases[] = {
        {CALG_MD5, 18, 16},     {CALG_SHA1, 15, 20},    {CALG_SHA_256, 19, 32},
        {CALG_SHA_384, 19, 48}, {CALG_SHA_512, 19, 64},
    };
    const BYTE data[] = "abc";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.alg);
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(prov, c.alg, 0, 0, &h));
        ASSERT_TRUE(CryptHashData(h, data, 3, 0));
        DigestInfo d{};
        SetLastError(0xdeadbeef);
        ASSERT_EQ(0u, BuildFullHash(h, d));
        EXPECT_EQ(0xdeadbeefu, GetLastError());
        ASSERT_EQ(c.prefixLen + c.hashLen, d.len);
        const std::vector<BYTE> value = HashValue(h);
        EXPECT_EQ(value, std::vector<BYTE>(d.bytes + c.prefixLen, d.bytes + d.len));
        EXPECT_EQ(0, memcmp(d.bytes, FindDigestAlgorithm(c.alg)->prefix, c.prefixLen));
        CryptDestroyHash(h);
    }
}

TEST_F(FullHash, Ssl3HashIsItsRawThirtySixBytes)
{
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SSL3_SHAMD5, 0, 0, &h));
    BYTE value[36];
    for (int i = 0; i < 36; ++i)
        value[i] = BYTE(i + 1);
    ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, value, 0));
    DigestInfo d{};
    ASSERT_EQ(0u, BuildFullHash(h, d));
    EXPECT_EQ(std::vector<BYTE>(value, value + 36), std::vector<BYTE>(d.bytes, d.bytes + d.len));
    CryptDestroyHash(h);
}

TEST_F(FullHash, KeyedHashesAndMissingHashesAreRefused)
{
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_RC2, 0, &key));
    HCRYPTHASH mac = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_MAC, key, 0, &mac));
    ASSERT_TRUE(CryptHashData(mac, reinterpret_cast<const BYTE *>("abcdefgh"), 8, 0));
    DigestInfo d{};
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), BuildFullHash(mac, d));
    CryptDestroyHash(mac);
    CryptDestroyKey(key);

    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), BuildFullHash(0, d));
}

} // namespace
