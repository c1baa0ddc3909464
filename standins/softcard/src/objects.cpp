#include "objects.h"

#include <cstring>

#include "der.h"

namespace softcard {
namespace {

Bytes ulongBytes(CK_ULONG v)
{
    Bytes b(sizeof(CK_ULONG));
    std::memcpy(b.data(), &v, sizeof(v));
    return b;
}

Bytes boolBytes(bool v)
{
    return Bytes(1, v ? CK_TRUE : CK_FALSE);
}

Bytes textBytes(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

void add(CardObject &o, CK_ATTRIBUTE_TYPE t, Bytes v, bool sensitive = false)
{
    Attribute a;
    a.type = t;
    a.value = std::move(v);
    a.sensitive = sensitive;
    o.attributes.push_back(std::move(a));
}

void addCommon(CardObject &o, CK_OBJECT_CLASS cls, bool isPrivate, const std::string &label)
{
    o.objectClass = cls;
    o.isPrivate = isPrivate;
    add(o, CKA_CLASS, ulongBytes(cls));
    add(o, CKA_TOKEN, boolBytes(true));
    add(o, CKA_PRIVATE, boolBytes(isPrivate));
    add(o, CKA_MODIFIABLE, boolBytes(false));
    add(o, CKA_LABEL, textBytes(label));
}

void addKeyCommon(CardObject &o, const Bytes &id, const RsaPublicKey &key)
{
    add(o, CKA_KEY_TYPE, ulongBytes(CKK_RSA));
    add(o, CKA_ID, id);
    add(o, CKA_LOCAL, boolBytes(false));
    add(o, CKA_DERIVE, boolBytes(false));
    add(o, CKA_MODULUS, key.n.toBytes());
    add(o, CKA_MODULUS_BITS, ulongBytes(static_cast<CK_ULONG>(key.n.bitLength())));
    add(o, CKA_PUBLIC_EXPONENT, key.e.toBytes());
}

} // namespace

const Attribute *CardObject::find(CK_ATTRIBUTE_TYPE type) const
{
    for (const Attribute &a : attributes)
        if (a.type == type)
            return &a;
    return nullptr;
}

bool CardObject::hasBoolTrue(CK_ATTRIBUTE_TYPE type) const
{
    const Attribute *a = find(type);
    return a && a->value.size() == 1 && a->value[0] == CK_TRUE;
}

std::vector<CardObject> buildObjects(const Card &card)
{
    std::vector<CardObject> out;
    for (const DataObject &d : card.data) {
        CardObject o;
        addCommon(o, CKO_DATA, d.isPrivate, d.label);
        add(o, CKA_APPLICATION, textBytes(""));
        add(o, CKA_VALUE, d.value);
        out.push_back(std::move(o));
    }
    for (const CertObject &c : card.certs) {
        CertificateFields f;
        if (!parseCertificate(c.der, f))
            continue; // the card parser refuses such cards; nothing to show
        CardObject cert;
        addCommon(cert, CKO_CERTIFICATE, false, c.label);
        add(cert, CKA_CERTIFICATE_TYPE, ulongBytes(CKC_X_509));
        add(cert, CKA_TRUSTED, boolBytes(false));
        add(cert, CKA_ID, c.id);
        add(cert, CKA_SUBJECT, f.subject);
        add(cert, CKA_ISSUER, f.issuer);
        add(cert, CKA_SERIAL_NUMBER, f.serial);
        add(cert, CKA_VALUE, c.der);
        out.push_back(std::move(cert));

        std::string keyLabel = c.label;
        const KeyObject *key = nullptr;
        for (const KeyObject &k : card.keys)
            if (k.id == c.id && !key)
                key = &k;
        if (key)
            keyLabel = key->label;

        CardObject pub;
        addCommon(pub, CKO_PUBLIC_KEY, false, keyLabel);
        addKeyCommon(pub, c.id, f.key);
        add(pub, CKA_SUBJECT, f.subject);
        add(pub, CKA_ENCRYPT, boolBytes(false));
        add(pub, CKA_VERIFY, boolBytes(true));
        add(pub, CKA_VERIFY_RECOVER, boolBytes(false));
        add(pub, CKA_WRAP, boolBytes(false));
        pub.publicKey = std::make_shared<RsaPublicKey>(f.key);
        out.push_back(std::move(pub));

        if (!key)
            continue;
        auto priv = std::make_shared<RsaPrivateKey>();
        if (!parseRsaPrivateKey(key->der, *priv) || priv->n != f.key.n)
            continue; // a key that does not belong to its certificate is not offered
        CardObject pk;
        addCommon(pk, CKO_PRIVATE_KEY, true, keyLabel);
        addKeyCommon(pk, c.id, f.key);
        add(pk, CKA_SUBJECT, f.subject);
        add(pk, CKA_SENSITIVE, boolBytes(true));
        add(pk, CKA_ALWAYS_SENSITIVE, boolBytes(true));
        add(pk, CKA_EXTRACTABLE, boolBytes(false));
        add(pk, CKA_NEVER_EXTRACTABLE, boolBytes(true));
        add(pk, CKA_DECRYPT, boolBytes(true));
        add(pk, CKA_SIGN, boolBytes(true));
        add(pk, CKA_SIGN_RECOVER, boolBytes(false));
        add(pk, CKA_UNWRAP, boolBytes(false));
        add(pk, CKA_ALWAYS_AUTHENTICATE, boolBytes(false));
        add(pk, CKA_PRIVATE_EXPONENT, Bytes(), true);
        add(pk, CKA_PRIME_1, Bytes(), true);
        add(pk, CKA_PRIME_2, Bytes(), true);
        add(pk, CKA_EXPONENT_1, Bytes(), true);
        add(pk, CKA_EXPONENT_2, Bytes(), true);
        add(pk, CKA_COEFFICIENT, Bytes(), true);
        pk.privateKey = priv;
        out.push_back(std::move(pk));
    }
    return out;
}

bool matchesTemplate(const CardObject &object, const CK_ATTRIBUTE *attrs, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        const Attribute *a = object.find(attrs[i].type);
        if (!a || a->sensitive || a->value.size() != attrs[i].ulValueLen)
            return false;
        if (attrs[i].ulValueLen && std::memcmp(a->value.data(), attrs[i].pValue, attrs[i].ulValueLen) != 0)
            return false;
    }
    return true;
}

} // namespace softcard
