// The little DER reading the certificate rules need: the subject Name and the
// key-usage extension of an X.509 certificate. Bounds are checked at every
// step; nothing is copied.
#ifndef VEL_CERTRULES_DER_READER_H
#define VEL_CERTRULES_DER_READER_H

#include <cstddef>
#include <cstdint>

namespace certrules {

// One DER element inside a buffer.
struct DerElement {
    uint8_t tag = 0;
    const uint8_t *whole = nullptr; // tag, length and content
    size_t wholeLength = 0;
    const uint8_t *content = nullptr;
    size_t contentLength = 0;
};

// Reads the element at data[0..size) (single-byte tags, definite lengths of
// at most 4 length bytes, content inside the buffer). False on anything else.
bool ReadDerElement(const uint8_t *data, size_t size, DerElement &out);

struct CertificateFields {
    DerElement subject;            // the subject Name, whole element
    bool hasKeyUsage = false;      // a key-usage extension was found
    uint8_t keyUsageFirstByte = 0; // its first bit-string byte (0 when the bit string is empty)
};

// Reads a DER certificate's subject and key usage. False when the bytes are
// not a certificate (truncated, wrong tags, trailing bytes inside a field).
bool ReadCertificateFields(const uint8_t *der, size_t size, CertificateFields &out);

} // namespace certrules

#endif
