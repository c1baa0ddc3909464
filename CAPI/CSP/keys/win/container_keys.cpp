#include "container_keys.h"

#include <algorithm>
#include <vector>

#include "byte_order.h"
#include "full_hash.h"
#include "key_blobs.h"
#include "key_codes.h"
#include "log_trace.h"
#include "size_answer.h"
#include "trace_scope.h"

namespace csp::keys {

namespace {

const DWORD kVerifyContext = 0xF0000000;

void *P(ULONG_PTR v)
{
    return reinterpret_cast<void *>(v);
}

// Plaintexts and unwrapped keys are wiped before their buffer goes.
struct SecretBuffer {
    std::vector<BYTE> bytes;
    explicit SecretBuffer(size_t n) : bytes(n, 0) {}
    ~SecretBuffer() { SecureZeroMemory(bytes.data(), bytes.size()); }
};

// The modulus length in bytes of a card key, from the cache or the certificate
// (then cached); 0 when unknown.
DWORD ModulusBytes(KeyCard &card, DWORD keySpec)
{
    DWORD &bits = card.CachedKeyBits(keySpec);
    if (bits == 0)
        bits = card.KeyLengthFromCert(keySpec) * 8;
    return bits / 8;
}

BOOL Fail(DWORD *pdwError, DWORD code)
{
    *pdwError = code;
    return FALSE;
}

} // namespace

ContainerKeys::ContainerKeys()
{
    InitializeCriticalSection(&lock_);
}

ContainerKeys::~ContainerKeys()
{
    Release();
    DeleteCriticalSection(&lock_);
}

void ContainerKeys::Release()
{
    EnterCriticalSection(&lock_);
    for (HCRYPTKEY &k : public_) {
        if (k)
            CryptDestroyKey(k);
        k = 0;
    }
    LeaveCriticalSection(&lock_);
}

DWORD ContainerKeys::KeySpecOf(const KeyContext &ctx, ULONG_PTR hKey)
{
    if (!ctx.card || hKey == 0)
        return kNotCardKey;
    if (hKey == ctx.card->KeyHandle(kKeyExchange))
        return kKeyExchange;
    if (hKey == ctx.card->KeyHandle(kKeySignature))
        return kKeySignature;
    return kNotCardKey;
}

// CRYPT_NOHASHOID: the card signs the bare hash value, without the
// algorithm's DigestInfo prefix.
static void StripHashOid(HCRYPTHASH hHash, DigestInfo &info)
{
    ALG_ID alg = 0;
    DWORD length = sizeof alg;
    if (!CryptGetHashParam(hHash, HP_ALGID, reinterpret_cast<BYTE *>(&alg), &length, 0))
        return;
    const DigestAlgorithm *a = FindDigestAlgorithm(alg);
    if (a && a->prefixLen && info.len > a->prefixLen) {
        memmove(info.bytes, info.bytes + a->prefixLen, info.len - a->prefixLen);
        info.len -= a->prefixLen;
    }
}

BOOL ContainerKeys::SignHash(const KeyContext &ctx, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                             DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::SignHash";
    static const char kFormat[] = "0x%p, %u, 0x%p, 0x%08x, 0x%p, 0x%p";
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, kFormat, P(hHash), unsigned(dwKeySpec),
                     static_cast<const void *>(szDescription), unsigned(dwFlags),
                     static_cast<void *>(pbSignature), static_cast<void *>(pdwSigLen));
    DWORD error = 0;
    // Every refusal comes before the card is touched: no PIN prompt for a
    // signature that cannot be made.
    DWORD modulus = 0;
    if (dwFlags & ~DWORD(CRYPT_NOHASHOID)) {
        error = kNteBadFlags; // a signature in a form we do not make
    } else if ((ctx.flags & kVerifyContext) == kVerifyContext || !ctx.card) {
        error = kNteNoKey;
    } else if (!pdwSigLen) {
        error = kNteInvalidParameter;
    } else if ((dwKeySpec != kKeyExchange && dwKeySpec != kKeySignature) ||
               ctx.card->KeyHandle(dwKeySpec) == 0 || (modulus = ModulusBytes(*ctx.card, dwKeySpec)) == 0) {
        error = kNteNoKey;
    } else if (!pbSignature) {
        *pdwSigLen = modulus;
    } else if (*pdwSigLen < modulus) {
        // Checked before the card starts an operation it could not finish.
        *pdwSigLen = modulus;
        error = kErrorMoreData;
    } else {
        DigestInfo info{};
        error = BuildFullHash(hHash, info);
        if (error == 0 && (dwFlags & CRYPT_NOHASHOID))
            StripHashOid(hHash, info);
        if (error == 0) {
            std::vector<BYTE> sig(modulus, 0);
            DWORD len = modulus;
            if (!ctx.card->Sign(info.bytes, DWORD(info.len), dwKeySpec, sig.data(), &len) ||
                WidenLittleEndian(sig.data(), len, modulus, pbSignature) != kOk)
                error = kNteFail;
            else
                *pdwSigLen = modulus;
        }
    }
    trace.Return(error == 0, kFormat, P(hHash), unsigned(dwKeySpec), static_cast<const void *>(szDescription),
                 unsigned(dwFlags), static_cast<void *>(pbSignature), static_cast<void *>(pdwSigLen));
    return error == 0 ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::GetKeyParam(const KeyContext &ctx, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData,
                                DWORD *pdwDataLen, DWORD dwFlags, DWORD *pdwError)
{
    if (!pdwDataLen)
        return Fail(pdwError, kErrorInvalidParameter);
    const DWORD keySpec = KeySpecOf(ctx, hKey);
    if (keySpec == kNotCardKey) {
        if (CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags))
            return TRUE;
        return Fail(pdwError, GetLastError());
    }
    DWORD error = 0;
    switch (dwParam) {
    case KP_CERTIFICATE: {
        const BYTE *der = nullptr;
        DWORD len = 0;
        if (ctx.card->Certificate(keySpec, &der, &len))
            AnswerBytes(der, len, pbData, pdwDataLen, &error);
        else
            error = kNteNoKey;
        break;
    }
    case KP_PERMISSIONS:
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "HandleContainer::GetPermissionsFromKeySpec", 0, FALSE,
                   "%u, 0x%p, 0x%p, 0x%x", unsigned(keySpec), static_cast<void *>(pbData),
                   static_cast<void *>(pdwDataLen), unsigned(kCardKeyPermissions));
        AnswerDword(kCardKeyPermissions, pbData, pdwDataLen, &error);
        break;
    case KP_ALGID:
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "HandleContainer::GetAlgidFromKeySpec", 0, FALSE,
                   "%u, 0x%p, 0x%p", unsigned(keySpec), static_cast<void *>(pbData),
                   static_cast<void *>(pdwDataLen));
        AnswerDword(AlgidFromKeySpec(keySpec), pbData, pdwDataLen, &error);
        break;
    case KP_BLOCKLEN:
    case KP_KEYLEN: {
        const DWORD bits = ModulusBytes(*ctx.card, keySpec) * 8;
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "HandleContainer::GetBlockLengthFromKeySpec", 0, FALSE,
                   "%u, 0x%p, 0x%p, 0x%x", unsigned(keySpec), static_cast<void *>(pbData),
                   static_cast<void *>(pdwDataLen), unsigned(bits));
        // An unknown length is a failure, not a key of 0 bits.
        if (bits)
            AnswerDword(bits, pbData, pdwDataLen, &error);
        else
            error = kNteFail;
        break;
    }
    default:
        // CryptoAPI knows nothing of a card key handle.
        error = kNteBadType;
        break;
    }
    return error == 0 ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::GetUserKey(const KeyContext &ctx, DWORD dwKeySpec, HCRYPTKEY *phUserKey, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::GetUserKey";
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, "%u, 0x%p", unsigned(dwKeySpec),
                     static_cast<void *>(phUserKey));
    DWORD error = 0;
    if (!phUserKey) {
        error = kErrorInvalidParameter;
    } else if (!ctx.card) {
        *phUserKey = 0;
        error = kNteFail; // a context without a card container has no user key at all
    } else {
        *phUserKey = 0;
        const ULONG_PTR handle =
            (dwKeySpec == kKeyExchange || dwKeySpec == kKeySignature) ? ctx.card->KeyHandle(dwKeySpec) : 0;
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "PKCSContainer::GetUserKeyFromKeySpec", 0, FALSE, "%s",
                   !handle                     ? "Unknown key"
                   : dwKeySpec == kKeyExchange ? "Handle AUTHENT key"
                                               : "Handle SIGNATURE key");
        if (handle)
            *phUserKey = handle;
        else
            error = kNteNoKey; // another key spec, or a key the card does not have
    }
    trace.Return(error == 0, "%u, 0x%p", unsigned(dwKeySpec), static_cast<void *>(phUserKey));
    return error == 0 ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::ExportKey(const KeyContext &ctx, HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                              DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::ExportKey";
    static const char kFormat[] = "%u, 0x%p, %u, 0x%08x, 0x%p, 0x%p";
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, kFormat, unsigned(hKey), P(hExpKey),
                     unsigned(dwBlobType), unsigned(dwFlags), static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen));
    DWORD error = 0;
    const DWORD keySpec = KeySpecOf(ctx, hKey);
    if (!pdwDataLen) {
        error = kErrorInvalidParameter;
    } else if (keySpec == kNotCardKey) {
        HCRYPTKEY wrap = 0;
        if (ForMicrosoft(ctx, hExpKey, KeyUse::PublicKey, &wrap, &error) &&
            !CryptExportKey(hKey, wrap, dwBlobType, dwFlags, pbData, pdwDataLen))
            error = GetLastError();
    } else if (dwBlobType != PUBLICKEYBLOB) {
        error = kNteBadType;
    } else {
        ctx.card->CheckSession();
        // The card answers the size alone when the buffer is missing or short.
        const DWORD given = *pdwDataLen;
        if (!ctx.card->ExportPublicKey(keySpec, pbData, pdwDataLen) || *pdwDataLen == 0)
            error = kNteFail;
        else if (pbData && given < *pdwDataLen)
            error = kErrorMoreData;
    }
    if (error)
        trace.Return(FALSE, "%u, 0x%p, %u, 0x%08x, 0x%p, 0x%p, error=0x%08x", unsigned(hKey), P(hExpKey),
                     unsigned(dwBlobType), unsigned(dwFlags), static_cast<void *>(pbData),
                     static_cast<void *>(pdwDataLen), unsigned(error));
    else
        trace.Return(TRUE, kFormat, unsigned(hKey), P(hExpKey), unsigned(dwBlobType), unsigned(dwFlags),
                     static_cast<void *>(pbData), static_cast<void *>(pdwDataLen));
    return error == 0 ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::ImportKey(const KeyContext &ctx, const BYTE *pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                              DWORD dwFlags, HCRYPTKEY *phKey, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::ImportKey";
    static const char kFormat[] = "0x%p, %u, 0x%p, 0x%08x, 0x%p";
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, kFormat, static_cast<const void *>(pbData),
                     unsigned(cbDataLen), P(hPubKey), unsigned(dwFlags), static_cast<void *>(phKey));
    DWORD error = 0;
    const DWORD keySpec = KeySpecOf(ctx, hPubKey);
    if (!pbData || !phKey || cbDataLen == 0) {
        error = kNteFail;
    } else if (keySpec == kNotCardKey) {
        // Public keys, plain blobs and keys wrapped by a Microsoft key.
        if (!CryptImportKey(ctx.ms, pbData, cbDataLen, hPubKey, dwFlags, phKey))
            error = GetLastError();
    } else if (keySpec != kKeyExchange) {
        error = kNteBadKey; // the card unwraps with its exchange key only
    } else {
        SimpleBlobView blob{};
        error = ParseSimpleBlob(pbData, cbDataLen, blob);
        if (error == 0) {
            // The caller's blob is const: the card gets a reversed copy.
            const DWORD n = DWORD(blob.wrappedLen);
            const DWORD capacity = std::max(n, ModulusBytes(*ctx.card, kKeyExchange));
            std::vector<BYTE> wrapped(n);
            ReverseInto(blob.wrapped, n, wrapped.data());
            SecretBuffer key(capacity);
            DWORD keyLen = capacity;
            if (!ctx.card->Decrypt(hPubKey, wrapped.data(), n, key.bytes.data(), &keyLen) ||
                keyLen > capacity)
                error = kNteBadAlgid;
            else
                error = importer_.Import(blob.keyAlg, key.bytes.data(), keyLen, phKey);
        }
    }
    trace.Return(error == 0, kFormat, static_cast<const void *>(pbData), unsigned(cbDataLen), P(hPubKey),
                 unsigned(dwFlags), error == 0 ? P(*phKey) : static_cast<void *>(phKey));
    return error == 0 ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::Decrypt(const KeyContext &ctx, BYTE *pbData, DWORD *pdwDataLen, HCRYPTKEY hKey,
                            DWORD dwFlags, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::Decrypt";
    const DWORD n = pdwDataLen ? *pdwDataLen : 0;
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, "0x%p, %u, 0x%p, 0x%08x", static_cast<void *>(pbData),
                     unsigned(n), P(hKey), unsigned(dwFlags));
    DWORD error = 0;
    if (!ctx.card || KeySpecOf(ctx, hKey) != kKeyExchange) {
        error = kNteBadKey;
    } else if (!pbData || !pdwDataLen) {
        error = kErrorInvalidParameter;
    } else if (n == 0 || n > kMaxModulusLen) {
        error = kNteBadData;
    } else {
        const DWORD capacity = std::max(n, ModulusBytes(*ctx.card, kKeyExchange));
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "HandleContainer::GetKeyLengthFromCert", 0, FALSE,
                   "Modulus Bits = %lu", static_cast<unsigned long>(capacity * 8));
        std::vector<BYTE> cipher(n);
        ReverseInto(pbData, n, cipher.data());
        SecretBuffer plain(capacity);
        DWORD len = capacity;
        // The plaintext must fit where the ciphertext was.
        if (!ctx.card->Decrypt(hKey, cipher.data(), n, plain.bytes.data(), &len) || len > n) {
            error = kNteBadData;
        } else {
            memcpy(pbData, plain.bytes.data(), len);
            *pdwDataLen = len;
        }
    }
    trace.Return(error == 0, "0x%p, %u, 0x%p, 0x%08x", static_cast<void *>(pbData), unsigned(n), P(hKey),
                 unsigned(dwFlags));
    return error == 0 ? TRUE : Fail(pdwError, error);
}

HCRYPTKEY ContainerKeys::PublicKeyOf(const KeyContext &ctx, DWORD keySpec)
{
    EnterCriticalSection(&lock_);
    HCRYPTKEY &key = public_[keySpec - 1];
    if (!key) {
        const BYTE *der = nullptr;
        DWORD len = 0;
        PCCERT_CONTEXT cert =
            ctx.card->Certificate(keySpec, &der, &len)
                ? CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, len)
                : nullptr;
        if (cert) {
            if (!CryptImportPublicKeyInfo(ctx.ms, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          &cert->pCertInfo->SubjectPublicKeyInfo, &key))
                key = 0;
            CertFreeCertificateContext(cert);
        }
    }
    const HCRYPTKEY result = key;
    LeaveCriticalSection(&lock_);
    return result;
}

BOOL ContainerKeys::ForMicrosoft(const KeyContext &ctx, HCRYPTKEY hKey, KeyUse use, HCRYPTKEY *out,
                                 DWORD *pdwError)
{
    const DWORD keySpec = KeySpecOf(ctx, hKey);
    *out = hKey;
    if (keySpec == kNotCardKey)
        return TRUE;
    *out = use == KeyUse::PublicKey ? PublicKeyOf(ctx, keySpec) : 0;
    if (*out)
        return TRUE;
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "HandleContainer::ForMicrosoft", 0, FALSE,
               "Card key handle %lu: not for the Microsoft provider", static_cast<unsigned long>(hKey));
    return Fail(pdwError, kNteBadKey);
}

BOOL ContainerKeys::DecryptWith(const KeyContext &ctx, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError)
{
    const DWORD keySpec = KeySpecOf(ctx, hKey);
    if (keySpec == kNotCardKey) {
        if (CryptDecrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen))
            return TRUE;
        return Fail(pdwError, GetLastError());
    }
    if (keySpec != kKeyExchange)
        return Fail(pdwError, kNteBadKey);
    if (Final != TRUE || dwFlags != 0)
        return Fail(pdwError, kErrorInvalidParameter);
    if (!Decrypt(ctx, pbData, pdwDataLen, hKey, dwFlags, pdwError))
        return FALSE;
    if (hHash && !CryptHashData(hHash, pbData, *pdwDataLen, 0)) {
        const DWORD error = GetLastError();
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "CPDecrypt", 0, FALSE, "(CryptHashData failed) 0x%p, %u",
                   static_cast<void *>(pbData), unsigned(*pdwDataLen));
        return Fail(pdwError, error);
    }
    return TRUE;
}

BOOL ContainerKeys::GenKey(const KeyContext &ctx, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey,
                           DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::GenKey";
    if (!phKey)
        return Fail(pdwError, kErrorInvalidParameter);
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, "%d, 0x%08x, 0x%p", int(Algid), unsigned(dwFlags),
                     static_cast<void *>(phKey));
    const BOOL ok = CryptGenKey(ctx.ms, Algid, dwFlags, phKey);
    const DWORD error = ok ? 0 : GetLastError();
    trace.Return(ok, "%d, 0x%08x, 0x%p", int(Algid), unsigned(dwFlags),
                 ok ? P(*phKey) : static_cast<void *>(phKey));
    return ok ? TRUE : Fail(pdwError, error);
}

BOOL ContainerKeys::DestroyKey(const KeyContext &ctx, HCRYPTKEY hKey, DWORD *pdwError)
{
    static const char kName[] = "HandleContainer::DestroyKey";
    TraceScope trace(LOG_LEVEL_FUNCTION, kName, TRUE, "%u", unsigned(hKey));
    const DWORD keySpec = KeySpecOf(ctx, hKey);
    if (!ctx.card) {
        trace.Return(FALSE, "%u", unsigned(hKey));
        return Fail(pdwError, kNteInvalidParameter);
    }
    if (keySpec != kNotCardKey) {
        // The card's keys are not objects of this context: nothing to destroy.
        trace.Return(TRUE, "Handle of '%s cert', %u", keySpec == kKeyExchange ? "Exchange" : "Signature",
                     unsigned(hKey));
        return TRUE;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, kName, 0, FALSE, "Handle other CSP");
    const BOOL ok = CryptDestroyKey(hKey);
    const DWORD error = ok ? 0 : GetLastError();
    trace.Return(ok, "%u", unsigned(hKey));
    return ok ? TRUE : Fail(pdwError, error);
}

} // namespace csp::keys
