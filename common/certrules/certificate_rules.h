// The two rules by which the provider and the tray program agree on a card
// certificate: the container name made from its subject, and its key spec
// made from its key usage.
#ifndef VEL_CERTRULES_CERTIFICATE_RULES_H
#define VEL_CERTRULES_CERTIFICATE_RULES_H

#include <cstddef>
#include <cstdint>

namespace certrules {

// Key specs, as CryptoAPI numbers them.
constexpr uint32_t kNoKeyType = 0;
constexpr uint32_t kAtKeyExchange = 1;
constexpr uint32_t kAtSignature = 2;

// Bit of the first key-usage byte that makes a signature certificate.
constexpr uint8_t kNonRepudiationBit = 0x40;

// Container name of a certificate: the bytes of its DER subject (exactly as
// the token gives CKA_SUBJECT) that lie in 0x21..0x7E, in order, then NUL.
//   subject/length  the DER subject (NULL only with length 0)
//   name/capacity   output buffer including room for the NUL
// Returns the number of characters kept (without the NUL), or -1 when they
// and the NUL do not fit in capacity; the buffer then holds an empty string
// (when capacity > 0), never a truncated name.
long ContainerNameFromSubject(const uint8_t *subject, size_t length, char *name, size_t capacity);

// Key spec from the first byte of a readable key usage.
inline uint32_t KeyTypeFromKeyUsage(uint8_t firstByte)
{
    return (firstByte & kNonRepudiationBit) ? kAtSignature : kAtKeyExchange;
}

// Key spec of a DER certificate read without any platform call: kNoKeyType
// when it does not decode or has no key-usage extension.
uint32_t CertificateKeyTypeFromDer(const uint8_t *der, size_t length);

} // namespace certrules

#endif
