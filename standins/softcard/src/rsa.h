// RSA for the card's keys: the raw public and private operations (the private
// one with the Chinese remainder theorem) and PKCS#1 v1.5 padding both ways.
#ifndef SOFTCARD_RSA_H
#define SOFTCARD_RSA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bignum.h"

namespace softcard {

struct RsaPublicKey {
    BigNum n, e;
    size_t size() const { return (n.bitLength() + 7) / 8; } // modulus length in bytes
};

struct RsaPrivateKey {
    BigNum n, e, d, p, q, dp, dq, qinv;
    size_t size() const { return (n.bitLength() + 7) / 8; }
    RsaPublicKey publicKey() const { return RsaPublicKey{n, e}; }
};

using Bytes = std::vector<uint8_t>;

// m^e mod n; the input must be exactly size() bytes and below n. False otherwise.
bool rsaPublic(const RsaPublicKey &key, const Bytes &in, Bytes &out);
// c^d mod n through p and q. Same input rule.
bool rsaPrivate(const RsaPrivateKey &key, const Bytes &in, Bytes &out);

// Block type 1 (signature): 00 01 FF..FF 00 data, at least 8 FF bytes.
bool pkcs1PadSign(const Bytes &data, size_t k, Bytes &block);
// Block type 2 (encryption), with the non-zero random filler given by the caller.
bool pkcs1PadEncrypt(const Bytes &data, size_t k, const Bytes &nonZeroFiller, Bytes &block);
// The data of a type 1 or type 2 block; false when the block is not well formed.
bool pkcs1Unpad(const Bytes &block, int type, Bytes &data);

// DigestInfo of a SHA-1 or SHA-256 digest (the DER prefix then the digest).
Bytes digestInfoSha1(const uint8_t digest[20]);
Bytes digestInfoSha256(const uint8_t digest[32]);

} // namespace softcard

#endif
