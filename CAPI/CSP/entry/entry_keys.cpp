// The exported key, hash and parameter entry points. Each one only checks its
// handle, dispatches and catches: the card's key work is the context's
// (keys/), everything else is handed to the context's Microsoft provider. A
// card key handle (a certificate's object handle) is never given to
// CryptoAPI: public-key work uses the certificate's key instead, anything
// else refuses it with NTE_BAD_KEY.
#include <windows.h>
#include <wincrypt.h>

#include "container/context_card.h"
#include "container/handle_container.h"
#include "entry_guard.h"
#include "keys/win/container_keys.h"
#include "keys/win/random.h"
#include "log_trace.h"
#include "prov_param_name.h"

using csp::keys::ContainerKeys;
using csp::keys::KeyContext;
using KeyUse = csp::keys::ContainerKeys::KeyUse;

namespace {

void *P(ULONG_PTR v)
{
    return reinterpret_cast<void *>(v);
}

// Runs body(keys, ctx, error) for a registered context.
template <class Body> BOOL RunKeyEntry(const char *name, const char *args, HCRYPTPROV hProv, Body body)
{
    return RunEntry(name, args, hProv, [&](HandleContainer *hc, DWORD &error) -> BOOL {
        // A context whose card was replaced by another serves nothing more:
        // the caller acquires again.
        if (hc->CardGone()) {
            error = static_cast<DWORD>(NTE_BAD_KEYSET);
            return FALSE;
        }
        ContextCard card(hc);
        const KeyContext ctx = KeyContextOf(hc, card);
        const BOOL ok = body(hc->m_keys, ctx, error);
        // Failed for want of its card (out now, or another in its place):
        // said so, whatever step noticed it.
        if (!ok && (card.CardAway() || hc->CardGone()))
            error = static_cast<DWORD>(NTE_BAD_KEYSET);
        return ok;
    });
}

// Runs call(ms, key) in the Microsoft context, key being the Microsoft key
// for hKey (for PublicKey use a card key's certificate key; any other card
// key refused), with its result and last error. argumentsOk false: refused
// with ERROR_INVALID_PARAMETER first.
template <class Call>
BOOL RunWithMicrosoftKey(const char *name, const char *args, HCRYPTPROV hProv, HCRYPTKEY hKey, KeyUse use,
                         bool argumentsOk, Call call)
{
    return RunKeyEntry(name, args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) -> BOOL {
                           HCRYPTKEY key = 0;
                           if (!argumentsOk) {
                               error = ERROR_INVALID_PARAMETER;
                               return FALSE;
                           }
                           return keys.ForMicrosoft(ctx, hKey, use, &key, &error) &&
                                  PassThrough(error, [&] { return call(ctx.ms, key); });
                       });
}

} // namespace

// Generates a key in the Microsoft context.
//   phKey  out (NULL: ERROR_INVALID_PARAMETER)
// Failures: CryptGenKey's.
extern "C" BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%08x, 0x%08lx, 0x%p", P(hProv), unsigned(Algid),
               static_cast<unsigned long>(dwFlags), static_cast<void *>(phKey));
    return RunKeyEntry("CPGenKey", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.GenKey(ctx, Algid, dwFlags, phKey, &error);
                       });
}

// Key derivation is not offered: always E_NOTIMPL, whatever the arguments.
extern "C" BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                                   HCRYPTKEY *phKey)
{
    const char *name = "CPDeriveKey";
    char args[160];
    FormatArgs(args, sizeof args, "0x%p, 0x%08x, 0x%08lx, 0x%08lx, 0x%p", P(hProv), unsigned(Algid),
               static_cast<unsigned long>(hBaseData), static_cast<unsigned long>(dwFlags),
               static_cast<void *>(phKey));
    _Log_Trace(LOG_BEGIN, LOG_LEVEL_FUNCTION, name, 0, FALSE, "%s", args);
    _Log_Trace(LOG_RETURN, LOG_LEVEL_FUNCTION, name, FALSE, TRUE, "%s", args);
    SetLastError(static_cast<DWORD>(E_NOTIMPL));
    return FALSE;
}

// Destroys a key: card keys stay (TRUE), others go to the Microsoft context.
// Failures: NTE_INVALID_PARAMETER on a context without a card container;
// CryptDestroyKey's.
extern "C" BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    char args[64];
    FormatArgs(args, sizeof args, "0x%p, 0x%p", P(hProv), P(hKey));
    return RunKeyEntry("CPDestroyKey", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.DestroyKey(ctx, hKey, &error);
                       });
}

// Sets a parameter of a Microsoft key.
//   pbData  NULL: ERROR_INVALID_PARAMETER
// Failures: NTE_BAD_KEY for a card key; CryptSetKeyParam's.
extern "C" BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData,
                                     DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, %lu, 0x%p, 0x%08lx", P(hProv), P(hKey),
               static_cast<unsigned long>(dwParam), static_cast<const void *>(pbData),
               static_cast<unsigned long>(dwFlags));
    return RunWithMicrosoftKey(
        "CPSetKeyParam", args, hProv, hKey, KeyUse::Any, pbData != nullptr,
        [&](HCRYPTPROV, HCRYPTKEY key) { return CryptSetKeyParam(key, dwParam, pbData, dwFlags); });
}

// A key parameter, bounded (card keys) or from the Microsoft context.
//   pdwDataLen  NULL: ERROR_INVALID_PARAMETER; short: ERROR_MORE_DATA with the size
extern "C" BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData,
                                     DWORD *pdwDataLen, DWORD dwFlags)
{
    char args[160];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hKey),
               static_cast<unsigned long>(dwParam), static_cast<void *>(pbData),
               static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    return RunKeyEntry("CPGetKeyParam", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.GetKeyParam(ctx, hKey, dwParam, pbData, pdwDataLen, dwFlags, &error);
                       });
}

// Provider parameters (see HandleContainer::GetProvParam).
//   pdwDataLen NULL: ERROR_INVALID_PARAMETER; short buffer: ERROR_MORE_DATA
extern "C" BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                      DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p, 0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
               static_cast<unsigned long>(dwParam), static_cast<void *>(pbData),
               static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "log_prov_param", 0, FALSE, "Looking For : %s",
               ProvParamName(dwParam));
    // The end of an enumeration is its normal last answer, not a fault.
    const bool enumeration =
        dwParam == PP_ENUMALGS || dwParam == PP_ENUMALGS_EX || dwParam == PP_ENUMCONTAINERS;
    return RunEntry(
        "CPGetProvParam", args, hProv,
        [&](HandleContainer *hc, DWORD &error) {
            const BOOL ok = hc->GetProvParam(dwParam, pbData, pdwDataLen, dwFlags, &error);
            if (ok && !pbData && !error)
                SetLastError(0); // a size answer
            return ok;
        },
        enumeration ? DWORD(ERROR_NO_MORE_ITEMS) : 0);
}

// Takes a PIN (PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN: exactly four digits).
//   Failures: NTE_BAD_TYPE, NTE_BAD_KEYSET, SCARD_E_INVALID_CHV,
//   SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, NTE_FAIL
extern "C" BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
               static_cast<unsigned long>(dwParam), static_cast<const void *>(pbData),
               static_cast<unsigned long>(dwFlags));
    return RunEntry("CPSetProvParam", args, hProv, [&](HandleContainer *hc, DWORD &error) {
        return hc->SetProvParam(dwParam, pbData, dwFlags, &error);
    });
}

// Sets a hash parameter in the Microsoft context.
extern "C" BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData,
                                      DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, %lu, 0x%p, 0x%08lx", P(hProv), P(hHash),
               static_cast<unsigned long>(dwParam), static_cast<const void *>(pbData),
               static_cast<unsigned long>(dwFlags));
    return RunEntry("CPSetHashParam", args, hProv, [&](HandleContainer *, DWORD &error) {
        return PassThrough(error, [&] { return CryptSetHashParam(hHash, dwParam, pbData, dwFlags); });
    });
}

// A hash parameter from the Microsoft context.
extern "C" BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData,
                                      DWORD *pdwDataLen, DWORD dwFlags)
{
    char args[160];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash),
               static_cast<unsigned long>(dwParam), static_cast<void *>(pbData),
               static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwFlags));
    return RunEntry("CPGetHashParam", args, hProv, [&](HandleContainer *, DWORD &error) {
        return PassThrough(error,
                           [&] { return CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags); });
    });
}

// Exports a key: a card key as its public key blob, others through the
// Microsoft context.
//   pdwDataLen  NULL: ERROR_INVALID_PARAMETER; short: ERROR_MORE_DATA with the size
extern "C" BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                                   DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    char args[192];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, %lu, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hKey), P(hPubKey),
               static_cast<unsigned long>(dwBlobType), static_cast<unsigned long>(dwFlags),
               static_cast<void *>(pbData), static_cast<void *>(pdwDataLen));
    return RunKeyEntry(
        "CPExportKey", args, hProv, [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
            return keys.ExportKey(ctx, hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen, &error);
        });
}

// Imports a key: a session key wrapped for the card's exchange key is
// unwrapped by the card; everything else goes to the Microsoft context.
extern "C" BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                   DWORD dwFlags, HCRYPTKEY *phKey)
{
    char args[160];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0%lu, 0x%p, 0x%08lx, 0x%p", P(hProv),
               static_cast<const void *>(pbData), static_cast<unsigned long>(dwDataLen), P(hPubKey),
               static_cast<unsigned long>(dwFlags), static_cast<void *>(phKey));
    return RunKeyEntry("CPImportKey", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.ImportKey(ctx, pbData, dwDataLen, hPubKey, dwFlags, phKey, &error);
                       });
}

// Encrypts in the Microsoft context; a card key encrypts with its
// certificate's public key.
extern "C" BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                 DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen, DWORD dwBufLen)
{
    char args[192];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, %d, 0x%08lx, 0x%p, 0x%p, %lu", P(hProv), P(hKey),
               P(hHash), int(Final), static_cast<unsigned long>(dwFlags), static_cast<void *>(pbData),
               static_cast<void *>(pdwDataLen), static_cast<unsigned long>(dwBufLen));
    return RunWithMicrosoftKey(
        "CPEncrypt", args, hProv, hKey, KeyUse::PublicKey, true, [&](HCRYPTPROV, HCRYPTKEY key) {
            return CryptEncrypt(key, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
        });
}

// Decrypts: with the card's exchange key on the card (final block, no flags;
// the plaintext also hashed into hHash when given), others in the Microsoft
// context. Failures: ERROR_INVALID_PARAMETER, NTE_BAD_DATA, NTE_BAD_KEY (the
// card's signature key), CryptHashData's, CryptDecrypt's.
extern "C" BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                 DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    char args[192];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, %d, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hKey), P(hHash),
               int(Final), static_cast<unsigned long>(dwFlags), static_cast<void *>(pbData),
               static_cast<void *>(pdwDataLen));
    return RunKeyEntry(
        "CPDecrypt", args, hProv, [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
            return keys.DecryptWith(ctx, hKey, hHash, Final, dwFlags, pbData, pdwDataLen, &error);
        });
}

// Creates a hash in the Microsoft context.
//   phHash  NULL: ERROR_INVALID_PARAMETER
// Failures: NTE_BAD_KEY for a card key (a keyed hash needs a session key);
// CryptCreateHash's.
extern "C" BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                    HCRYPTHASH *phHash)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%08x, 0x%p, 0x%08lx, 0x%p", P(hProv), unsigned(Algid), P(hKey),
               static_cast<unsigned long>(dwFlags), static_cast<void *>(phHash));
    return RunWithMicrosoftKey(
        "CPCreateHash", args, hProv, hKey, KeyUse::Any, phHash != nullptr,
        [&](HCRYPTPROV ms, HCRYPTKEY key) { return CryptCreateHash(ms, Algid, key, dwFlags, phHash); });
}

// Hashes data in the Microsoft context.
extern "C" BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen,
                                  DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, %lu, 0x%08lx", P(hProv), P(hHash),
               static_cast<const void *>(pbData), static_cast<unsigned long>(dwDataLen),
               static_cast<unsigned long>(dwFlags));
    return RunEntry("CPHashData", args, hProv, [&](HandleContainer *, DWORD &error) {
        return PassThrough(error, [&] { return CryptHashData(hHash, pbData, dwDataLen, dwFlags); });
    });
}

// Hashes a session key in the Microsoft context. NTE_BAD_KEY for a card key.
extern "C" BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash), P(hKey),
               static_cast<unsigned long>(dwFlags));
    return RunWithMicrosoftKey(
        "CPHashSessionKey", args, hProv, hKey, KeyUse::Any, true,
        [&](HCRYPTPROV, HCRYPTKEY key) { return CryptHashSessionKey(hHash, key, dwFlags); });
}

// Signs a hash with a card key.
//   pbSignature NULL: the signature's length; short: ERROR_MORE_DATA with it
// Failures: NTE_NO_KEY, NTE_INVALID_PARAMETER, NTE_BAD_HASH, NTE_BAD_ALGID, NTE_FAIL.
extern "C" BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                  DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen)
{
    char args[160];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, %lu, 0x%p, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hHash),
               static_cast<unsigned long>(dwKeySpec), static_cast<const void *>(szDescription),
               static_cast<unsigned long>(dwFlags), static_cast<void *>(pbSignature),
               static_cast<void *>(pdwSigLen));
    return RunKeyEntry("CPSignHash", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.SignHash(ctx, hHash, dwKeySpec, szDescription, dwFlags, pbSignature,
                                                pdwSigLen, &error);
                       });
}

// Destroys a hash of the Microsoft context.
extern "C" BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    char args[64];
    FormatArgs(args, sizeof args, "0x%p, 0x%p", P(hProv), P(hHash));
    return RunEntry("CPDestroyHash", args, hProv, [&](HandleContainer *, DWORD &error) {
        return PassThrough(error, [&] { return CryptDestroyHash(hHash); });
    });
}

// Verifies a signature in the Microsoft context; a card key verifies with
// its certificate's public key.
extern "C" BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbSignature,
                                         DWORD dwSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                                         DWORD dwFlags)
{
    char args[192];
    FormatArgs(args, sizeof args, "0x%p, 0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash),
               static_cast<const void *>(pbSignature), static_cast<unsigned long>(dwSigLen), P(hPubKey),
               static_cast<const void *>(szDescription), static_cast<unsigned long>(dwFlags));
    return RunWithMicrosoftKey(
        "CPVerifySignature", args, hProv, hPubKey, KeyUse::PublicKey, true, [&](HCRYPTPROV, HCRYPTKEY key) {
            return CryptVerifySignatureW(hHash, pbSignature, dwSigLen, key, szDescription, dwFlags);
        });
}

// Random bytes from a Microsoft context of its own ("randomKey", created on
// first use and kept), released before returning.
extern "C" BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer)
{
    char args[96];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p", P(hProv), static_cast<unsigned long>(dwLen),
               static_cast<void *>(pbBuffer));
    return RunEntry("CPGenRandom", args, hProv, [&](HandleContainer *, DWORD &error) {
        return csp::keys::GenRandomFromOwnContext(dwLen, pbBuffer, &error);
    });
}

// The key handle of a card key spec.
//   phUserKey  out (NULL: ERROR_INVALID_PARAMETER)
// Failures: NTE_FAIL (no card container), NTE_NO_KEY (another key spec, a
// key the card does not have).
extern "C" BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey)
{
    char args[96];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p", P(hProv), static_cast<unsigned long>(dwKeySpec),
               static_cast<void *>(phUserKey));
    return RunKeyEntry("CPGetUserKey", args, hProv,
                       [&](ContainerKeys &keys, const KeyContext &ctx, DWORD &error) {
                           return keys.GetUserKey(ctx, dwKeySpec, phUserKey, &error);
                       });
}
