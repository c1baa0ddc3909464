// CryptoAPI key blobs built and read by the provider: the public key blob of
// a card key, the session-key blob that the card unwraps, the plain session
// key blob re-wrapped under an exponent-one key, and the private key blob
// turned into that exponent-one key. All values in blobs are little-endian.
#ifndef CSP_KEYS_KEY_BLOBS_H
#define CSP_KEYS_KEY_BLOBS_H

#include <cstddef>
#include <cstdint>

namespace csp::keys {

// BLOBHEADER: type, version, reserved, key algorithm.
constexpr size_t kBlobHeaderLen = 8;
// BLOBHEADER and the RSA key header (magic, bit length, public exponent).
constexpr size_t kRsaBlobHeaderLen = 20;
// BLOBHEADER and the algorithm of the key that wraps a session key.
constexpr size_t kSimpleBlobHeaderLen = 12;
// The largest modulus accepted anywhere here: 16384 bits.
constexpr size_t kMaxModulusLen = 2048;

// Length of the public key blob of a modulus of modulusLen significant bytes.
constexpr size_t PublicKeyBlobLength(size_t modulusLen)
{
    return kRsaBlobHeaderLen + modulusLen;
}

// Leading zero bytes dropped: the length that a big-endian value really has.
size_t SignificantLength(const uint8_t *bigEndian, size_t len);

// Builds the PUBLICKEYBLOB of a card key from the card's big-endian modulus and
// public exponent (leading zero bytes of either are ignored).
//   out, outLen  the blob, or out NULL to ask for the length only
//   needed       receives the blob's length whenever the key is usable
// Returns kOk (written when out is given and outLen is enough, else only
// *needed is set and kErrorMoreData is returned when out was given);
// kNteBadKey for an empty or over-long modulus or an exponent that is 0 or
// does not fit 32 bits.
uint32_t BuildPublicKeyBlob(const uint8_t *modulus, size_t modulusLen, const uint8_t *exponent,
                            size_t exponentLen, uint8_t *out, size_t outLen, size_t *needed);

// A SIMPLEBLOB to be unwrapped by the card's exchange key.
struct SimpleBlobView {
    uint32_t keyAlg;        // algorithm of the wrapped session key
    const uint8_t *wrapped; // little-endian ciphertext, inside the caller's blob
    size_t wrappedLen;
};

// Reads a blob that must be a SIMPLEBLOB wrapped under CALG_RSA_KEYX.
// Returns kOk; kNteBadType when it is not one (another type, another wrapping
// algorithm, no ciphertext after the 12-byte header, or a ciphertext longer
// than the largest modulus).
uint32_t ParseSimpleBlob(const uint8_t *blob, size_t len, SimpleBlobView &out);

// Length of the plain session blob for a key of privKeyBits bits (the
// exponent-one key) : the key length in bytes plus the 12-byte header.
constexpr size_t PlainSessionBlobLength(uint32_t privKeyBits)
{
    return privKeyBits / 8 + kSimpleBlobHeaderLen;
}

// Builds the SIMPLEBLOB that carries a plain session key under an
// exponent-one key: the PKCS#1 v1.5 type 2 block 00 02 padding 00 key, in
// little-endian order after the header.
//   algId, privAlg  the session key's and the wrapping key's algorithms
//   key, keyLen     the session key as the card unwrapped it (big-endian)
//   random          blobLen - keyLen - 15 random bytes (zeros become ones)
//   out, blobLen    the blob (PlainSessionBlobLength of the wrapping key)
// Returns kOk, or kNteBadData when the key leaves less than 8 padding bytes.
uint32_t BuildPlainSessionBlob(uint32_t algId, uint32_t privAlg, const uint8_t *key, size_t keyLen,
                               const uint8_t *random, uint8_t *out, size_t blobLen);

// Number of padding bytes BuildPlainSessionBlob takes from `random`, or 0
// when the key does not fit the blob.
size_t PlainSessionPaddingLength(size_t keyLen, size_t blobLen);

// Turns an exported RSA PRIVATEKEYBLOB into the blob of a key whose public
// exponent, both CRT exponents and private exponent are all 1, so that
// "encrypting" with it leaves the block as it is. In place.
// Returns kOk, or kNteBadKey when the blob is not a whole RSA private key blob.
uint32_t MakeExponentOnePrivateBlob(uint8_t *blob, size_t len);

} // namespace csp::keys

#endif
