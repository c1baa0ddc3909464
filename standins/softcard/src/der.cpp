#include "der.h"

namespace softcard {
namespace {

// One element inside [pos, end): its tag, where its content starts and ends.
struct Element {
    uint8_t tag = 0;
    size_t start = 0;   // first byte of the element (tag)
    size_t content = 0; // first content byte
    size_t end = 0;     // one past the last content byte
};

bool readElement(const Bytes &der, size_t pos, size_t limit, Element &el)
{
    if (pos + 2 > limit)
        return false;
    el.start = pos;
    el.tag = der[pos];
    size_t len = der[pos + 1];
    pos += 2;
    if (len & 0x80) {
        size_t count = len & 0x7F;
        if (count == 0 || count > 3 || pos + count > limit)
            return false;
        len = 0;
        for (size_t i = 0; i < count; ++i)
            len = (len << 8) | der[pos + i];
        pos += count;
    }
    if (len > limit - pos)
        return false;
    el.content = pos;
    el.end = pos + len;
    return true;
}

bool readInteger(const Bytes &der, size_t &pos, size_t limit, BigNum &out)
{
    Element el;
    if (!readElement(der, pos, limit, el) || el.tag != 0x02)
        return false;
    out = BigNum::fromBytes(der.data() + el.content, el.end - el.content);
    pos = el.end;
    return true;
}

Bytes whole(const Bytes &der, const Element &el)
{
    return Bytes(der.begin() + el.start, der.begin() + el.end);
}

} // namespace

bool parseRsaPrivateKey(const Bytes &der, RsaPrivateKey &key)
{
    Element seq;
    if (!readElement(der, 0, der.size(), seq) || seq.tag != 0x30)
        return false;
    size_t pos = seq.content;
    BigNum version;
    BigNum *fields[] = {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv};
    if (!readInteger(der, pos, seq.end, version) || !version.isZero())
        return false;
    for (BigNum *f : fields) {
        if (!readInteger(der, pos, seq.end, *f))
            return false;
    }
    return key.n.isOdd() && key.p.isOdd() && key.q.isOdd() && !key.e.isZero();
}

bool parseCertificate(const Bytes &der, CertificateFields &fields)
{
    Element cert, tbs, el;
    if (!readElement(der, 0, der.size(), cert) || cert.tag != 0x30)
        return false;
    if (!readElement(der, cert.content, cert.end, tbs) || tbs.tag != 0x30)
        return false;
    size_t pos = tbs.content;
    if (!readElement(der, pos, tbs.end, el))
        return false;
    if (el.tag == 0xA0) { // explicit version
        pos = el.end;
        if (!readElement(der, pos, tbs.end, el))
            return false;
    }
    if (el.tag != 0x02)
        return false;
    fields.serial = whole(der, el);
    pos = el.end;
    // signature algorithm, issuer, validity, subject, subject public key info
    Element alg, issuer, validity, subject, spki;
    if (!readElement(der, pos, tbs.end, alg) || !readElement(der, alg.end, tbs.end, issuer) ||
        !readElement(der, issuer.end, tbs.end, validity) ||
        !readElement(der, validity.end, tbs.end, subject) || !readElement(der, subject.end, tbs.end, spki) ||
        issuer.tag != 0x30 || subject.tag != 0x30 || spki.tag != 0x30)
        return false;
    fields.issuer = whole(der, issuer);
    fields.subject = whole(der, subject);
    // SubjectPublicKeyInfo: algorithm, BIT STRING holding RSAPublicKey.
    Element keyAlg, bits, rsa;
    if (!readElement(der, spki.content, spki.end, keyAlg) || !readElement(der, keyAlg.end, spki.end, bits) ||
        bits.tag != 0x03 || bits.end - bits.content < 1 || der[bits.content] != 0)
        return false;
    if (!readElement(der, bits.content + 1, bits.end, rsa) || rsa.tag != 0x30)
        return false;
    pos = rsa.content;
    return readInteger(der, pos, rsa.end, fields.key.n) && readInteger(der, pos, rsa.end, fields.key.e) &&
           fields.key.n.isOdd();
}

} // namespace softcard
