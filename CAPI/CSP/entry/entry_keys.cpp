// The exported key, hash and parameter entry points. Each one only checks its
// handle, dispatches and catches: hashing, symmetric keys and public-key work
// go to the context's Microsoft provider; the card's own keys (whose handles
// are the card's certificate object handles) are not served here yet.
#include <windows.h>
#include <wincrypt.h>

#include "entry_guard.h"
#include "handle_container.h"

namespace {

// True when hKey is one of the card's key handles in this context.
bool IsCardKey(HandleContainer *hc, HCRYPTKEY hKey)
{
    const PKCSContainer *c = hc->m_pCurrentContainer;
    return c && hKey && (hKey == c->m_hCertExchange || hKey == c->m_hCertSignature);
}

} // namespace

#define ARGS(...) \
    char args[192]; \
    FormatArgs(args, sizeof args, __VA_ARGS__)
#define P(x) reinterpret_cast<const void *>(x)
#define U(x) static_cast<unsigned long>(x)

// Generates a key on the Microsoft context.
extern "C" BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    ARGS("0x%p, 0x%08lx, 0x%08lx, 0x%p", P(hProv), U(Algid), U(dwFlags), P(phKey));
    return RunEntry("CPGenKey", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        return PassThrough(e, [&] { return CryptGenKey(hc->m_hMSProv, Algid, dwFlags, phKey); });
    });
}

// Never supported: E_NOTIMPL.
extern "C" BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY *phKey)
{
    ARGS("0x%p, 0x%08lx, 0x%p, 0x%08lx, 0x%p", P(hProv), U(Algid), P(hBaseData), U(dwFlags), P(phKey));
    return RunEntry("CPDeriveKey", args, hProv, [&](HandleContainer *, DWORD &e) {
        e = static_cast<DWORD>(E_NOTIMPL);
        return FALSE;
    });
}

// Card key handles: nothing to destroy; others: CryptDestroyKey.
extern "C" BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    ARGS("0x%p, 0x%p", P(hProv), P(hKey));
    return RunEntry("CPDestroyKey", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey))
            return TRUE;
        return PassThrough(e, [&] { return CryptDestroyKey(hKey); });
    });
}

extern "C" BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%08lx", P(hProv), P(hKey), U(dwParam), P(pbData), U(dwFlags));
    return RunEntry("CPSetKeyParam", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptSetKeyParam(hKey, dwParam, pbData, dwFlags); });
    });
}

extern "C" BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                     DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hKey), U(dwParam), P(pbData), P(pdwDataLen), U(dwFlags));
    return RunEntry("CPGetKeyParam", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags); });
    });
}

// Provider parameters (see HandleContainer::GetProvParam).
//   pdwDataLen NULL: ERROR_INVALID_PARAMETER; short buffer: ERROR_MORE_DATA
extern "C" BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p, 0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
               static_cast<unsigned long>(dwParam), static_cast<void *>(pbData), static_cast<void *>(pdwDataLen),
               static_cast<unsigned long>(dwFlags));
    _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "log_prov_param", 0, FALSE, "Looking For : %lu", static_cast<unsigned long>(dwParam));
    return RunEntry("CPGetProvParam", args, hProv, [&](HandleContainer *hc, DWORD &error) {
        const BOOL ok = hc->GetProvParam(dwParam, pbData, pdwDataLen, dwFlags, &error);
        if (ok && !pbData && !error)
            SetLastError(0);   // a size answer
        return ok;
    });
}

// Takes a PIN (PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN: exactly four digits).
//   Failures: NTE_BAD_TYPE, NTE_BAD_KEYSET, SCARD_E_INVALID_CHV,
//   SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, NTE_FAIL
extern "C" BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    char args[128];
    FormatArgs(args, sizeof args, "0x%p, %lu, 0x%p, 0x%08lx", reinterpret_cast<void *>(hProv),
               static_cast<unsigned long>(dwParam), static_cast<const void *>(pbData), static_cast<unsigned long>(dwFlags));
    return RunEntry("CPSetProvParam", args, hProv, [&](HandleContainer *hc, DWORD &error) {
        return hc->SetProvParam(dwParam, pbData, dwFlags, &error);
    });
}

extern "C" BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%08lx", P(hProv), P(hHash), U(dwParam), P(pbData), U(dwFlags));
    return RunEntry("CPSetHashParam", args, hProv, [&](HandleContainer *, DWORD &e) {
        return PassThrough(e, [&] { return CryptSetHashParam(hHash, dwParam, pbData, dwFlags); });
    });
}

extern "C" BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                      DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash), U(dwParam), P(pbData), P(pdwDataLen), U(dwFlags));
    return RunEntry("CPGetHashParam", args, hProv, [&](HandleContainer *, DWORD &e) {
        return PassThrough(e, [&] { return CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags); });
    });
}

extern "C" BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                                   BYTE *pbData, DWORD *pdwDataLen)
{
    ARGS("0x%p, 0x%p, 0x%p, %lu, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hKey), P(hPubKey), U(dwBlobType), U(dwFlags), P(pbData),
         P(pdwDataLen));
    return RunEntry("CPExportKey", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey) || IsCardKey(hc, hPubKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptExportKey(hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen); });
    });
}

extern "C" BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                                   HCRYPTKEY *phKey)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%08lx, 0x%p", P(hProv), P(pbData), U(dwDataLen), P(hPubKey), U(dwFlags), P(phKey));
    return RunEntry("CPImportKey", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hPubKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptImportKey(hc->m_hMSProv, pbData, dwDataLen, hPubKey, dwFlags, phKey); });
    });
}

extern "C" BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                 DWORD *pdwDataLen, DWORD dwBufLen)
{
    ARGS("0x%p, 0x%p, 0x%p, %d, 0x%08lx, 0x%p, 0x%p, %lu", P(hProv), P(hKey), P(hHash), Final, U(dwFlags), P(pbData),
         P(pdwDataLen), U(dwBufLen));
    return RunEntry("CPEncrypt", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptEncrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen); });
    });
}

extern "C" BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                 DWORD *pdwDataLen)
{
    ARGS("0x%p, 0x%p, 0x%p, %d, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hKey), P(hHash), Final, U(dwFlags), P(pbData),
         P(pdwDataLen));
    return RunEntry("CPDecrypt", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptDecrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen); });
    });
}

extern "C" BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash)
{
    ARGS("0x%p, 0x%08lx, 0x%p, 0x%08lx, 0x%p", P(hProv), U(Algid), P(hKey), U(dwFlags), P(phHash));
    return RunEntry("CPCreateHash", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        return PassThrough(e, [&] { return CryptCreateHash(hc->m_hMSProv, Algid, hKey, dwFlags, phHash); });
    });
}

extern "C" BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, 0x%p, %lu, 0x%08lx", P(hProv), P(hHash), P(pbData), U(dwDataLen), U(dwFlags));
    return RunEntry("CPHashData", args, hProv, [&](HandleContainer *, DWORD &e) {
        return PassThrough(e, [&] { return CryptHashData(hHash, pbData, dwDataLen, dwFlags); });
    });
}

extern "C" BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash), P(hKey), U(dwFlags));
    return RunEntry("CPHashSessionKey", args, hProv, [&](HandleContainer *, DWORD &e) {
        return PassThrough(e, [&] { return CryptHashSessionKey(hHash, hKey, dwFlags); });
    });
}

// Signing with the card's keys is not served yet: NTE_NO_KEY.
extern "C" BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                                  BYTE *pbSignature, DWORD *pdwSigLen)
{
    ARGS("0x%p, 0x%p, %lu, 0x%p, 0x%08lx, 0x%p, 0x%p", P(hProv), P(hHash), U(dwKeySpec), P(szDescription), U(dwFlags),
         P(pbSignature), P(pdwSigLen));
    return RunEntry("CPSignHash", args, hProv, [&](HandleContainer *, DWORD &e) {
        e = static_cast<DWORD>(NTE_NO_KEY);
        return FALSE;
    });
}

extern "C" BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    ARGS("0x%p, 0x%p", P(hProv), P(hHash));
    return RunEntry("CPDestroyHash", args, hProv, [&](HandleContainer *, DWORD &e) {
        return PassThrough(e, [&] { return CryptDestroyHash(hHash); });
    });
}

extern "C" BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                         HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags)
{
    ARGS("0x%p, 0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", P(hProv), P(hHash), P(pbSignature), U(dwSigLen), P(hPubKey),
         P(szDescription), U(dwFlags));
    return RunEntry("CPVerifySignature", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        if (IsCardKey(hc, hPubKey)) {
            e = static_cast<DWORD>(NTE_BAD_KEY);
            return FALSE;
        }
        return PassThrough(e, [&] { return CryptVerifySignatureA(hHash, pbSignature, dwSigLen, hPubKey, nullptr, dwFlags); });
    });
}

extern "C" BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer)
{
    ARGS("0x%p, %lu, 0x%p", P(hProv), U(dwLen), P(pbBuffer));
    return RunEntry("CPGenRandom", args, hProv, [&](HandleContainer *hc, DWORD &e) {
        return PassThrough(e, [&] { return CryptGenRandom(hc->m_hMSProv, dwLen, pbBuffer); });
    });
}

// The card's user keys are not served yet: NTE_NO_KEY.
extern "C" BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey)
{
    ARGS("0x%p, %lu, 0x%p", P(hProv), U(dwKeySpec), P(phUserKey));
    return RunEntry("CPGetUserKey", args, hProv, [&](HandleContainer *, DWORD &e) {
        e = static_cast<DWORD>(NTE_NO_KEY);
        return FALSE;
    });
}
