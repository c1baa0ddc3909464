// The key work of one provider context: signing with the card's keys, their
// parameters and public blobs, decryption and session-key import through the
// card's exchange key. Every other key belongs to the context's Microsoft
// software provider and is passed through; a card key handle never reaches
// CryptoAPI (the Microsoft side gets the certificate's public key instead, or
// the call is refused).
#ifndef CSP_KEYS_CONTAINER_KEYS_H
#define CSP_KEYS_CONTAINER_KEYS_H

#include <windows.h>
#include <wincrypt.h>

#include "key_card.h"
#include "session_import.h"

namespace csp::keys {

// What a call needs of its provider context.
struct KeyContext {
    HCRYPTPROV ms; // the Microsoft software context
    DWORD flags;   // the acquire flags
    KeyCard *card; // NULL for a context without a card container
};

// Each method returns TRUE or FALSE and writes the failure code to *pdwError
// (left untouched on success, which the entry points start at 0).
class ContainerKeys {
public:
    ContainerKeys();
    ContainerKeys(const ContainerKeys &) = delete;
    ContainerKeys &operator=(const ContainerKeys &) = delete;
    ~ContainerKeys();

    // Destroys the keys made in the Microsoft context; called before that
    // context is released.
    void Release();

    // 1 (exchange) or 2 (signature) for a card key handle, compared at full
    // pointer width; 3 for any other handle (0 is never a card key).
    static DWORD KeySpecOf(const KeyContext &ctx, ULONG_PTR hKey);

    // Signs a hash of the Microsoft context with a card key.
    //   pbSignature NULL: size query; else *pdwSigLen must hold the modulus length
    // Failures: NTE_NO_KEY (no card, a key the card does not have, length
    // unknown; before any card access or PIN prompt), NTE_INVALID_PARAMETER
    // (no length pointer), ERROR_MORE_DATA (short buffer, *pdwSigLen := the
    // length), NTE_BAD_HASH / NTE_BAD_ALGID (hash), NTE_FAIL (card).
    BOOL SignHash(const KeyContext &ctx, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                  DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen, DWORD *pdwError);

    // A key parameter. Card keys: KP_CERTIFICATE, KP_PERMISSIONS, KP_ALGID,
    // KP_BLOCKLEN, KP_KEYLEN under the size protocol, any other NTE_BAD_TYPE;
    // other keys: CryptGetKeyParam. ERROR_INVALID_PARAMETER without pdwDataLen.
    BOOL GetKeyParam(const KeyContext &ctx, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                     DWORD dwFlags, DWORD *pdwError);

    // The key handle of a card key spec. NTE_FAIL without a card container;
    // NTE_NO_KEY for a key spec other than 1 and 2 or a key the card does not
    // have (*phUserKey 0); ERROR_INVALID_PARAMETER without phUserKey.
    BOOL GetUserKey(const KeyContext &ctx, DWORD dwKeySpec, HCRYPTKEY *phUserKey, DWORD *pdwError);

    // Exports a key. Card keys: PUBLICKEYBLOB only (else NTE_BAD_TYPE), from the
    // card (NTE_FAIL when it cannot answer), under the size protocol. Other
    // keys: CryptExportKey, a card key as the wrapping key becoming its
    // certificate's public key.
    BOOL ExportKey(const KeyContext &ctx, HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                   BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError);

    // Imports a key. A SIMPLEBLOB under the card's exchange key is unwrapped by
    // the card (the caller's blob is not changed) and comes back as a session
    // key; everything else goes to the Microsoft context. NTE_FAIL for a
    // missing blob or handle pointer or a failed key set-up, NTE_BAD_TYPE for a
    // blob the card cannot unwrap, NTE_BAD_KEY for the signature key as the
    // unwrapping key, NTE_BAD_ALGID when the card's decryption fails.
    BOOL ImportKey(const KeyContext &ctx, const BYTE *pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                   DWORD dwFlags, HCRYPTKEY *phKey, DWORD *pdwError);

    // Decrypts with the card's exchange key, in place like CryptDecrypt: the
    // little-endian ciphertext is reversed into a private copy, so a failure
    // leaves the caller's bytes as they were (NTE_BAD_DATA; NTE_BAD_KEY for
    // any other key, ERROR_INVALID_PARAMETER for a missing buffer or length).
    BOOL Decrypt(const KeyContext &ctx, BYTE *pbData, DWORD *pdwDataLen, HCRYPTKEY hKey, DWORD dwFlags,
                 DWORD *pdwError);

    // CPDecrypt: the card's exchange key decrypts on the card (a final block,
    // no flags, else ERROR_INVALID_PARAMETER; the plaintext also hashed into
    // hHash when given), the signature key refuses (NTE_BAD_KEY), any other
    // key decrypts in the Microsoft context.
    BOOL DecryptWith(const KeyContext &ctx, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                     BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError);

    // Generates a key in the Microsoft context. ERROR_INVALID_PARAMETER
    // without phKey; CryptGenKey's failures.
    BOOL GenKey(const KeyContext &ctx, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey, DWORD *pdwError);

    // Destroys a key: a card key stays (TRUE), any other goes in the Microsoft
    // context. NTE_INVALID_PARAMETER on a context without a card container.
    BOOL DestroyKey(const KeyContext &ctx, HCRYPTKEY hKey, DWORD *pdwError);

    // What a call handed to the Microsoft context may do with a card key.
    enum class KeyUse {
        PublicKey, // encrypting, verifying, wrapping: the certificate's key serves
        Any        // anything else: a card key is refused
    };
    // The handle to give the Microsoft context for hKey: its own handles (and
    // 0) as they are; a card key becomes its certificate's public key,
    // imported once and kept until the context goes, or is refused.
    //   out  the handle to use
    // Failures: NTE_BAD_KEY (a card key refused, or its public key not made).
    BOOL ForMicrosoft(const KeyContext &ctx, HCRYPTKEY hKey, KeyUse use, HCRYPTKEY *out, DWORD *pdwError);

private:
    // The certificate's public key of a card key spec in the Microsoft
    // context (made once); 0 when it cannot be made.
    HCRYPTKEY PublicKeyOf(const KeyContext &ctx, DWORD keySpec);

    SessionKeyImporter importer_;
    CRITICAL_SECTION lock_;
    HCRYPTKEY public_[2] = {0, 0}; // by key spec - 1
};

} // namespace csp::keys

#endif
