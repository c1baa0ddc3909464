#include "rsa.h"

namespace softcard {

bool rsaPublic(const RsaPublicKey &key, const Bytes &in, Bytes &out)
{
    size_t k = key.size();
    if (in.size() != k)
        return false;
    BigNum m = BigNum::fromBytes(in);
    if (BigNum::compare(m, key.n) >= 0)
        return false;
    out.assign(k, 0);
    return BigNum::modPow(m, key.e, key.n).toBytes(out.data(), k);
}

bool rsaPrivate(const RsaPrivateKey &key, const Bytes &in, Bytes &out)
{
    size_t k = key.size();
    if (in.size() != k)
        return false;
    BigNum c = BigNum::fromBytes(in);
    if (BigNum::compare(c, key.n) >= 0)
        return false;
    if (key.p.isZero() || key.q.isZero()) {
        // A key without its factors: the plain power.
        out.assign(k, 0);
        return BigNum::modPow(c, key.d, key.n).toBytes(out.data(), k);
    }
    // m1 = c^dp mod p, m2 = c^dq mod q, h = qinv (m1 - m2) mod p, m = m2 + h q.
    BigNum m1 = BigNum::modPow(c, key.dp, key.p);
    BigNum m2 = BigNum::modPow(c, key.dq, key.q);
    BigNum m2p = BigNum::mod(m2, key.p);
    BigNum diff =
        BigNum::compare(m1, m2p) >= 0 ? BigNum::sub(m1, m2p) : BigNum::sub(BigNum::add(m1, key.p), m2p);
    BigNum h = BigNum::modMul(BigNum::mod(key.qinv, key.p), diff, key.p);
    BigNum m = BigNum::add(m2, BigNum::mul(h, key.q));
    out.assign(k, 0);
    return m.toBytes(out.data(), k);
}

bool pkcs1PadSign(const Bytes &data, size_t k, Bytes &block)
{
    if (k < 11 || data.size() > k - 11)
        return false;
    block.assign(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    size_t sep = k - data.size() - 1;
    block[sep] = 0x00;
    for (size_t i = 0; i < data.size(); ++i)
        block[sep + 1 + i] = data[i];
    return true;
}

bool pkcs1PadEncrypt(const Bytes &data, size_t k, const Bytes &nonZeroFiller, Bytes &block)
{
    if (k < 11 || data.size() > k - 11)
        return false;
    size_t fill = k - data.size() - 3;
    if (nonZeroFiller.size() < fill)
        return false;
    block.assign(k, 0);
    block[1] = 0x02;
    for (size_t i = 0; i < fill; ++i) {
        if (nonZeroFiller[i] == 0)
            return false;
        block[2 + i] = nonZeroFiller[i];
    }
    for (size_t i = 0; i < data.size(); ++i)
        block[3 + fill + i] = data[i];
    return true;
}

bool pkcs1Unpad(const Bytes &block, int type, Bytes &data)
{
    if (block.size() < 11 || block[0] != 0x00 || block[1] != type)
        return false;
    size_t i = 2;
    for (; i < block.size() && block[i] != 0x00; ++i) {
        if (type == 1 && block[i] != 0xFF)
            return false;
    }
    // The separator must exist and follow at least 8 filler bytes.
    if (i >= block.size() || i < 10)
        return false;
    data.assign(block.begin() + i + 1, block.end());
    return true;
}

Bytes digestInfoSha1(const uint8_t digest[20])
{
    static const uint8_t prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                     0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    Bytes out(prefix, prefix + sizeof(prefix));
    out.insert(out.end(), digest, digest + 20);
    return out;
}

Bytes digestInfoSha256(const uint8_t digest[32])
{
    static const uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes out(prefix, prefix + sizeof(prefix));
    out.insert(out.end(), digest, digest + 32);
    return out;
}

} // namespace softcard
