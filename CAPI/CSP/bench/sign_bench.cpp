// Benchmark (a program, not a test): one signature as a CryptoAPI application
// makes it (acquire + hash + sign + release on the provider) against the card's
// own C_SignInit + C_Sign on the same software card, as a ratio measured in one
// run, at 0 ms and at 30 ms per card call; the PKCS#11 calls of each path from
// the card's call log; and the same signature on Wine's Microsoft provider with
// a software key.
//   sign_bench.exe [ITERATIONS]     (the Wine prefix must be started)
#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pkcs11.h"
#include "loaded_library.h"

#ifndef PROVIDER_DLL
#error PROVIDER_DLL must name the provider library
#endif

namespace {

using Clock = std::chrono::steady_clock;
const char kProvider[] = "Ovrane Cryptographic Provider";
std::string statePath;

int Card(const std::string &args)
{
    return softcard_test::control(args);
}

// PKCS#11 functions called since the log was last emptied, with their counts.
std::map<std::string, int> CountedCalls()
{
    std::map<std::string, int> calls;
    const std::string log = softcard_test::readFile(statePath + ".log");
    for (size_t at = log.find("] "); at != std::string::npos; at = log.find("] ", at + 1)) {
        const size_t open = log.find('(', at);
        if (open != std::string::npos)
            ++calls[log.substr(at + 2, open - at - 2)];
    }
    softcard_test::removeFile(statePath + ".log");
    return calls;
}

void PrintCalls(const char *path, const std::map<std::string, int> &calls, int n)
{
    std::printf("PKCS#11 calls of %s:", path);
    for (const auto &c : calls)
        std::printf(" %s %.2g", c.first.c_str(), double(c.second) / n);
    std::printf("\n");
}

double Seconds(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const BYTE kData[] = "Ordonnance du 10 decembre";

// The card's own signature: DigestInfo of SHA-256 signed with CKM_RSA_PKCS.
struct Direct {
    CK_FUNCTION_LIST *f = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;

    bool Open()
    {
        HMODULE m = LoadLibraryA("vel3_pkcs11_w" VEL_ARCH ".dll");
        auto get = m ? reinterpret_cast<CK_C_GetFunctionList>(
                           reinterpret_cast<void *>(GetProcAddress(m, "C_GetFunctionList")))
                     : nullptr;
        if (!get || get(&f) != CKR_OK)
            return false;
        // The provider in this process has initialised the library already.
        const CK_RV rv = f->C_Initialize(nullptr);
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
            return false;
        CK_SLOT_ID slots[4];
        CK_ULONG count = 4;
        if (f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK || count == 0 ||
            f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
            return false;
        f->C_Login(session, CKU_USER, (CK_UTF8CHAR *)"1234", 4);
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof(cls)};
        f->C_FindObjectsInit(session, &t, 1);
        f->C_FindObjects(session, &key, 1, &count);
        f->C_FindObjectsFinal(session);
        return count == 1;
    }
    bool Sign()
    {
        static const BYTE prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        BYTE info[19 + 32] = {};
        memcpy(info, prefix, sizeof(prefix));
        memset(info + 19, 0x5A, 32); // the hash is computed off the card on both paths
        CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
        BYTE sig[512];
        CK_ULONG len = sizeof(sig);
        return f->C_SignInit(session, &mech, key) == CKR_OK &&
               f->C_Sign(session, info, sizeof(info), sig, &len) == CKR_OK;
    }
    void Close()
    {
        if (f)
            f->C_CloseSession(session);
    }
};

bool SignOnce(const char *provider, DWORD type, const char *container, DWORD keySpec)
{
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    BYTE sig[512];
    DWORD len = sizeof(sig);
    bool ok = CryptAcquireContextA(&prov, container, provider, type, 0) &&
              CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, kData, sizeof(kData), 0) &&
              CryptSignHashA(hash, keySpec, nullptr, 0, sig, &len);
    if (hash)
        CryptDestroyHash(hash);
    if (prov)
        CryptReleaseContext(prov, 0);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 20;
    statePath = softcard_test::usePrivateState("sign-bench");

    std::string providerPath = PROVIDER_DLL;
    for (char &c : providerPath)
        if (c == '/')
            c = '\\';
    HMODULE csp = LoadLibraryA(providerPath.c_str());
    auto reg = csp ? reinterpret_cast<HRESULT(WINAPI *)()>(
                         reinterpret_cast<void *>(GetProcAddress(csp, "DllRegisterServer")))
                   : nullptr;
    if (!reg || reg() != S_OK) {
        std::printf("the provider %s cannot be registered\n", PROVIDER_DLL);
        return 1;
    }

    // The Microsoft provider's own key for the comparison.
    const char kSoftContainer[] = "vel-sign-bench";
    HCRYPTPROV soft = 0;
    HCRYPTKEY softKey = 0;
    if (!CryptAcquireContextA(&soft, kSoftContainer, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0) &&
        !CryptAcquireContextA(&soft, kSoftContainer, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_NEWKEYSET))
        return 1;
    CryptGenKey(soft, AT_SIGNATURE, 2048 << 16, &softKey);
    CryptDestroyKey(softKey);

    // One context held for the whole run keeps the card's login, as a running
    // application's does; each measured signature acquires and releases its own.
    HCRYPTPROV anchor = 0;
    if (!CryptAcquireContextA(&anchor, "DEFAULT_CONTAINER", kProvider, PROV_RSA_FULL, 0) ||
        !CryptSetProvParam(anchor, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0)) {
        std::printf("no card context: 0x%08lx\n", GetLastError());
        return 1;
    }
    Direct direct;
    if (!direct.Open()) {
        std::printf("no direct session on the card\n");
        return 1;
    }

    // One signature on each path first: the card's private key is looked up
    // once per context, then kept.
    Card("log on");
    softcard_test::removeFile(statePath + ".log");
    direct.Sign();
    const auto directFirst = CountedCalls();
    SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE);
    const auto capiFirst = CountedCalls();
    PrintCalls("the first signature, direct", directFirst, 1);
    PrintCalls("the first signature, CryptoAPI", capiFirst, 1);
    for (int i = 0; i < n; ++i)
        direct.Sign();
    PrintCalls("each later signature, direct", CountedCalls(), n);
    for (int i = 0; i < n; ++i)
        SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE);
    PrintCalls("each later signature, CryptoAPI", CountedCalls(), n);
    Card("log off");

    // The paths take turns, so that any drift of the machine falls on both.
    std::printf("%d signatures (RSA-2048, SHA-256) per path\n", n);
    for (int latency : {0, 30}) {
        Card("latency " + std::to_string(latency));
        double tDirect = 0, tCapi = 0, tSoft = 0;
        for (int i = 0; i < n; ++i) {
            auto t0 = Clock::now();
            if (!direct.Sign())
                std::printf("direct signature failed\n");
            tDirect += Seconds(t0);
            t0 = Clock::now();
            if (!SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE))
                std::printf("CryptoAPI signature failed: 0x%08lx\n", GetLastError());
            tCapi += Seconds(t0);
            t0 = Clock::now();
            SignOnce(MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, kSoftContainer, AT_SIGNATURE);
            tSoft += Seconds(t0);
        }
        std::printf("latency %2d ms: direct C_Sign %.2f ms, CryptoAPI on the card %.2f ms, ratio %.3f; "
                    "Microsoft provider, software key %.2f ms\n",
                    latency, 1000 * tDirect / n, 1000 * tCapi / n, tCapi / tDirect, 1000 * tSoft / n);
    }
    Card("latency 0");
    direct.Close();
    CryptReleaseContext(anchor, 0);
    CryptReleaseContext(soft, 0);
    return 0;
}
