#include "sha.h"

#include <cstring>

namespace vel {
namespace {

inline uint32_t rol(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}
inline uint32_t ror(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace

// ---- SHA-1 ----

void Sha1Compress::init(uint32_t h[kWords])
{
    h[0] = 0x67452301;
    h[1] = 0xEFCDAB89;
    h[2] = 0x98BADCFE;
    h[3] = 0x10325476;
    h[4] = 0xC3D2E1F0;
}

void Sha1Compress::block(uint32_t h[kWords], const uint8_t *p)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = load_be32(p + 4 * i);
    for (int i = 16; i < 80; ++i)
        w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

// ---- SHA-256 ----

namespace {
const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
}

void Sha256Compress::init(uint32_t h[kWords])
{
    h[0] = 0x6a09e667;
    h[1] = 0xbb67ae85;
    h[2] = 0x3c6ef372;
    h[3] = 0xa54ff53a;
    h[4] = 0x510e527f;
    h[5] = 0x9b05688c;
    h[6] = 0x1f83d9ab;
    h[7] = 0x5be0cd19;
}

void Sha256Compress::block(uint32_t state[kWords], const uint8_t *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = load_be32(p + 4 * i);
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5], g = state[6],
             h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t S1 = ror(e, 6) ^ ror(e, 11) ^ ror(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + S1 + ch + kSha256K[i] + w[i];
        uint32_t S0 = ror(a, 2) ^ ror(a, 13) ^ ror(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// ---- the shared framing ----

template <class Compress> void MdHash<Compress>::reset()
{
    Compress::init(h_);
    used_ = 0;
    total_ = 0;
}

template <class Compress> void MdHash<Compress>::update(const void *data, size_t size)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    total_ += size;
    if (used_) {
        size_t take = 64 - used_ < size ? 64 - used_ : size;
        std::memcpy(buf_ + used_, p, take);
        used_ += take;
        p += take;
        size -= take;
        if (used_ < 64)
            return;
        Compress::block(h_, buf_);
        used_ = 0;
    }
    for (; size >= 64; p += 64, size -= 64)
        Compress::block(h_, p);
    if (size)
        std::memcpy(buf_, p, size);
    used_ = size;
}

template <class Compress> void MdHash<Compress>::final(uint8_t digest[kDigestSize])
{
    uint64_t bits = total_ * 8;
    buf_[used_++] = 0x80;
    if (used_ > 56) {
        std::memset(buf_ + used_, 0, 64 - used_);
        Compress::block(h_, buf_);
        used_ = 0;
    }
    std::memset(buf_ + used_, 0, 56 - used_);
    for (int i = 0; i < 8; ++i)
        buf_[56 + i] = uint8_t(bits >> (56 - 8 * i));
    Compress::block(h_, buf_);
    for (size_t i = 0; i < Compress::kWords; ++i)
        store_be32(digest + 4 * i, h_[i]);
    reset();
}

template <class Compress>
void MdHash<Compress>::digest(const void *data, size_t size, uint8_t out[kDigestSize])
{
    MdHash h;
    h.update(data, size);
    h.final(out);
}

template class MdHash<Sha1Compress>;
template class MdHash<Sha256Compress>;

} // namespace vel
