#include "key_blobs.h"

#include <cstring>

#include "byte_order.h"
#include "key_codes.h"

namespace csp::keys {

namespace {

uint32_t ReadLe32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteLe32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The little-endian number 1 over n bytes.
void SetOne(uint8_t *p, size_t n)
{
    std::memset(p, 0, n);
    if (n)
        p[0] = 1;
}

} // namespace

size_t SignificantLength(const uint8_t *bigEndian, size_t len)
{
    size_t skip = 0;
    while (skip < len && bigEndian[skip] == 0)
        ++skip;
    return len - skip;
}

uint32_t BuildPublicKeyBlob(const uint8_t *modulus, size_t modulusLen, const uint8_t *exponent,
                            size_t exponentLen, uint8_t *out, size_t outLen, size_t *needed)
{
    const size_t n = modulus ? SignificantLength(modulus, modulusLen) : 0;
    const size_t e = exponent ? SignificantLength(exponent, exponentLen) : 0;
    if (n == 0 || n > kMaxModulusLen || e == 0 || e > 4)
        return kNteBadKey;
    const size_t total = PublicKeyBlobLength(n);
    if (needed)
        *needed = total;
    if (!out)
        return kOk;
    if (outLen < total)
        return kErrorMoreData;

    uint32_t pubexp = 0;
    for (size_t i = exponentLen - e; i < exponentLen; ++i)
        pubexp = pubexp << 8 | exponent[i];
    out[0] = kPublicKeyBlob;
    out[1] = kBlobVersion;
    out[2] = out[3] = 0;
    // The same algorithm for both card keys: the blob carries only the public half.
    WriteLe32(out + 4, kAlgRsaKeyx);
    WriteLe32(out + 8, kMagicRsa1);
    WriteLe32(out + 12, uint32_t(n * 8));
    WriteLe32(out + 16, pubexp);
    ReverseInto(modulus + (modulusLen - n), n, out + kRsaBlobHeaderLen);
    return kOk;
}

uint32_t ParseSimpleBlob(const uint8_t *blob, size_t len, SimpleBlobView &out)
{
    if (!blob || len <= kSimpleBlobHeaderLen || blob[0] != kSimpleBlob)
        return kNteBadType;
    if (ReadLe32(blob + kBlobHeaderLen) != kAlgRsaKeyx)
        return kNteBadType;
    if (len - kSimpleBlobHeaderLen > kMaxModulusLen)
        return kNteBadType;
    out.keyAlg = ReadLe32(blob + 4);
    out.wrapped = blob + kSimpleBlobHeaderLen;
    out.wrappedLen = len - kSimpleBlobHeaderLen;
    return kOk;
}

size_t PlainSessionPaddingLength(size_t keyLen, size_t blobLen)
{
    // Header, the separating zero, the block's leading 00 02, and at least
    // 8 padding bytes as PKCS#1 asks.
    const size_t fixed = kSimpleBlobHeaderLen + 3;
    if (keyLen == 0 || blobLen < fixed + 8 || keyLen > blobLen - fixed - 8)
        return 0;
    return blobLen - fixed - keyLen;
}

uint32_t BuildPlainSessionBlob(uint32_t algId, uint32_t privAlg, const uint8_t *key, size_t keyLen,
                               const uint8_t *random, uint8_t *out, size_t blobLen)
{
    const size_t pad = PlainSessionPaddingLength(keyLen, blobLen);
    if (pad == 0)
        return kNteBadData;
    out[0] = kSimpleBlob;
    out[1] = kBlobVersion;
    out[2] = out[3] = 0;
    WriteLe32(out + 4, algId);
    WriteLe32(out + 8, privAlg);
    uint8_t *p = out + kSimpleBlobHeaderLen;
    ReverseInto(key, keyLen, p);
    p += keyLen;
    *p++ = 0;
    for (size_t i = 0; i < pad; ++i)
        *p++ = random[i] ? random[i] : 1;
    out[blobLen - 2] = 2;
    out[blobLen - 1] = 0;
    return kOk;
}

uint32_t MakeExponentOnePrivateBlob(uint8_t *blob, size_t len)
{
    if (!blob || len < kRsaBlobHeaderLen || blob[0] != kPrivateKeyBlob || ReadLe32(blob + 8) != kMagicRsa2)
        return kNteBadKey;
    const uint32_t bits = ReadLe32(blob + 12);
    if (bits == 0 || bits % 16 != 0 || bits / 8 > kMaxModulusLen)
        return kNteBadKey;
    const size_t whole = bits / 8, half = bits / 16;
    // modulus, prime1, prime2, exponent1, exponent2, coefficient, privateExponent
    if (len - kRsaBlobHeaderLen < 2 * whole + 5 * half)
        return kNteBadKey;
    WriteLe32(blob + 16, 1);
    uint8_t *exponent1 = blob + kRsaBlobHeaderLen + whole + 2 * half;
    SetOne(exponent1, half);
    SetOne(exponent1 + half, half);
    SetOne(blob + kRsaBlobHeaderLen + whole + 5 * half, whole);
    return kOk;
}

} // namespace csp::keys
