#include "bignum.h"

namespace softcard {

BigNum::BigNum(uint32_t v)
{
    if (v)
        limbs_.push_back(v);
}

void BigNum::trim()
{
    while (!limbs_.empty() && limbs_.back() == 0)
        limbs_.pop_back();
}

BigNum BigNum::fromBytes(const uint8_t *data, size_t size)
{
    BigNum r;
    r.limbs_.assign((size + 3) / 4, 0);
    for (size_t i = 0; i < size; ++i) {
        size_t pos = size - 1 - i;   // byte i from the least significant end
        r.limbs_[i / 4] |= uint32_t(data[pos]) << (8 * (i % 4));
    }
    r.trim();
    return r;
}

bool BigNum::toBytes(uint8_t *out, size_t size) const
{
    if ((bitLength() + 7) / 8 > size)
        return false;
    for (size_t i = 0; i < size; ++i) {
        size_t limb = i / 4;
        uint32_t v = limb < limbs_.size() ? limbs_[limb] : 0;
        out[size - 1 - i] = uint8_t(v >> (8 * (i % 4)));
    }
    return true;
}

std::vector<uint8_t> BigNum::toBytes() const
{
    size_t n = (bitLength() + 7) / 8;
    std::vector<uint8_t> out(n ? n : 1);
    toBytes(out.data(), out.size());
    return out;
}

size_t BigNum::bitLength() const
{
    if (limbs_.empty())
        return 0;
    size_t bits = 32 * (limbs_.size() - 1);
    for (uint32_t top = limbs_.back(); top; top >>= 1)
        ++bits;
    return bits;
}

bool BigNum::bit(size_t i) const
{
    size_t limb = i / 32;
    return limb < limbs_.size() && ((limbs_[limb] >> (i % 32)) & 1);
}

int BigNum::compare(const BigNum &a, const BigNum &b)
{
    if (a.limbs_.size() != b.limbs_.size())
        return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
    for (size_t i = a.limbs_.size(); i-- > 0;) {
        if (a.limbs_[i] != b.limbs_[i])
            return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    }
    return 0;
}

BigNum BigNum::add(const BigNum &a, const BigNum &b)
{
    BigNum r;
    size_t n = a.limbs_.size() > b.limbs_.size() ? a.limbs_.size() : b.limbs_.size();
    r.limbs_.resize(n + 1);
    uint64_t carry = 0;
    for (size_t i = 0; i < n; ++i) {
        uint64_t s = carry;
        if (i < a.limbs_.size()) s += a.limbs_[i];
        if (i < b.limbs_.size()) s += b.limbs_[i];
        r.limbs_[i] = uint32_t(s);
        carry = s >> 32;
    }
    r.limbs_[n] = uint32_t(carry);
    r.trim();
    return r;
}

BigNum BigNum::sub(const BigNum &a, const BigNum &b)
{
    BigNum r;
    r.limbs_.resize(a.limbs_.size());
    int64_t borrow = 0;
    for (size_t i = 0; i < a.limbs_.size(); ++i) {
        int64_t d = int64_t(a.limbs_[i]) - borrow - (i < b.limbs_.size() ? int64_t(b.limbs_[i]) : 0);
        borrow = d < 0;
        r.limbs_[i] = uint32_t(d + (borrow << 32));
    }
    r.trim();
    return r;
}

BigNum BigNum::mul(const BigNum &a, const BigNum &b)
{
    BigNum r;
    if (a.isZero() || b.isZero())
        return r;
    r.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
    for (size_t i = 0; i < a.limbs_.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.limbs_.size(); ++j) {
            uint64_t t = uint64_t(a.limbs_[i]) * b.limbs_[j] + r.limbs_[i + j] + carry;
            r.limbs_[i + j] = uint32_t(t);
            carry = t >> 32;
        }
        r.limbs_[i + b.limbs_.size()] = uint32_t(carry);
    }
    r.trim();
    return r;
}

BigNum BigNum::mod(const BigNum &a, const BigNum &m)
{
    // Bit-serial long division: used only to set up the Montgomery constants
    // and for the CRT recombination, never in the inner loop.
    BigNum r;
    for (size_t i = a.bitLength(); i-- > 0;) {
        r = add(r, r);
        if (a.bit(i))
            r = add(r, BigNum(1));
        if (compare(r, m) >= 0)
            r = sub(r, m);
    }
    return r;
}

namespace {

// Montgomery arithmetic modulo an odd m of k limbs, with R = 2^(32k).
class Montgomery {
public:
    explicit Montgomery(const std::vector<uint32_t> &m) : m_(m), k_(m.size())
    {
        // -m^-1 mod 2^32 by Newton iteration (m odd).
        uint32_t inv = 1;
        for (int i = 0; i < 5; ++i)
            inv *= 2 - m_[0] * inv;
        minv_ = uint32_t(0) - inv;
    }

    // a * b * R^-1 mod m, for a, b < m given as k limbs.
    std::vector<uint32_t> mul(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) const
    {
        std::vector<uint32_t> t(k_ + 2, 0);
        for (size_t i = 0; i < k_; ++i) {
            uint64_t carry = 0;
            for (size_t j = 0; j < k_; ++j) {
                uint64_t s = uint64_t(a[j]) * b[i] + t[j] + carry;
                t[j] = uint32_t(s);
                carry = s >> 32;
            }
            uint64_t s = uint64_t(t[k_]) + carry;
            t[k_] = uint32_t(s);
            t[k_ + 1] = uint32_t(s >> 32);

            uint32_t u = t[0] * minv_;
            carry = (uint64_t(u) * m_[0] + t[0]) >> 32;
            for (size_t j = 1; j < k_; ++j) {
                uint64_t v = uint64_t(u) * m_[j] + t[j] + carry;
                t[j - 1] = uint32_t(v);
                carry = v >> 32;
            }
            s = uint64_t(t[k_]) + carry;
            t[k_ - 1] = uint32_t(s);
            t[k_] = t[k_ + 1] + uint32_t(s >> 32);
            t[k_ + 1] = 0;
        }
        // t < 2m: one conditional subtraction.
        bool ge = t[k_] != 0;
        if (!ge) {
            ge = true;
            for (size_t i = k_; i-- > 0;) {
                if (t[i] != m_[i]) {
                    ge = t[i] > m_[i];
                    break;
                }
            }
        }
        std::vector<uint32_t> r(t.begin(), t.begin() + k_);
        if (ge) {
            int64_t borrow = 0;
            for (size_t i = 0; i < k_; ++i) {
                int64_t d = int64_t(r[i]) - m_[i] - borrow;
                borrow = d < 0;
                r[i] = uint32_t(d + (borrow << 32));
            }
        }
        return r;
    }

private:
    std::vector<uint32_t> m_;
    size_t k_;
    uint32_t minv_;
};

} // namespace

BigNum BigNum::modPow(const BigNum &base, const BigNum &exp, const BigNum &m)
{
    const size_t k = m.limbs_.size();
    Montgomery mont(m.limbs_);
    auto limbs = [k](const BigNum &v) {
        std::vector<uint32_t> out(v.limbs_);
        out.resize(k, 0);
        return out;
    };
    // R mod m and R^2 mod m, from a number with the single bit 32k (and 64k).
    BigNum r2;
    r2.limbs_.assign(2 * k + 1, 0);
    r2.limbs_[2 * k] = 1;
    r2 = mod(r2, m);
    std::vector<uint32_t> rr = limbs(r2);
    std::vector<uint32_t> one(k, 0);
    one[0] = 1;

    std::vector<uint32_t> x = mont.mul(limbs(mod(base, m)), rr);   // base in Montgomery form
    std::vector<uint32_t> acc = mont.mul(one, rr);                   // 1 in Montgomery form
    for (size_t i = exp.bitLength(); i-- > 0;) {
        acc = mont.mul(acc, acc);
        if (exp.bit(i))
            acc = mont.mul(acc, x);
    }
    BigNum result;
    result.limbs_ = mont.mul(acc, one);   // leave Montgomery form
    result.trim();
    return result;
}

} // namespace softcard
