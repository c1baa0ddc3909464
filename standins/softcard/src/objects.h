// The PKCS#11 objects of one card: data objects, certificates, the public and
// the private key of each certificate, with their attributes, and the
// template matching of object searches. Platform-free.
#ifndef SOFTCARD_OBJECTS_H
#define SOFTCARD_OBJECTS_H

#include <memory>
#include <vector>

#include "card.h"
#include "pkcs11.h"
#include "rsa.h"

namespace softcard {

struct Attribute {
    CK_ATTRIBUTE_TYPE type;
    Bytes value;
    bool sensitive = false; // exists but is never revealed (private key parts)
};

struct CardObject {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    bool isPrivate = false;
    std::vector<Attribute> attributes;
    std::shared_ptr<RsaPrivateKey> privateKey; // private key objects
    std::shared_ptr<RsaPublicKey> publicKey;   // public key objects
    const Attribute *find(CK_ATTRIBUTE_TYPE type) const;
    bool hasBoolTrue(CK_ATTRIBUTE_TYPE type) const;
};

// In the card's order: data objects, then per certificate (in card order)
// the certificate, its public key and its private key.
std::vector<CardObject> buildObjects(const Card &card);

// True when every attribute of the template has the same bytes in the object.
bool matchesTemplate(const CardObject &object, const CK_ATTRIBUTE *attrs, CK_ULONG count);

} // namespace softcard

#endif
