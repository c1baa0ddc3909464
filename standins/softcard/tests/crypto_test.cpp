// Big numbers, RSA and PKCS#1 v1.5 on their own, with the keys of the test cards.
#include <gtest/gtest.h>

#include "bignum.h"
#include "builtin_cards.h"
#include "card.h"
#include "der.h"
#include "rsa.h"

using namespace softcard;

namespace {

BigNum num(uint32_t v)
{
    return BigNum(v);
}

Bytes bytesOf(const BigNum &b)
{
    return b.toBytes();
}

// The keys of a built-in card: its first certificate's key pair.
void cardKeys(const char *name, RsaPrivateKey &priv, CertificateFields &cert)
{
    Card card;
    std::string error;
    ASSERT_TRUE(parseCard(findBuiltinCard(name)->image, card, error)) << error;
    ASSERT_FALSE(card.keys.empty());
    ASSERT_TRUE(parseRsaPrivateKey(card.keys[0].der, priv));
    ASSERT_TRUE(parseCertificate(card.certs[0].der, cert));
}

TEST(BigNum, BytesRoundTripAndArithmetic)
{
    const uint8_t raw[] = {0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    BigNum a = BigNum::fromBytes(raw, sizeof(raw));
    EXPECT_EQ(Bytes({0x01, 0x02, 0x03, 0x04, 0x05}), bytesOf(a));
    EXPECT_EQ(33u, a.bitLength());
    uint8_t out[4];
    EXPECT_FALSE(a.toBytes(out, sizeof(out))); // does not fit
    EXPECT_EQ(Bytes({0x00}), bytesOf(BigNum()));

    BigNum big = BigNum::fromBytes(Bytes(40, 0xFF));
    BigNum one = num(1);
    EXPECT_EQ(0, BigNum::compare(BigNum::sub(BigNum::add(big, one), one), big));
    EXPECT_EQ(0, BigNum::compare(BigNum::mod(BigNum::mul(big, num(7)), big), BigNum()));
    EXPECT_EQ(0, BigNum::compare(BigNum::mod(BigNum::add(BigNum::mul(big, num(7)), num(5)), big), num(5)));
}

TEST(BigNum, ModularPowers)
{
    EXPECT_EQ(0, BigNum::compare(num(445), BigNum::modPow(num(4), num(13), num(497))));
    struct Case {
        uint32_t base, exp, mod;
    } cases[] = {
        {2, 0, 7}, {0, 5, 11}, {10, 1, 3}, {123456, 65537, 1000003}, {0xFFFFFFF0u, 977, 0xFFFFFFFBu}};
    for (const Case &c : cases) {
        uint64_t r = 1 % c.mod; // reference by repeated multiplication
        for (uint32_t i = 0; i < c.exp; ++i)
            r = r * c.base % c.mod;
        EXPECT_EQ(0, BigNum::compare(num(uint32_t(r)), BigNum::modPow(num(c.base), num(c.exp), num(c.mod))))
            << c.base << "^" << c.exp << " mod " << c.mod;
    }
}

// Pseudo-random numbers of a given size (reproducible).
BigNum randomNumber(uint64_t &seed, size_t bytes, bool topBit, bool odd)
{
    Bytes b(bytes);
    for (uint8_t &v : b) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        v = uint8_t(seed >> 24);
    }
    if (topBit)
        b[0] |= 0x80;
    else
        b[0] &= 0x3F;
    if (odd)
        b.back() |= 1;
    return BigNum::fromBytes(b);
}

// The fast modular power against square-and-multiply with plain products and
// remainders: moduli of whole limbs or not, one limb or many, bases beyond
// the modulus (and beyond it times 2^(limb bits times its limbs)), exponents
// for every window size.
TEST(BigNum, FastPowerAgreesWithThePlainOne)
{
    struct Case {
        size_t modBytes;
        bool modTopBit;
        size_t baseBytes, expBytes;
    } cases[] = {
        {8, true, 8, 3},     {8, false, 16, 2},    {4, true, 9, 70},    {24, true, 48, 17},
        {24, false, 48, 80}, {20, true, 45, 1},    {128, true, 256, 4}, {128, true, 256, 20},
        {132, true, 70, 3},  {131, false, 300, 9}, {8, true, 8, 0},
    };
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (const Case &c : cases) {
        BigNum m = randomNumber(seed, c.modBytes, c.modTopBit, true);
        BigNum base = randomNumber(seed, c.baseBytes, true, false);
        BigNum exp = c.expBytes ? randomNumber(seed, c.expBytes, true, false) : BigNum();
        BigNum b = BigNum::mod(base, m), expected = BigNum::mod(BigNum(1), m);
        for (size_t i = exp.bitLength(); i-- > 0;) {
            expected = BigNum::mod(BigNum::mul(expected, expected), m);
            if (exp.bit(i))
                expected = BigNum::mod(BigNum::mul(expected, b), m);
        }
        EXPECT_TRUE(expected == BigNum::modPow(base, exp, m))
            << c.modBytes << "-byte modulus, " << c.baseBytes << "-byte base, " << c.expBytes
            << "-byte exponent";
        BigNum a = randomNumber(seed, c.modBytes, true, false);
        a = BigNum::mod(a, m);
        EXPECT_TRUE(BigNum::mod(BigNum::mul(a, b), m) == BigNum::modMul(a, b, m))
            << c.modBytes << "-byte modulus";
    }
}

TEST(Rsa, PrivateWithCrtMatchesThePlainPowerAndInvertsThePublic)
{
    for (const char *card : {"vel3-default", "vel3-1024"}) {
        RsaPrivateKey key;
        CertificateFields cert;
        cardKeys(card, key, cert);
        EXPECT_TRUE(cert.key.n == key.n);
        Bytes m(key.size(), 0x5A);
        m[0] = 0x01;
        Bytes c, back;
        ASSERT_TRUE(rsaPublic(key.publicKey(), m, c));
        ASSERT_TRUE(rsaPrivate(key, c, back));
        EXPECT_EQ(m, back) << card;
        Bytes plain(key.size());
        ASSERT_TRUE(BigNum::modPow(BigNum::fromBytes(c), key.d, key.n).toBytes(plain.data(), plain.size()));
        EXPECT_EQ(m, plain) << card;
        // Inputs of the wrong size, or not below the modulus, are refused.
        EXPECT_FALSE(rsaPrivate(key, Bytes(key.size() - 1, 1), back));
        EXPECT_FALSE(rsaPrivate(key, Bytes(key.size(), 0xFF), back));
    }
}

TEST(Pkcs1, PaddingBothWaysAndMalformedBlocks)
{
    Bytes data = {1, 2, 3};
    Bytes block, out;
    ASSERT_TRUE(pkcs1PadSign(data, 64, block));
    EXPECT_EQ(0x00, block[0]);
    EXPECT_EQ(0x01, block[1]);
    ASSERT_TRUE(pkcs1Unpad(block, 1, out));
    EXPECT_EQ(data, out);
    EXPECT_FALSE(pkcs1Unpad(block, 2, out));
    EXPECT_FALSE(pkcs1PadSign(Bytes(54, 1), 64, block)); // more than k - 11
    EXPECT_TRUE(pkcs1PadSign(Bytes(53, 1), 64, block));

    ASSERT_TRUE(pkcs1PadEncrypt(data, 64, Bytes(64, 0x77), block));
    ASSERT_TRUE(pkcs1Unpad(block, 2, out));
    EXPECT_EQ(data, out);
    EXPECT_FALSE(pkcs1PadEncrypt(data, 64, Bytes(64, 0x00), block)); // filler must not hold zeros

    struct Bad {
        const char *why;
        Bytes block;
    } bad[] = {
        {"no separator", Bytes{0x00, 0x02, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"filler under 8 bytes", Bytes{0x00, 0x02, 1, 1, 1, 1, 1, 1, 1, 0x00, 9, 9, 9}},
        {"first byte not zero", Bytes{0x01, 0x02, 1, 1, 1, 1, 1, 1, 1, 1, 0x00, 9, 9}},
        {"too short", Bytes{0x00, 0x02, 0x00}},
    };
    for (const Bad &b : bad)
        EXPECT_FALSE(pkcs1Unpad(b.block, 2, out)) << b.why;
    Bytes notFF = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 7};
    EXPECT_FALSE(pkcs1Unpad(notFF, 1, out));
}

TEST(Der, CertificatesAndKeysOfTheCards)
{
    RsaPrivateKey key;
    CertificateFields cert;
    cardKeys("vel3-default", key, cert);
    EXPECT_EQ(0x30, cert.subject[0]);
    EXPECT_EQ(0x30, cert.issuer[0]);
    EXPECT_EQ(0x02, cert.serial[0]);
    EXPECT_EQ(2048u, key.n.bitLength());
    EXPECT_TRUE(key.e == num(65537));

    Card card;
    std::string error;
    ASSERT_TRUE(parseCard(findBuiltinCard("vel3-default")->image, card, error));
    Bytes der = card.certs[0].der;
    CertificateFields f;
    for (size_t cut : {size_t(0), size_t(1), size_t(10), der.size() / 2, der.size() - 1})
        EXPECT_FALSE(parseCertificate(Bytes(der.begin(), der.begin() + cut), f)) << cut;
    RsaPrivateKey k;
    EXPECT_FALSE(parseRsaPrivateKey(Bytes(card.keys[0].der.begin(), card.keys[0].der.begin() + 100), k));
    EXPECT_FALSE(parseRsaPrivateKey(der, k));
}

} // namespace
