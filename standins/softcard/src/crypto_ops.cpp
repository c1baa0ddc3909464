// Signing (raw PKCS#1 v1.5, and SHA-1 / SHA-256 hash-and-sign, in one part or
// in parts), verification, decryption and random numbers. An operation ends
// with its result, except for a length query and a buffer too small: a
// success ends it here, a failure in the call frame (Library::call).
#include "library.h"

#include <cstring>

#include "platform.h"

namespace softcard {

CK_RV Library::beginOperation(CK_SESSION_HANDLE h, Operation Session::*which, const CK_MECHANISM *mech,
                              CK_OBJECT_HANDLE key, CK_OBJECT_CLASS wantedClass, CK_ATTRIBUTE_TYPE usage,
                              bool hashMechanisms)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    Operation &op = s->*which;
    if (op.active)
        return CKR_OPERATION_ACTIVE;
    bool known =
        mech->mechanism == CKM_RSA_PKCS ||
        (hashMechanisms && (mech->mechanism == CKM_SHA1_RSA_PKCS || mech->mechanism == CKM_SHA256_RSA_PKCS));
    if (!known)
        return CKR_MECHANISM_INVALID;
    if (mech->pParameter || mech->ulParameterLen)
        return CKR_MECHANISM_PARAM_INVALID;
    bool hidden = false;
    const CardObject *o = object(*s, key, &hidden);
    if (!o)
        return hidden ? CKR_USER_NOT_LOGGED_IN : CKR_KEY_HANDLE_INVALID; // a private key before the login
    if (o->objectClass != wantedClass)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!o->hasBoolTrue(usage))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    op.reset();
    op.active = true;
    op.mechanism = mech->mechanism;
    op.key = key;
    op.keyClass = wantedClass;
    return CKR_OK;
}

CK_RV Library::activeOperation(CK_SESSION_HANDLE h, Operation Session::*which, Session *&s,
                               const CardObject *&key)
{
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    Operation &op = (*s).*which;
    if (!op.active)
        return CKR_OPERATION_NOT_INITIALIZED;
    key = object(*s, op.key);
    bool usable =
        key && (op.keyClass == CKO_PRIVATE_KEY ? key->privateKey != nullptr : key->publicKey != nullptr);
    if (!usable)
        return CKR_KEY_HANDLE_INVALID; // logged out meanwhile, or the card's objects changed
    return CKR_OK;
}

namespace {

size_t keySize(const CardObject &o)
{
    return o.privateKey ? o.privateKey->size() : o.publicKey ? o.publicKey->size() : 0;
}

// Hashes or keeps one part. Raw data beyond what the key can take is
// CKR_DATA_LEN_RANGE (compared without adding, so no length wraps around).
CK_RV addData(Operation &op, const CK_BYTE *data, CK_ULONG len, size_t limit)
{
    if (len == 0)
        return CKR_OK; // no data may come as NULL: nothing to hash or keep
    if (op.mechanism == CKM_SHA1_RSA_PKCS) {
        op.sha1.update(data, len);
    } else if (op.mechanism == CKM_SHA256_RSA_PKCS) {
        op.sha256.update(data, len);
    } else {
        if (op.data.size() > limit || len > limit - op.data.size())
            return CKR_DATA_LEN_RANGE;
        op.data.insert(op.data.end(), data, data + len);
    }
    return CKR_OK;
}

// What goes into the padding: the data itself, or the DigestInfo of its hash.
void messageOf(Operation &op, Bytes &out)
{
    if (op.mechanism == CKM_SHA1_RSA_PKCS) {
        uint8_t d[20];
        vel::Sha1 copy = op.sha1;
        copy.final(d);
        out = digestInfoSha1(d);
    } else if (op.mechanism == CKM_SHA256_RSA_PKCS) {
        uint8_t d[32];
        vel::Sha256 copy = op.sha256;
        copy.final(d);
        out = digestInfoSha256(d);
    } else {
        out = op.data;
    }
}

// The output size protocol: NULL asks the length; a short buffer is refused.
// Both leave the operation active.
CK_RV outputRoom(CK_BYTE *out, CK_ULONG *outLen, size_t needed, bool &done)
{
    done = false;
    if (!out) {
        *outLen = static_cast<CK_ULONG>(needed);
        return CKR_OK;
    }
    if (*outLen < needed) {
        *outLen = static_cast<CK_ULONG>(needed);
        return CKR_BUFFER_TOO_SMALL;
    }
    done = true;
    return CKR_OK;
}

CK_RV signature(Operation &op, const RsaPrivateKey &key, Bytes &out)
{
    Bytes message, block;
    messageOf(op, message);
    if (!pkcs1PadSign(message, key.size(), block))
        return CKR_DATA_LEN_RANGE;
    return rsaPrivate(key, block, out) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV verification(Operation &op, const RsaPublicKey &key, const CK_BYTE *sig, CK_ULONG sigLen)
{
    if (sigLen != key.size())
        return CKR_SIGNATURE_LEN_RANGE;
    Bytes message, block, recovered;
    messageOf(op, message);
    if (!rsaPublic(key, Bytes(sig, sig + sigLen), block))
        return CKR_SIGNATURE_INVALID;
    if (!pkcs1Unpad(block, 1, recovered) || recovered != message)
        return CKR_SIGNATURE_INVALID;
    return CKR_OK;
}

} // namespace

void Library::endOperation(CK_SESSION_HANDLE h, Operation Session::*which)
{
    auto it = sessions_.find(h);
    if (it != sessions_.end())
        (it->second.*which).reset();
}

CK_RV Library::addPart(CK_SESSION_HANDLE h, Operation Session::*which, const CK_BYTE *part, CK_ULONG len)
{
    Session *s;
    const CardObject *key;
    CK_RV rv = activeOperation(h, which, s, key);
    return rv == CKR_OK ? addData((*s).*which, part, len, keySize(*key)) : rv;
}

CK_RV Library::signLast(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, CK_BYTE *sig,
                        CK_ULONG *sigLen)
{
    Session *s;
    const CardObject *key;
    CK_RV rv = activeOperation(h, &Session::sign, s, key);
    if (rv != CKR_OK)
        return rv;
    const RsaPrivateKey &rsa = *key->privateKey;
    bool done;
    rv = outputRoom(sig, sigLen, rsa.size(), done);
    if (!done)
        return rv;
    Bytes out;
    rv = addData(s->sign, data, len, rsa.size());
    if (rv != CKR_OK || (rv = signature(s->sign, rsa, out)) != CKR_OK)
        return rv;
    s->sign.reset();
    std::memcpy(sig, out.data(), out.size());
    *sigLen = static_cast<CK_ULONG>(out.size());
    return CKR_OK;
}

CK_RV Library::verifyLast(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, const CK_BYTE *sig,
                          CK_ULONG sigLen)
{
    Session *s;
    const CardObject *key;
    CK_RV rv = activeOperation(h, &Session::verify, s, key);
    if (rv != CKR_OK)
        return rv;
    rv = addData(s->verify, data, len, key->publicKey->size());
    if (rv != CKR_OK || (rv = verification(s->verify, *key->publicKey, sig, sigLen)) != CKR_OK)
        return rv;
    s->verify.reset();
    return CKR_OK;
}

CK_RV Library::signInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key)
{
    return beginOperation(h, &Session::sign, mech, key, CKO_PRIVATE_KEY, CKA_SIGN, true);
}

CK_RV Library::sign(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, CK_BYTE *sig, CK_ULONG *sigLen)
{
    return signLast(h, data, len, sig, sigLen);
}

CK_RV Library::signUpdate(CK_SESSION_HANDLE h, const CK_BYTE *part, CK_ULONG len)
{
    return addPart(h, &Session::sign, part, len);
}

CK_RV Library::signFinal(CK_SESSION_HANDLE h, CK_BYTE *sig, CK_ULONG *sigLen)
{
    return signLast(h, nullptr, 0, sig, sigLen);
}

CK_RV Library::verifyInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key)
{
    return beginOperation(h, &Session::verify, mech, key, CKO_PUBLIC_KEY, CKA_VERIFY, true);
}

CK_RV Library::verify(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, const CK_BYTE *sig,
                      CK_ULONG sigLen)
{
    return verifyLast(h, data, len, sig, sigLen);
}

CK_RV Library::verifyUpdate(CK_SESSION_HANDLE h, const CK_BYTE *part, CK_ULONG len)
{
    return addPart(h, &Session::verify, part, len);
}

CK_RV Library::verifyFinal(CK_SESSION_HANDLE h, const CK_BYTE *sig, CK_ULONG sigLen)
{
    return verifyLast(h, nullptr, 0, sig, sigLen);
}

CK_RV Library::decryptInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key)
{
    return beginOperation(h, &Session::decrypt, mech, key, CKO_PRIVATE_KEY, CKA_DECRYPT, false);
}

CK_RV Library::decrypt(CK_SESSION_HANDLE h, const CK_BYTE *in, CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen)
{
    Session *s;
    const CardObject *key;
    CK_RV rv = activeOperation(h, &Session::decrypt, s, key);
    if (rv != CKR_OK)
        return rv;
    Operation &op = s->decrypt;
    const RsaPrivateKey &rsa = *key->privateKey;
    if (inLen != rsa.size())
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    Bytes input(in, in + inLen);
    if (op.input != input) {
        // Decrypted once; a length query followed by the real call reuses it.
        Bytes block;
        if (!rsaPrivate(rsa, input, block) || !pkcs1Unpad(block, 2, op.output))
            return CKR_ENCRYPTED_DATA_INVALID;
        op.input = input;
    }
    bool done;
    rv = outputRoom(out, outLen, op.output.size(), done);
    if (!done)
        return rv;
    if (!op.output.empty())
        std::memcpy(out, op.output.data(), op.output.size());
    *outLen = static_cast<CK_ULONG>(op.output.size());
    op.reset();
    return CKR_OK;
}

CK_RV Library::generateRandom(CK_SESSION_HANDLE h, CK_BYTE *out, CK_ULONG len)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    return len == 0 || randomBytes(out, len) ? CKR_OK : CKR_FUNCTION_FAILED;
}

} // namespace softcard
