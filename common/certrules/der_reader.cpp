#include "der_reader.h"

#include <cstring>

namespace certrules {

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kVersionTag = 0xA0;
constexpr uint8_t kExtensionsTag = 0xA3;
// 2.5.29.15, id-ce-keyUsage
constexpr uint8_t kKeyUsageOid[] = {0x55, 0x1D, 0x0F};

// Walks the elements of one constructed value in order.
class DerCursor {
public:
    DerCursor(const uint8_t *data, size_t size) : data_(data), left_(size) {}
    bool AtEnd() const { return left_ == 0; }
    uint8_t PeekTag() const { return left_ ? data_[0] : 0; }
    bool Next(DerElement &out)
    {
        if (!ReadDerElement(data_, left_, out))
            return false;
        data_ += out.wholeLength;
        left_ -= out.wholeLength;
        return true;
    }
    bool Next(uint8_t tag, DerElement &out) { return Next(out) && out.tag == tag; }

private:
    const uint8_t *data_;
    size_t left_;
};

// Finds the key-usage extension in the [3] extensions field.
bool ReadKeyUsage(const DerElement &extensionsField, CertificateFields &out)
{
    DerCursor field(extensionsField.content, extensionsField.contentLength);
    DerElement list;
    if (!field.Next(kSequence, list) || !field.AtEnd())
        return false;
    DerCursor extensions(list.content, list.contentLength);
    while (!extensions.AtEnd()) {
        DerElement extension, oid, value;
        if (!extensions.Next(kSequence, extension))
            return false;
        DerCursor parts(extension.content, extension.contentLength);
        if (!parts.Next(kOid, oid))
            return false;
        if (parts.PeekTag() == kBoolean) {
            DerElement critical;
            if (!parts.Next(critical))
                return false;
        }
        if (!parts.Next(kOctetString, value) || !parts.AtEnd())
            return false;
        if (oid.contentLength != sizeof kKeyUsageOid ||
            std::memcmp(oid.content, kKeyUsageOid, sizeof kKeyUsageOid) != 0)
            continue;
        DerCursor inner(value.content, value.contentLength);
        DerElement bits;
        // A bit string holds its count of unused bits, then the bits.
        if (!inner.Next(kBitString, bits) || !inner.AtEnd() || bits.contentLength < 1 || bits.content[0] > 7)
            return false;
        out.hasKeyUsage = true;
        out.keyUsageFirstByte = bits.contentLength > 1 ? bits.content[1] : 0;
        return true;
    }
    return true;
}

} // namespace

bool ReadDerElement(const uint8_t *data, size_t size, DerElement &out)
{
    if (!data || size < 2)
        return false;
    const uint8_t tag = data[0];
    if ((tag & 0x1F) == 0x1F)
        return false; // multi-byte tags never occur in the fields we read
    size_t header = 2;
    size_t length = data[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || size - 2 < count)
            return false; // indefinite or absurd lengths
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | data[2 + i];
        header += count;
    }
    if (length > size - header)
        return false;
    out.tag = tag;
    out.whole = data;
    out.wholeLength = header + length;
    out.content = data + header;
    out.contentLength = length;
    return true;
}

bool ReadCertificateFields(const uint8_t *der, size_t size, CertificateFields &out)
{
    out = CertificateFields();
    DerCursor top(der, size);
    DerElement certificate, tbs, element;
    if (!top.Next(kSequence, certificate))
        return false;
    DerCursor parts(certificate.content, certificate.contentLength);
    if (!parts.Next(kSequence, tbs))
        return false;
    DerCursor fields(tbs.content, tbs.contentLength);
    if (fields.PeekTag() == kVersionTag && !fields.Next(element))
        return false;
    if (!fields.Next(kInteger, element) ||                                        // serial number
        !fields.Next(kSequence, element) ||                                       // signature algorithm
        !fields.Next(kSequence, element) ||                                       // issuer
        !fields.Next(kSequence, element) ||                                       // validity
        !fields.Next(kSequence, out.subject) || !fields.Next(kSequence, element)) // subject public key
        return false;
    while (!fields.AtEnd()) {
        if (!fields.Next(element))
            return false;
        if (element.tag == kExtensionsTag && !ReadKeyUsage(element, out))
            return false;
    }
    return true;
}

} // namespace certrules
