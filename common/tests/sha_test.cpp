// SHA-1 and SHA-256 against the published test vectors, fed whole and in
// pieces that straddle block boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "sha.h"

namespace {

template <class H> std::string hex(const std::string &msg, size_t piece)
{
    H h;
    for (size_t i = 0; i < msg.size(); i += piece)
        h.update(msg.data() + i, std::min(piece, msg.size() - i));
    uint8_t d[H::kDigestSize];
    h.final(d);
    std::string out;
    char b[3];
    for (uint8_t c : d) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

struct Vector {
    std::string msg;
    const char *sha1;
    const char *sha256;
};

const Vector kVectors[] = {
    {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha, StandardVectors)
{
    for (const Vector &v : kVectors) {
        for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(1000000)}) {
            EXPECT_EQ(v.sha1, hex<vel::Sha1>(v.msg, piece)) << v.msg.size() << " bytes, pieces of " << piece;
            EXPECT_EQ(v.sha256, hex<vel::Sha256>(v.msg, piece))
                << v.msg.size() << " bytes, pieces of " << piece;
        }
    }
}

TEST(Sha, FinalResetsForTheNextMessage)
{
    vel::Sha1 h;
    uint8_t d1[20], d2[20];
    h.update("junk", 4);
    h.final(d1);
    h.update("abc", 3);
    h.final(d2);
    uint8_t expect[20];
    vel::Sha1::digest("abc", 3, expect);
    EXPECT_EQ(0, memcmp(expect, d2, 20));
}

} // namespace
