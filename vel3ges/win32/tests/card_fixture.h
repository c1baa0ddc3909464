// The data objects of the test card used by the decoder, presentation and
// layer tests: a general practitioner with two practice situations (one as
// a replacement) and three billing situations (one linked to no practice).
#ifndef VEL3GES_TESTS_CARD_FIXTURE_H
#define VEL3GES_TESTS_CARD_FIXTURE_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vel::fixture {

using Bytes = std::vector<uint8_t>;

// tag, one length byte, value
inline Bytes Tlv(uint8_t tag, const Bytes &value)
{
    Bytes out{tag, static_cast<uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
inline Bytes Text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}
inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The replacement identifier of the second situation: 31 characters.
inline const std::string kReplacementId = "8101234567890123456789012345678";

inline Bytes NameObject()
{
    Bytes ff{0xFF};
    return Tlv(0xE4, Cat({Tlv(0x80, {31}), Tlv(0x81, Text("DUPONT")), Tlv(0x82, Text("JEAN")),
                          Tlv(0x83, Cat({Text("DUPONT"), ff, Text("JEAN"), ff, Text("MARIE")})),
                          Tlv(0x84, Text("JEAN"))}));
}

inline Bytes IdObject()
{
    return Tlv(0xE3, Cat({Tlv(0x80, {0x01, 0x23, 0x45, 0x67, 0x89, 0x0F}),
                          Tlv(0x81, {0x80, 0x25, 0x00, 0x00, 0x01}), Tlv(0x82, {0x00}),
                          Tlv(0x83, {0x20, 0x24, 0x01, 0x15}), Tlv(0x84, {0x20, 0x27, 0x06, 0x30})}));
}

// Qualification block: code SM26, kinds 03/01/99, specialities 41/82,
// orientations 80/81, diploma 99, attributions 92/95/00/97.
inline Bytes InfoObject()
{
    std::string q = "SM26      "
                    "  "
                    "03"
                    "41"
                    "01"
                    "82"
                    "99"
                    "80"
                    "81"
                    "99"
                    "  "
                    "92"
                    "95"
                    "00"
                    "97";
    return Tlv(0xED, Cat({Tlv(0x80, {0x00, 0xA0}), Tlv(0x81, Text("810012345678")), Tlv(0x82, {10}),
                          Tlv(0x83, {0}), Tlv(0x84, Text("DUPONT")), Tlv(0x85, Text(q))}));
}

inline Bytes Activity1()
{
    return Tlv(0xEE,
               Cat({Tlv(0x80, {0x00}), Tlv(0x81, {0x00, 0x01, 0x03}), Tlv(0x85, Text("412345678901234")),
                    Tlv(0x86, Text("XA07")), Tlv(0x84, Text("CABINET DUPONT")), Tlv(0x83, {0x01})}));
}

inline Bytes Activity2()
{
    std::string v = "0"
                    "ADELI000000001" +
                    std::string(56, '-') + kReplacementId;
    return Tlv(0xEE, Cat({Tlv(0x85, Text(v)), Tlv(0x80, {0x04}), Tlv(0x81, {0x00, 0x24, 0x05}),
                          Tlv(0x82, Text("DA")), Tlv(0x83, {0x02}), Tlv(0x86, Text("XA33"))}));
}

inline Bytes BillingObject()
{
    Bytes s1 =
        Tlv(0xA0, Cat({Tlv(0x80, {1}), Tlv(0x81, {0x12, 0x34, 0x56, 0x78, 0x90}),
                       Tlv(0x82, {0x01, 0x11, 0x01}), Tlv(0x83, {0x02, 0x00, 0x00}), Tlv(0x84, {0x11})}));
    Bytes s2 =
        Tlv(0xA0, Cat({Tlv(0x80, {2}), Tlv(0x81, {0x98, 0x76, 0x54, 0x32, 0x10}),
                       Tlv(0x82, {0x50, 0x28, 0x20}), Tlv(0x83, {0x99, 0x00, 0x00}), Tlv(0x84, {0x00})}));
    Bytes s3 = Tlv(0xA0, Cat({Tlv(0x80, {9}), Tlv(0x81, {0x11}), Tlv(0x84, {0x10})}));
    Bytes content = Cat({s1, s2, s3});
    return Cat({Bytes{0xE0, 0x81, static_cast<uint8_t>(content.size())}, content});
}

} // namespace vel::fixture

#endif
