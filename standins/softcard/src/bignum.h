// Unsigned big numbers for the card's RSA: little-endian limbs, no sign.
// Limbs are 64-bit where the compiler has 128-bit products, 32-bit with
// 64-bit products otherwise (x86). The modular power, the only hot path, runs
// in Montgomery form on buffers set up once per power: a fixed-window
// exponent, a separate squaring, no allocation per multiplication. The rest
// (schoolbook products, shift-and-subtract remainders) only sets it up.
#ifndef SOFTCARD_BIGNUM_H
#define SOFTCARD_BIGNUM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace softcard {

class BigNum {
public:
#if defined(__SIZEOF_INT128__)
    using Limb = uint64_t;
    using Wide = unsigned __int128;
#else
    using Limb = uint32_t;
    using Wide = uint64_t;
#endif
    static const unsigned kLimbBits = 8 * sizeof(Limb);

    BigNum() = default;
    explicit BigNum(uint32_t v);

    // Big-endian bytes, as PKCS#11 and DER carry them (leading zeros allowed).
    static BigNum fromBytes(const uint8_t *data, size_t size);
    static BigNum fromBytes(const std::vector<uint8_t> &bytes)
    {
        return fromBytes(bytes.data(), bytes.size());
    }
    // Big-endian, left-padded with zeros to exactly size bytes; false when it does not fit.
    bool toBytes(uint8_t *out, size_t size) const;
    std::vector<uint8_t> toBytes() const; // minimal length (one zero byte for 0)

    bool isZero() const
    {
        return limbs_.empty();
    }
    bool isOdd() const
    {
        return !limbs_.empty() && (limbs_[0] & 1);
    }
    size_t bitLength() const;
    bool bit(size_t i) const;

    static int compare(const BigNum &a, const BigNum &b);
    static BigNum add(const BigNum &a, const BigNum &b);
    static BigNum sub(const BigNum &a, const BigNum &b); // requires a >= b
    static BigNum mul(const BigNum &a, const BigNum &b);
    static BigNum mod(const BigNum &a, const BigNum &m); // m != 0
    // base^exp mod m for an odd modulus m > 1.
    static BigNum modPow(const BigNum &base, const BigNum &exp, const BigNum &m);
    // a * b mod m for an odd modulus m > 1 and a, b < m.
    static BigNum modMul(const BigNum &a, const BigNum &b, const BigNum &m);

    friend bool operator==(const BigNum &a, const BigNum &b)
    {
        return a.limbs_ == b.limbs_;
    }
    friend bool operator!=(const BigNum &a, const BigNum &b)
    {
        return a.limbs_ != b.limbs_;
    }

private:
    friend class Montgomery;
    void trim();
    std::vector<Limb> limbs_;
};

} // namespace softcard

#endif
