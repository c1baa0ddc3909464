// Key blobs: the card key's public blob against the one openssl writes for the
// same certificate key, the session-key blob the card unwraps, the re-wrapped
// plain session blob, and the exponent-one private key.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_order.h"
#include "key_blobs.h"
#include "key_codes.h"

using namespace csp::keys;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadData(const char *name)
{
    std::ifstream in(std::string(KEYS_TEST_DATA) + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const Bytes kExponent = {0x01, 0x00, 0x01};

TEST(PublicKeyBlob, SameAsOpensslForTheCardKey)
{
    const Bytes modulus = ReadData("auth.modulus"), expected = ReadData("auth.publickeyblob");
    ASSERT_EQ(256u, modulus.size());
    ASSERT_EQ(276u, expected.size());
    // A modulus read with a leading zero (a DER integer's sign byte) gives the same blob.
    Bytes padded(1, 0);
    padded.insert(padded.end(), modulus.begin(), modulus.end());
    for (const Bytes *m : {&modulus, static_cast<const Bytes *>(&padded)}) {
        size_t needed = 0;
        ASSERT_EQ(kOk, BuildPublicKeyBlob(m->data(), m->size(), kExponent.data(), kExponent.size(), nullptr,
                                          0, &needed));
        EXPECT_EQ(276u, needed);
        Bytes blob(needed);
        ASSERT_EQ(kOk, BuildPublicKeyBlob(m->data(), m->size(), kExponent.data(), kExponent.size(),
                                          blob.data(), blob.size(), &needed));
        EXPECT_EQ(expected, blob);
    }
}

TEST(PublicKeyBlob, ShortBufferAndUnusableKeys)
{
    const Bytes modulus = ReadData("auth.modulus");
    Bytes blob(275, 0xEE);
    size_t needed = 0;
    EXPECT_EQ(kErrorMoreData, BuildPublicKeyBlob(modulus.data(), modulus.size(), kExponent.data(),
                                                 kExponent.size(), blob.data(), blob.size(), &needed));
    EXPECT_EQ(276u, needed);
    EXPECT_EQ(Bytes(275, 0xEE), blob);

    struct Case {
        const char *what;
        Bytes modulus, exponent;
    };
    const Case cases[] = {
        {"an empty modulus", {}, kExponent},
        {"a zero modulus", {0, 0, 0}, kExponent},
        {"a modulus over 16384 bits", Bytes(2049, 0xC1), kExponent},
        {"an exponent of five bytes", modulus, {1, 0, 0, 0, 1}},
        {"a zero exponent", modulus, {0, 0}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kNteBadKey, BuildPublicKeyBlob(c.modulus.data(), c.modulus.size(), c.exponent.data(),
                                                 c.exponent.size(), nullptr, 0, &needed))
            << c.what;
    // A four-byte exponent with leading zeros beyond it still fits.
    const Bytes wide = {0, 0, 0x80, 0, 0, 1};
    Bytes out(276);
    ASSERT_EQ(kOk, BuildPublicKeyBlob(modulus.data(), modulus.size(), wide.data(), wide.size(), out.data(),
                                      out.size(), &needed));
    EXPECT_EQ(Bytes({1, 0, 0, 0x80}), Bytes(out.begin() + 16, out.begin() + 20));
}

Bytes SimpleBlob(uint8_t type, uint32_t keyAlg, uint32_t wrapAlg, size_t wrappedLen)
{
    Bytes b = {type, 2, 0, 0};
    for (uint32_t v : {keyAlg, wrapAlg})
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
    for (size_t i = 0; i < wrappedLen; ++i)
        b.push_back(uint8_t(i + 1));
    return b;
}

Bytes Truncated(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

TEST(SimpleBlob, OnlyASessionKeyWrappedUnderTheExchangeKey)
{
    struct Case {
        const char *what;
        Bytes blob;
        uint32_t result;
    };
    const Case cases[] = {
        {"a 2048-bit wrapping", SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaKeyx, 256), kOk},
        {"one byte of ciphertext", SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaKeyx, 1), kOk},
        {"the header alone", SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaKeyx, 0), kNteBadType},
        {"shorter than its header", Truncated(SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaKeyx, 0), 9),
         kNteBadType},
        {"a public key blob", SimpleBlob(kPublicKeyBlob, 0x6610, kAlgRsaKeyx, 256), kNteBadType},
        {"wrapped under a signature key", SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaSign, 256), kNteBadType},
        {"wrapped under a symmetric key", SimpleBlob(kSimpleBlob, 0x6610, 0x6801, 256), kNteBadType},
        {"a ciphertext above 16384 bits", SimpleBlob(kSimpleBlob, 0x6610, kAlgRsaKeyx, 2049), kNteBadType},
    };
    for (const Case &c : cases) {
        SimpleBlobView v{};
        ASSERT_EQ(c.result, ParseSimpleBlob(c.blob.data(), c.blob.size(), v)) << c.what;
        if (c.result == kOk) {
            EXPECT_EQ(0x6610u, v.keyAlg) << c.what;
            EXPECT_EQ(c.blob.data() + 12, v.wrapped) << c.what;
            EXPECT_EQ(c.blob.size() - 12, v.wrappedLen) << c.what;
        }
    }
    SimpleBlobView v{};
    EXPECT_EQ(kNteBadType, ParseSimpleBlob(nullptr, 100, v));
}

TEST(PlainSessionBlob, IsThePkcs1BlockInLittleEndianOrder)
{
    const Bytes key = {0x11, 0x22, 0x33, 0x44, 0x55};
    const size_t size = PlainSessionBlobLength(512);
    ASSERT_EQ(76u, size);
    const size_t pad = PlainSessionPaddingLength(key.size(), size);
    ASSERT_EQ(size - key.size() - 15, pad);
    Bytes random(pad);
    for (size_t i = 0; i < pad; ++i)
        random[i] = uint8_t(i % 3 == 0 ? 0 : i); // zeros must not survive
    Bytes blob(size, 0xEE);
    ASSERT_EQ(kOk, BuildPlainSessionBlob(kAlgRc2, kAlgRsaKeyx, key.data(), key.size(), random.data(),
                                         blob.data(), blob.size()));
    EXPECT_EQ(SimpleBlob(kSimpleBlob, kAlgRc2, kAlgRsaKeyx, 0), Bytes(blob.begin(), blob.begin() + 12));
    Bytes block(size - 12);
    ReverseInto(blob.data() + 12, block.size(), block.data());
    EXPECT_EQ(0x00, block[0]);
    EXPECT_EQ(0x02, block[1]);
    for (size_t i = 2; i < 2 + pad; ++i)
        EXPECT_NE(0, block[i]) << "padding byte " << i;
    EXPECT_EQ(0x00, block[2 + pad]);
    EXPECT_EQ(key, Bytes(block.begin() + 3 + pad, block.end()));

    // A key that leaves fewer than 8 padding bytes does not fit.
    const Bytes big(size - 15 - 7, 0x42);
    EXPECT_EQ(0u, PlainSessionPaddingLength(big.size(), size));
    EXPECT_EQ(kNteBadData, BuildPlainSessionBlob(kAlgRc2, kAlgRsaKeyx, big.data(), big.size(), random.data(),
                                                 blob.data(), blob.size()));
    EXPECT_EQ(0u, PlainSessionPaddingLength(0, size));
    EXPECT_EQ(0u, PlainSessionPaddingLength(1, 10));
}

TEST(ExponentOneKey, OnlyTheExponentsChange)
{
    const Bytes original = ReadData("small.privatekeyblob"); // 512 bits
    ASSERT_EQ(308u, original.size());
    Bytes blob = original;
    ASSERT_EQ(kOk, MakeExponentOnePrivateBlob(blob.data(), blob.size()));
    auto one = [](size_t n) {
        Bytes b(n, 0);
        b[0] = 1;
        return b;
    };
    EXPECT_EQ(Bytes(original.begin(), original.begin() + 16), Bytes(blob.begin(), blob.begin() + 16));
    EXPECT_EQ(Bytes({1, 0, 0, 0}), Bytes(blob.begin() + 16, blob.begin() + 20));
    // modulus 64, prime1 32, prime2 32 unchanged; exponent1, exponent2 := 1
    EXPECT_EQ(Bytes(original.begin() + 20, original.begin() + 148),
              Bytes(blob.begin() + 20, blob.begin() + 148));
    EXPECT_EQ(one(32), Bytes(blob.begin() + 148, blob.begin() + 180));
    EXPECT_EQ(one(32), Bytes(blob.begin() + 180, blob.begin() + 212));
    EXPECT_EQ(Bytes(original.begin() + 212, original.begin() + 244),
              Bytes(blob.begin() + 212, blob.begin() + 244));
    EXPECT_EQ(one(64), Bytes(blob.begin() + 244, blob.end()));

    // Anything but a whole private key blob is refused untouched.
    for (size_t len : {size_t(0), size_t(19), size_t(20), size_t(307)}) {
        Bytes cut(original.begin(), original.begin() + len);
        EXPECT_EQ(kNteBadKey, MakeExponentOnePrivateBlob(cut.data(), cut.size())) << len;
        EXPECT_EQ(Bytes(original.begin(), original.begin() + len), cut) << len;
    }
    Bytes notPrivate = ReadData("auth.publickeyblob");
    EXPECT_EQ(kNteBadKey, MakeExponentOnePrivateBlob(notPrivate.data(), notPrivate.size()));
    Bytes oddBits = original;
    oddBits[12] = 0x08; // 520 bits: not a multiple of 16
    EXPECT_EQ(kNteBadKey, MakeExponentOnePrivateBlob(oddBits.data(), oddBits.size()));
}

} // namespace
