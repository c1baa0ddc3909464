#include "bignum.h"

#include <algorithm>

namespace softcard {

namespace {

using Limb = BigNum::Limb;
using Wide = BigNum::Wide;
const unsigned kBits = BigNum::kLimbBits;
const size_t kLimbBytes = sizeof(Limb);

// a >= b, both of n limbs.
bool notBelow(const Limb *a, const Limb *b, size_t n)
{
    for (size_t i = n; i-- > 0;) {
        if (a[i] != b[i])
            return a[i] > b[i];
    }
    return true;
}

// a -= b over n limbs; returns the borrow.
Limb subtractInPlace(Limb *a, const Limb *b, size_t n)
{
    Limb borrow = 0;
    for (size_t i = 0; i < n; ++i) {
        Limb d = a[i] - b[i];
        Limb out = d < borrow || a[i] < b[i];
        a[i] = d - borrow;
        borrow = out;
    }
    return borrow;
}

// x = 2 x + bit, less m when that is not below m; x and m of n limbs, x
// below m before (m's top limb zero, so the doubling fits).
void doubleBelow(Limb *x, Limb bit, const Limb *m, size_t n)
{
    for (size_t j = 0; j < n; ++j) {
        Limb v = x[j];
        x[j] = (v << 1) | bit;
        bit = v >> (kBits - 1);
    }
    if (notBelow(x, m, n))
        subtractInPlace(x, m, n);
}

} // namespace

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
    r.limbs_.assign((size + kLimbBytes - 1) / kLimbBytes, 0);
    for (size_t i = 0; i < size; ++i) {
        size_t pos = size - 1 - i; // byte i from the least significant end
        r.limbs_[i / kLimbBytes] |= Limb(data[pos]) << (8 * (i % kLimbBytes));
    }
    r.trim();
    return r;
}

bool BigNum::toBytes(uint8_t *out, size_t size) const
{
    if ((bitLength() + 7) / 8 > size)
        return false;
    for (size_t i = 0; i < size; ++i) {
        size_t limb = i / kLimbBytes;
        Limb v = limb < limbs_.size() ? limbs_[limb] : 0;
        out[size - 1 - i] = uint8_t(v >> (8 * (i % kLimbBytes)));
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
    size_t bits = kBits * (limbs_.size() - 1);
    for (Limb top = limbs_.back(); top; top >>= 1)
        ++bits;
    return bits;
}

bool BigNum::bit(size_t i) const
{
    size_t limb = i / kBits;
    return limb < limbs_.size() && ((limbs_[limb] >> (i % kBits)) & 1);
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
    size_t n = std::max(a.limbs_.size(), b.limbs_.size());
    r.limbs_.resize(n + 1);
    Limb carry = 0;
    for (size_t i = 0; i < n; ++i) {
        Wide s = Wide(carry);
        if (i < a.limbs_.size())
            s += a.limbs_[i];
        if (i < b.limbs_.size())
            s += b.limbs_[i];
        r.limbs_[i] = Limb(s);
        carry = Limb(s >> kBits);
    }
    r.limbs_[n] = carry;
    r.trim();
    return r;
}

BigNum BigNum::sub(const BigNum &a, const BigNum &b)
{
    BigNum r = a;
    std::vector<Limb> bb(b.limbs_);
    bb.resize(r.limbs_.size(), 0);
    subtractInPlace(r.limbs_.data(), bb.data(), r.limbs_.size());
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
        Limb carry = 0;
        for (size_t j = 0; j < b.limbs_.size(); ++j) {
            Wide t = Wide(a.limbs_[i]) * b.limbs_[j] + r.limbs_[i + j] + carry;
            r.limbs_[i + j] = Limb(t);
            carry = Limb(t >> kBits);
        }
        r.limbs_[i + b.limbs_.size()] = carry;
    }
    r.trim();
    return r;
}

BigNum BigNum::mod(const BigNum &a, const BigNum &m)
{
    if (compare(a, m) < 0)
        return a;
    if (a.bitLength() == m.bitLength())
        return sub(a, m); // below 2m: one subtraction
    // Shift and subtract, one bit at a time, in place: only for set-up and
    // odd cases, never in the modular power's loop.
    const size_t k = m.limbs_.size();
    std::vector<Limb> r(k + 1, 0), mm(m.limbs_);
    mm.push_back(0);
    for (size_t i = a.bitLength(); i-- > 0;)
        doubleBelow(r.data(), a.bit(i), mm.data(), k + 1);
    BigNum out;
    out.limbs_ = std::move(r);
    out.trim();
    return out;
}

namespace {

// The Montgomery kernels for numbers of k limbs. K is k when known at
// compile time (the common key sizes: loops the compiler unrolls), or 0.
// m is the modulus, minv -m^-1 mod 2^kBits.

// r = t R^-1 mod m for t below m R (t is spoiled).
void reduceKernel(Limb *r, Limb *t, const Limb *m, Limb minv, size_t k)
{
    Limb pending = 0; // carry into t[i + k] from the step before
    for (size_t i = 0; i < k; ++i) {
        Limb u = t[i] * minv, carry = 0;
        for (size_t j = 0; j < k; ++j) {
            Wide s = Wide(u) * m[j] + t[i + j] + carry;
            t[i + j] = Limb(s);
            carry = Limb(s >> kBits);
        }
        Wide s = Wide(t[i + k]) + carry + pending;
        t[i + k] = Limb(s);
        pending = Limb(s >> kBits);
    }
    // Below 2m: one conditional subtraction.
    Limb *hi = t + k;
    if (pending || notBelow(hi, m, k))
        subtractInPlace(hi, m, k);
    std::copy(hi, hi + k, r);
}

// The column sum of a Montgomery product: two limbs in acc, a third in top.
struct Column {
    Wide acc = 0;
    Limb top = 0;
    void add(Limb x, Limb y)
    {
        Wide p = Wide(x) * y;
        acc += p;
        top += acc < p;
    }
    // The low limb, the sum moving one limb down.
    Limb shift()
    {
        Limb low = Limb(acc);
        acc = (acc >> kBits) | (Wide(top) << kBits);
        top = 0;
        return low;
    }
};

// The end of a Montgomery product: column k - 1 of the result, its carry,
// and one conditional subtraction (the result is below 2m).
inline void finish(Limb *r, Column &c, const Limb *m, size_t k)
{
    r[k - 1] = c.shift();
    if (Limb(c.acc) || notBelow(r, m, k))
        subtractInPlace(r, m, k);
}

// r = a b R^-1 mod m, column by column with the reduction folded in: the
// sums stay in registers, u (k limbs) keeps the reduction's factors.
// r may be a or b: column i only reads limbs above i - k.
template <size_t K>
void mulKernel(Limb *r, const Limb *a, const Limb *b, Limb *u, const Limb *m, Limb minv, size_t k)
{
    if (K)
        k = K;
    Column c;
    for (size_t i = 0; i < k; ++i) {
        for (size_t j = 0; j < i; ++j) {
            c.add(a[j], b[i - j]);
            c.add(u[j], m[i - j]);
        }
        c.add(a[i], b[0]);
        u[i] = Limb(c.acc) * minv;
        c.add(u[i], m[0]); // clears the low limb
        c.shift();
    }
    for (size_t i = k; i + 1 < 2 * k; ++i) {
        for (size_t j = i - k + 1; j < k; ++j) {
            c.add(a[j], b[i - j]);
            c.add(u[j], m[i - j]);
        }
        r[i - k] = c.shift();
    }
    finish(r, c, m, k);
}

// r = a^2 R^-1 mod m as mulKernel, each cross product once and doubled.
template <size_t K> void sqrKernel(Limb *r, const Limb *a, Limb *u, const Limb *m, Limb minv, size_t k)
{
    if (K)
        k = K;
    Column c;
    for (size_t i = 0; i + 1 < 2 * k; ++i) {
        const size_t low = i < k ? 0 : i - k + 1;
        Column d;
        for (size_t j = low; j < i - j; ++j)
            d.add(a[j], a[i - j]);
        Limb dTop = (d.top << 1) | Limb(d.acc >> (2 * kBits - 1));
        Wide twice = d.acc << 1;
        c.acc += twice;
        c.top += dTop + (c.acc < twice);
        if (i % 2 == 0)
            c.add(a[i / 2], a[i / 2]);
        if (i < k) {
            for (size_t j = 0; j < i; ++j)
                c.add(u[j], m[i - j]);
            u[i] = Limb(c.acc) * minv;
            c.add(u[i], m[0]);
            c.shift();
        } else {
            for (size_t j = low; j < k; ++j)
                c.add(u[j], m[i - j]);
            r[i - k] = c.shift();
        }
    }
    finish(r, c, m, k);
}

} // namespace

// Montgomery arithmetic modulo an odd m of k limbs, with R = 2^(kBits k).
// Numbers in Montgomery form are k limbs below m; the buffers are sized once.
class Montgomery {
public:
    explicit Montgomery(const BigNum &m)
        : modulus_(m), m_(m.limbs_), k_(m_.size()), t_(2 * k_ + 1), u_(k_), rr_(k_)
    {
        // -m^-1 mod 2^kBits by Newton iteration (m odd): each step doubles the good bits.
        Limb inv = 1;
        for (unsigned good = 1; good < kBits; good *= 2)
            inv *= 2 - m_[0] * inv;
        minv_ = Limb(0) - inv;
        // The primes of 1024- to 4096-bit keys, with either limb size.
        switch (k_ * kBits) {
        case 512:
            setKernels<512 / kBits>();
            break;
        case 1024:
            setKernels<1024 / kBits>();
            break;
        case 2048:
            setKernels<2048 / kBits>();
            break;
        default:
            setKernels<0>();
            break;
        }
        computeRR();
    }
    size_t size() const { return k_; }

    void mul(Limb *r, const Limb *a, const Limb *b) { mul_(r, a, b, u_.data(), m_.data(), minv_, k_); }
    void sqr(Limb *r, const Limb *a) { sqr_(r, a, u_.data(), m_.data(), minv_, k_); }

    // x < m (k limbs) into Montgomery form.
    void toForm(Limb *r, const Limb *x) { mul(r, x, rr_.data()); }
    // Any x into Montgomery form (k limbs). One below m R, as an RSA input
    // below p q is for its prime p, is reduced here; others take the long way.
    void toForm(Limb *r, const BigNum &x)
    {
        const std::vector<Limb> &v = x.limbs_;
        if (v.size() <= k_) {
            if (v.size() < k_ || !notBelow(v.data(), m_.data(), k_)) {
                std::vector<Limb> xx(v);
                xx.resize(k_, 0);
                toForm(r, xx.data());
                return;
            }
        } else if (v.size() <= 2 * k_) {
            std::vector<Limb> hi(v.begin() + k_, v.end());
            hi.resize(k_, 0);
            if (!notBelow(hi.data(), m_.data(), k_)) {
                std::fill(t_.begin(), t_.end(), Limb(0));
                std::copy(v.begin(), v.end(), t_.begin());
                reduce(r);    // x R^-1
                toForm(r, r); // x
                toForm(r, r); // x R
                return;
            }
        }
        std::vector<Limb> xx(BigNum::mod(x, modulus_).limbs_);
        xx.resize(k_, 0);
        toForm(r, xx.data());
    }
    // Out of Montgomery form.
    void fromForm(Limb *r, const Limb *x)
    {
        std::fill(t_.begin(), t_.end(), Limb(0));
        std::copy(x, x + k_, t_.begin());
        reduce(r);
    }

private:
    using MulFn = void (*)(Limb *, const Limb *, const Limb *, Limb *, const Limb *, Limb, size_t);
    using SqrFn = void (*)(Limb *, const Limb *, Limb *, const Limb *, Limb, size_t);

    template <size_t K> void setKernels()
    {
        mul_ = mulKernel<K>;
        sqr_ = sqrKernel<K>;
    }
    // r = t R^-1 mod m for t (in t_) below m R.
    void reduce(Limb *r) { reduceKernel(r, t_.data(), m_.data(), minv_, k_); }

    // R^2 mod m: 2^a R mod m by doubling, then squarings in Montgomery form
    // (each doubles a) until 2^(kBits k) R.
    void computeRR()
    {
        size_t total = kBits * k_, a = total;
        unsigned squarings = 0;
        while (a % 2 == 0) {
            a /= 2;
            ++squarings;
        }
        // 2^(bits - 1) < m, then doubled up to 2^(total + a) mod m.
        size_t bits = modulus_.bitLength();
        std::vector<Limb> x(k_ + 1, 0);
        x[(bits - 1) / kBits] = Limb(1) << ((bits - 1) % kBits);
        std::vector<Limb> mm(m_);
        mm.push_back(0);
        for (size_t i = bits - 1; i < total + a; ++i)
            doubleBelow(x.data(), 0, mm.data(), k_ + 1);
        std::copy(x.begin(), x.begin() + k_, rr_.begin());
        for (unsigned i = 0; i < squarings; ++i)
            sqr(rr_.data(), rr_.data());
    }

    const BigNum &modulus_;
    std::vector<Limb> m_;
    size_t k_;
    Limb minv_;
    MulFn mul_;
    SqrFn sqr_;
    std::vector<Limb> t_;  // a double-length number to reduce
    std::vector<Limb> u_;  // the reduction factors of a product
    std::vector<Limb> rr_; // R^2 mod m
};

namespace {

// Exponent bits taken at a time: fewer multiplications against a table of
// 2^w powers.
unsigned windowFor(size_t expBits)
{
    return expBits > 512 ? 5 : expBits > 128 ? 4 : expBits > 24 ? 3 : 1;
}

} // namespace

BigNum BigNum::modPow(const BigNum &base, const BigNum &exp, const BigNum &m)
{
    Montgomery mont(m);
    const size_t k = mont.size();
    const unsigned w = windowFor(exp.bitLength());
    const size_t entries = size_t(1) << w;
    // table[i] = base^i in Montgomery form; then the accumulator.
    std::vector<Limb> store((entries + 1) * k, 0);
    Limb *table = store.data(), *acc = store.data() + entries * k;
    std::vector<Limb> one(k, 0);
    one[0] = 1;
    mont.toForm(table, one.data());
    mont.toForm(table + k, base);
    for (size_t i = 2; i < entries; ++i)
        mont.mul(table + i * k, table + (i - 1) * k, table + k);
    auto digitAt = [&](size_t pos) { // the w bits below pos
        unsigned digit = 0;
        for (unsigned b = 0; b < w; ++b)
            digit = (digit << 1) | unsigned(exp.bit(pos - 1 - b));
        return digit;
    };
    // From a whole window above the highest bit; the first one needs no squaring.
    size_t pos = (exp.bitLength() + w - 1) / w * w;
    const Limb *first = table + (pos ? digitAt(pos) : 0) * k;
    std::copy(first, first + k, acc);
    while (pos > 0) {
        pos -= w;
        if (pos == 0)
            break;
        for (unsigned b = 0; b < w; ++b)
            mont.sqr(acc, acc);
        if (unsigned digit = digitAt(pos))
            mont.mul(acc, acc, table + digit * k);
    }
    BigNum result;
    result.limbs_.resize(k);
    mont.fromForm(result.limbs_.data(), acc);
    result.trim();
    return result;
}

BigNum BigNum::modMul(const BigNum &a, const BigNum &b, const BigNum &m)
{
    Montgomery mont(m);
    const size_t k = mont.size();
    std::vector<Limb> x(a.limbs_), y(b.limbs_), r(k);
    x.resize(k, 0);
    y.resize(k, 0);
    mont.mul(r.data(), x.data(), y.data()); // a b R^-1
    mont.toForm(r.data(), r.data());        // times R^2 R^-1
    BigNum out;
    out.limbs_ = std::move(r);
    out.trim();
    return out;
}

} // namespace softcard
