// Small DER certificates made field by field, for the cases the card's own
// certificates do not show.
#ifndef VEL_CERTRULES_TEST_CERT_BUILDER_H
#define VEL_CERTRULES_TEST_CERT_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace certrules_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Tlv(uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Name with the single attribute CN=cn.
inline Bytes CommonName(const std::string &cn)
{
    const Bytes value(cn.begin(), cn.end());
    return Tlv(0x30, Tlv(0x31, Tlv(0x30, Cat({Tlv(0x06, {0x55, 0x04, 0x03}), Tlv(0x0C, value)}))));
}

// Key-usage extension with the given bit-string content (unused-bits byte first).
inline Bytes KeyUsageExtension(const Bytes &bits, bool critical = true)
{
    Bytes ext = Tlv(0x06, {0x55, 0x1D, 0x0F});
    if (critical)
        ext = Cat({ext, Tlv(0x01, {0xFF})});
    return Tlv(0x30, Cat({ext, Tlv(0x04, Tlv(0x03, bits))}));
}

// Basic-constraints extension, to put another extension before key usage.
inline Bytes BasicConstraints()
{
    return Tlv(0x30, Cat({Tlv(0x06, {0x55, 0x1D, 0x13}), Tlv(0x04, Tlv(0x30, {}))}));
}

// A v3 certificate with an RSA key; extensions empty means no [3] field.
inline Bytes Certificate(const Bytes &subject, const std::vector<Bytes> &extensions)
{
    const Bytes rsaAlg =
        Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}), Tlv(0x05, {})}));
    const Bytes keyAlg =
        Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), Tlv(0x05, {})}));
    const Bytes rsaKey =
        Tlv(0x30, Cat({Tlv(0x02, {0x00, 0xC3, 0x5A, 0x11, 0x07}), Tlv(0x02, {0x01, 0x00, 0x01})}));
    Bytes spki = Tlv(0x30, Cat({keyAlg, Tlv(0x03, Cat({{0x00}, rsaKey}))}));
    const Bytes validity =
        Tlv(0x30, Cat({Tlv(0x17, Bytes{'2', '5', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'}),
                       Tlv(0x17, Bytes{'3', '5', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'})}));
    Bytes tbs = Cat(
        {Tlv(0xA0, Tlv(0x02, {0x02})), Tlv(0x02, {0x01}), rsaAlg, CommonName("AC"), validity, subject, spki});
    if (!extensions.empty()) {
        Bytes list;
        for (const Bytes &e : extensions)
            list = Cat({list, e});
        tbs = Cat({tbs, Tlv(0xA3, Tlv(0x30, list))});
    }
    return Tlv(0x30, Cat({Tlv(0x30, tbs), rsaAlg, Tlv(0x03, {0x00, 0x01, 0x02})}));
}

} // namespace certrules_test

#endif
