// What the key operations of a provider context need of its card: the key
// handles the provider gives out (the certificates' object handles), the
// certificates, the cached modulus lengths, and the card's private-key
// operations. The provider's card container answers it; tests give a fake.
#ifndef CSP_KEYS_KEY_CARD_H
#define CSP_KEYS_KEY_CARD_H

#include <windows.h>

namespace csp::keys {

class KeyCard {
public:
    virtual ~KeyCard() = default;

    // The key handle of a key spec (1 exchange, 2 signature): the certificate's
    // object handle, 0 when the card has no such certificate.
    virtual ULONG_PTR KeyHandle(DWORD keySpec) = 0;
    // The DER certificate of a key spec; FALSE when the card has none.
    virtual BOOL Certificate(DWORD keySpec, const BYTE **der, DWORD *len) = 0;
    // The cached modulus length in bits of a key spec (0 until known).
    virtual DWORD &CachedKeyBits(DWORD keySpec) = 0;
    // The modulus length in bytes from the certificate; 0 when unknown.
    virtual DWORD KeyLengthFromCert(DWORD keySpec) = 0;

    // Signs a DigestInfo with the key of the key spec (login first when needed).
    //   sig, sigLen  in: a buffer of the modulus length; out: the signature in
    //                little-endian order and its length (the card may drop
    //                leading zero bytes, so it can be shorter)
    virtual BOOL Sign(const BYTE *info, DWORD infoLen, DWORD keySpec, BYTE *sig, DWORD *sigLen) = 0;
    // Decrypts a big-endian ciphertext with the exchange key (login first when
    // needed); out holds at least max(inLen, modulus length) bytes.
    virtual BOOL Decrypt(ULONG_PTR hKey, const BYTE *in, DWORD inLen, BYTE *out, DWORD *outLen) = 0;
    // The public key blob of a key spec, read from the card, under the size
    // protocol of the card container (out NULL or *len short: *len := the size).
    virtual BOOL ExportPublicKey(DWORD keySpec, BYTE *out, DWORD *len) = 0;
    // Before an export in an ordinary context: checks the session, reopening it
    // when the library no longer knows it.
    virtual void CheckSession() = 0;
};

} // namespace csp::keys

#endif
