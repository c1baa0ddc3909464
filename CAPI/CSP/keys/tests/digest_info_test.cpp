// The DigestInfo of every hash the card signs for, checked against the DER
// it must be (outer lengths, algorithm identifiers, value length), and the
// hashes it refuses.
#include <gtest/gtest.h>

#include <vector>

#include "digest_info.h"
#include "key_codes.h"

using namespace csp::keys;

namespace {

std::vector<uint8_t> Value(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(0xA0 + i);
    return v;
}

TEST(DigestInfo, EachAlgorithmIsWellFormedDer)
{
    struct Case {
        uint32_t algId;
        std::vector<uint8_t> oid; // content of the OBJECT IDENTIFIER
        size_t hashLen;
    };
    const Case cases[] = {
        {kAlgMd2, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02}, 16},
        {kAlgMd4, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x04}, 16},
        {kAlgMd5, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05}, 16},
        {kAlgSha1, {0x2b, 0x0e, 0x03, 0x02, 0x1a}, 20},
        {kAlgSha256, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 32},
        {kAlgSha384, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 48},
        {kAlgSha512, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 64},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.algId);
        const std::vector<uint8_t> hash = Value(c.hashLen);
        DigestInfo d{};
        ASSERT_EQ(kOk, BuildDigestInfo(c.algId, hash.data(), hash.size(), d));
        // SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING }
        const size_t algSeq = 2 + c.oid.size() + 2;
        ASSERT_EQ(2 + 2 + algSeq + 2 + c.hashLen, d.len);
        const std::vector<uint8_t> got(d.bytes, d.bytes + d.len);
        std::vector<uint8_t> want = {0x30, uint8_t(d.len - 2),   0x30, uint8_t(algSeq),
                                     0x06, uint8_t(c.oid.size())};
        want.insert(want.end(), c.oid.begin(), c.oid.end());
        want.insert(want.end(), {0x05, 0x00, 0x04, uint8_t(c.hashLen)});
        want.insert(want.end(), hash.begin(), hash.end());
        EXPECT_EQ(want, got);
    }
}

TEST(DigestInfo, Sha256MakesFiftyOneBytesAndSsl3IsSignedRaw)
{
    const std::vector<uint8_t> sha256 = Value(32), ssl3 = Value(36);
    DigestInfo d{};
    ASSERT_EQ(kOk, BuildDigestInfo(kAlgSha256, sha256.data(), sha256.size(), d));
    EXPECT_EQ(51u, d.len);
    ASSERT_EQ(kOk, BuildDigestInfo(kAlgSsl3ShaMd5, ssl3.data(), ssl3.size(), d));
    EXPECT_EQ(ssl3, std::vector<uint8_t>(d.bytes, d.bytes + d.len));
}

TEST(DigestInfo, RefusedHashes)
{
    struct Case {
        const char *what;
        uint32_t algId;
        size_t hashLen;
        uint32_t result;
    };
    const Case cases[] = {
        {"a MAC", 0x8005, 20, kNteBadAlgid},
        {"an HMAC", 0x8009, 20, kNteBadAlgid},
        {"no algorithm", 0, 20, kNteBadAlgid},
        {"SHA-1 with a SHA-256 value", kAlgSha1, 32, kNteBadHash},
        {"SHA-512 one byte short", kAlgSha512, 63, kNteBadHash},
        {"SSL3 with only its SHA-1 half", kAlgSsl3ShaMd5, 20, kNteBadHash},
        {"MD5 with no value", kAlgMd5, 0, kNteBadHash},
    };
    const std::vector<uint8_t> hash = Value(64);
    for (const Case &c : cases) {
        DigestInfo d{};
        d.len = 7;
        EXPECT_EQ(c.result, BuildDigestInfo(c.algId, hash.data(), c.hashLen, d)) << c.what;
        EXPECT_EQ(7u, d.len) << c.what;
    }
}

} // namespace
