#include "session_import.h"

#include <vector>

#include "key_blobs.h"
#include "log_trace.h"
#include "trace_scope.h"

namespace csp::keys {

namespace {

const char kImportContainer[] = "importKey";
const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char kBase[] = "Microsoft Base Cryptographic Provider v1.0";
// The Enhanced provider has no AES: AES keys go to the AES provider (the
// name older systems give it second), as the context's own set-up does.
const char *const kAesProviders[] = {"Microsoft Enhanced RSA and AES Cryptographic Provider",
                                     "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)"};

bool IsAes(ALG_ID alg)
{
    return alg == CALG_AES_128 || alg == CALG_AES_192 || alg == CALG_AES_256 || alg == CALG_AES;
}

// A buffer that held key material: wiped before it is freed.
struct SecretBuffer {
    std::vector<BYTE> bytes;
    explicit SecretBuffer(size_t n) : bytes(n, 0) {}
    ~SecretBuffer() { SecureZeroMemory(bytes.data(), bytes.size()); }
};

BOOL GetKeyDword(HCRYPTKEY key, DWORD param, DWORD *value)
{
    DWORD len = sizeof(*value);
    return CryptGetKeyParam(key, param, reinterpret_cast<BYTE *>(value), &len, 0);
}

// Whether the provider lists the algorithm.
BOOL ProviderHasAlgorithm(HCRYPTPROV hProv, ALG_ID algId)
{
    PROV_ENUMALGS_EX alg;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD len = sizeof(alg);
        if (!CryptGetProvParam(hProv, PP_ENUMALGS_EX, reinterpret_cast<BYTE *>(&alg), &len, flags))
            return FALSE;
        if (alg.aiAlgid == algId)
            return TRUE;
        flags = 0;
    }
}

// Opens the shared "importKey" container of the provider, creating it when needed.
BOOL AcquireImportContainer(const char *provider, DWORD provType, HCRYPTPROV *phProv)
{
    if (CryptAcquireContextA(phProv, kImportContainer, provider, provType, CRYPT_NEWKEYSET))
        return TRUE;
    if (GetLastError() != static_cast<DWORD>(NTE_EXISTS))
        return FALSE;
    return CryptAcquireContextA(phProv, kImportContainer, provider, provType, 0);
}

} // namespace

BOOL CreatePrivateExponentOneKey(const char *provider, HCRYPTPROV *phProv, HCRYPTKEY *phKey, DWORD provType)
{
    static const char kName[] = "HandleContainer::CreatePrivateExponentOneKey";
    TraceScope trace(LOG_LEVEL_DETAIL, kName, TRUE, "%s, %u, %s, %u, 0x%p, 0x%p", provider,
                     unsigned(provType), kImportContainer, 1u, static_cast<void *>(phProv),
                     static_cast<void *>(phKey));
    *phProv = 0;
    *phKey = 0;
    BOOL ok = FALSE;
    DWORD error = 0;
    HCRYPTKEY generated = 0;
    if (AcquireImportContainer(provider, provType, phProv) &&
        CryptGenKey(*phProv, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &generated)) {
        DWORD size = 0;
        if (CryptExportKey(generated, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
            SecretBuffer blob(size);
            if (CryptExportKey(generated, 0, PRIVATEKEYBLOB, 0, blob.bytes.data(), &size)) {
                if (MakeExponentOnePrivateBlob(blob.bytes.data(), size) != 0)
                    SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
                else
                    ok = CryptImportKey(*phProv, blob.bytes.data(), size, 0, 0, phKey);
            }
        }
    }
    if (!ok)
        error = GetLastError();
    if (generated)
        CryptDestroyKey(generated);
    if (!ok) {
        if (*phKey)
            CryptDestroyKey(*phKey);
        if (*phProv)
            CryptReleaseContext(*phProv, 0);
        *phKey = 0;
        *phProv = 0;
    }
    trace.Return(ok, "%s, %u, %s, %u, 0x%p, 0x%p", provider, unsigned(provType), kImportContainer, 1u,
                 static_cast<void *>(phProv), static_cast<void *>(phKey));
    if (!ok)
        SetLastError(error);
    return ok;
}

BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hPrivKey, ALG_ID algId, const BYTE *pbKey,
                            DWORD cbKey, HCRYPTKEY *phKey)
{
    static const char kName[] = "HandleContainer::ImportPlainSessionBlob";
    TraceScope trace(LOG_LEVEL_DETAIL, kName, TRUE, "0x%p, 0x%p, %d, 0x%p, %u, 0x%p",
                     reinterpret_cast<void *>(hProv), reinterpret_cast<void *>(hPrivKey),
                     static_cast<int>(algId), static_cast<const void *>(pbKey), static_cast<unsigned>(cbKey),
                     static_cast<void *>(phKey));
    const bool weakRc2 = algId == CALG_RC2 && cbKey == 5;
    BOOL ok = FALSE;
    DWORD error = static_cast<DWORD>(NTE_BAD_ALGID);
    HCRYPTKEY probe = 0;
    DWORD defaultBits = 0, privAlg = 0, privBits = 0;
    if (!ProviderHasAlgorithm(hProv, algId)) {
        error = static_cast<DWORD>(NTE_BAD_ALGID);
    } else if (!CryptGenKey(hProv, algId, weakRc2 ? CRYPT_NO_SALT : 0, &probe) ||
               !GetKeyDword(probe, KP_KEYLEN, &defaultBits)) {
        error = GetLastError();
    } else if (cbKey * 8 > defaultBits) {
        error = static_cast<DWORD>(NTE_BAD_LEN);
    } else if (!GetKeyDword(hPrivKey, KP_ALGID, &privAlg) || !GetKeyDword(hPrivKey, KP_KEYLEN, &privBits)) {
        error = GetLastError();
    } else {
        const size_t size = PlainSessionBlobLength(privBits);
        const size_t pad = PlainSessionPaddingLength(cbKey, size);
        SecretBuffer blob(size), random(pad ? pad : 1);
        if (pad == 0) {
            error = static_cast<DWORD>(NTE_BAD_LEN);
        } else if (!CryptGenRandom(hProv, static_cast<DWORD>(pad), random.bytes.data())) {
            error = GetLastError();
        } else {
            BuildPlainSessionBlob(algId, privAlg, pbKey, cbKey, random.bytes.data(), blob.bytes.data(), size);
            ok = CryptImportKey(hProv, blob.bytes.data(), static_cast<DWORD>(size), hPrivKey,
                                CRYPT_EXPORTABLE | (weakRc2 ? CRYPT_NO_SALT : 0), phKey);
            if (!ok)
                error = GetLastError();
        }
    }
    if (probe)
        CryptDestroyKey(probe);
    trace.Return(ok, "0x%p, 0x%p, %d, 0x%p, %u, 0x%p", reinterpret_cast<void *>(hProv),
                 reinterpret_cast<void *>(hPrivKey), static_cast<int>(algId),
                 static_cast<const void *>(pbKey), static_cast<unsigned>(cbKey), static_cast<void *>(phKey));
    if (!ok)
        SetLastError(error);
    return ok;
}

SessionKeyImporter::SessionKeyImporter()
{
    InitializeCriticalSection(&lock_);
}

SessionKeyImporter::~SessionKeyImporter()
{
    for (ExponentOne *e : {&base_, &enhanced_, &aes_}) {
        if (e->key)
            CryptDestroyKey(e->key);
        if (e->prov)
            CryptReleaseContext(e->prov, 0);
    }
    DeleteCriticalSection(&lock_);
}

DWORD SessionKeyImporter::Import(ALG_ID keyAlg, const BYTE *key, DWORD len, HCRYPTKEY *phKey)
{
    const bool base = keyAlg == CALG_RC2 && len == 5;
    const bool aes = IsAes(keyAlg);
    ExponentOne &e = base ? base_ : aes ? aes_ : enhanced_;
    EnterCriticalSection(&lock_);
    if (!e.key && aes) {
        for (const char *provider : kAesProviders)
            if (CreatePrivateExponentOneKey(provider, &e.prov, &e.key, PROV_RSA_AES))
                break;
    } else if (!e.key) {
        CreatePrivateExponentOneKey(base ? kBase : kEnhanced, &e.prov, &e.key);
    }
    const BOOL ok = e.key && ImportPlainSessionBlob(e.prov, e.key, keyAlg, key, len, phKey);
    LeaveCriticalSection(&lock_);
    return ok ? 0 : static_cast<DWORD>(NTE_FAIL);
}

} // namespace csp::keys
