// The PKCS#1 v1.5 DigestInfo that the card signs for a CryptoAPI hash: the
// DER prefix of the hash algorithm followed by the hash value. The SSL3
// SHA-MD5 hash has no prefix: its 36 bytes (MD5 then SHA-1) are signed raw.
#ifndef CSP_KEYS_DIGEST_INFO_H
#define CSP_KEYS_DIGEST_INFO_H

#include <cstddef>
#include <cstdint>

namespace csp::keys {

struct DigestAlgorithm {
    uint32_t algId;
    const uint8_t *prefix;
    size_t prefixLen;
    size_t hashLen; // the one hash length the algorithm produces
};

// The longest DigestInfo: the SHA-512 prefix and its 64-byte value.
constexpr size_t kMaxDigestInfo = 19 + 64;

struct DigestInfo {
    uint8_t bytes[kMaxDigestInfo];
    size_t len;
};

// The algorithm's entry, or NULL for a hash the card cannot sign for.
const DigestAlgorithm *FindDigestAlgorithm(uint32_t algId);

// Builds the DigestInfo of a hash value.
//   algId    the hash's algorithm id
//   hash     its value, hashLen bytes (may be NULL when hashLen is 0)
//   out      receives the prefix and the value
// Returns kOk; kNteBadAlgid for an algorithm outside the table; kNteBadHash
// when hashLen is not the algorithm's hash length (out is then untouched).
uint32_t BuildDigestInfo(uint32_t algId, const uint8_t *hash, size_t hashLen, DigestInfo &out);

} // namespace csp::keys

#endif
