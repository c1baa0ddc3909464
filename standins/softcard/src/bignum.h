// Unsigned big numbers for the card's RSA: little-endian 32-bit limbs, no sign.
// Clear rather than fast: schoolbook products, bit-serial reduction, and
// Montgomery multiplication for the modular powers (the only hot path).
#ifndef SOFTCARD_BIGNUM_H
#define SOFTCARD_BIGNUM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace softcard {

class BigNum {
public:
    BigNum() = default;
    explicit BigNum(uint32_t v);

    // Big-endian bytes, as PKCS#11 and DER carry them (leading zeros allowed).
    static BigNum fromBytes(const uint8_t *data, size_t size);
    static BigNum fromBytes(const std::vector<uint8_t> &bytes) { return fromBytes(bytes.data(), bytes.size()); }
    // Big-endian, left-padded with zeros to exactly size bytes; false when it does not fit.
    bool toBytes(uint8_t *out, size_t size) const;
    std::vector<uint8_t> toBytes() const;   // minimal length (one zero byte for 0)

    bool isZero() const { return limbs_.empty(); }
    bool isOdd() const { return !limbs_.empty() && (limbs_[0] & 1); }
    size_t bitLength() const;
    bool bit(size_t i) const;

    static int compare(const BigNum &a, const BigNum &b);
    static BigNum add(const BigNum &a, const BigNum &b);
    static BigNum sub(const BigNum &a, const BigNum &b);   // requires a >= b
    static BigNum mul(const BigNum &a, const BigNum &b);
    static BigNum mod(const BigNum &a, const BigNum &m);   // m != 0
    // base^exp mod m for an odd modulus m > 1.
    static BigNum modPow(const BigNum &base, const BigNum &exp, const BigNum &m);

    friend bool operator==(const BigNum &a, const BigNum &b) { return a.limbs_ == b.limbs_; }
    friend bool operator!=(const BigNum &a, const BigNum &b) { return a.limbs_ != b.limbs_; }

private:
    void trim();
    std::vector<uint32_t> limbs_;
};

} // namespace softcard

#endif
