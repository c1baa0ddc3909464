// The CryptoAPI numbers the key logic works with, under names of its own so
// that this code builds without the Windows headers (whose macros carry the
// platform names).
#ifndef CSP_KEYS_KEY_CODES_H
#define CSP_KEYS_KEY_CODES_H

#include <cstdint>

namespace csp::keys {

// Hash and key algorithm ids.
constexpr uint32_t kAlgMd2 = 0x8001;
constexpr uint32_t kAlgMd4 = 0x8002;
constexpr uint32_t kAlgMd5 = 0x8003;
constexpr uint32_t kAlgSha1 = 0x8004;
constexpr uint32_t kAlgSsl3ShaMd5 = 0x8008;
constexpr uint32_t kAlgSha256 = 0x800C;
constexpr uint32_t kAlgSha384 = 0x800D;
constexpr uint32_t kAlgSha512 = 0x800E;
constexpr uint32_t kAlgRsaKeyx = 0xA400;
constexpr uint32_t kAlgRsaSign = 0x2400;
constexpr uint32_t kAlgRc2 = 0x6602;

// Key specs of the card's two key pairs; anything else is not a card key.
constexpr uint32_t kKeyExchange = 1;
constexpr uint32_t kKeySignature = 2;
constexpr uint32_t kNotCardKey = 3;

// Blob types and the RSA blob magics.
constexpr uint8_t kSimpleBlob = 0x01;
constexpr uint8_t kPublicKeyBlob = 0x06;
constexpr uint8_t kPrivateKeyBlob = 0x07;
constexpr uint8_t kBlobVersion = 0x02;
constexpr uint32_t kMagicRsa1 = 0x31415352; // "RSA1", public key
constexpr uint32_t kMagicRsa2 = 0x32415352; // "RSA2", private key

// Result codes (0 is success).
constexpr uint32_t kOk = 0;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kNteBadHash = 0x80090002;
constexpr uint32_t kNteBadKey = 0x80090003;
constexpr uint32_t kNteBadData = 0x80090005;
constexpr uint32_t kNteBadAlgid = 0x80090008;
constexpr uint32_t kNteBadFlags = 0x80090009;
constexpr uint32_t kNteBadType = 0x8009000A;
constexpr uint32_t kNteNoKey = 0x8009000D;
constexpr uint32_t kNteFail = 0x80090020;
constexpr uint32_t kNteInvalidParameter = 0x80090027;

// Permissions of a card key: it can be read and its public half exported.
constexpr uint32_t kCardKeyPermissions = 0x0C;

// Algorithm id of a card key by key spec; 0 for anything else.
constexpr uint32_t AlgidFromKeySpec(uint32_t keySpec)
{
    return keySpec == kKeyExchange ? kAlgRsaKeyx : keySpec == kKeySignature ? kAlgRsaSign : 0;
}

} // namespace csp::keys

#endif
