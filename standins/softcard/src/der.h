// The little DER reading the card needs: an RSA private key (PKCS#1) and the
// fields of an X.509 certificate that become PKCS#11 attributes.
#ifndef SOFTCARD_DER_H
#define SOFTCARD_DER_H

#include <cstdint>
#include <vector>

#include "rsa.h"

namespace softcard {

struct CertificateFields {
    Bytes serial;  // the serial number INTEGER, whole DER element
    Bytes issuer;  // issuer Name, whole DER element
    Bytes subject; // subject Name, whole DER element
    RsaPublicKey key;
};

// False when the bytes are not a well-formed RSAPrivateKey.
bool parseRsaPrivateKey(const Bytes &der, RsaPrivateKey &key);
// False when the bytes are not a certificate with an RSA key.
bool parseCertificate(const Bytes &der, CertificateFields &fields);

} // namespace softcard

#endif
