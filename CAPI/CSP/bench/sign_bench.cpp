// Benchmark (a program, not a test): one signature as a CryptoAPI application
// makes it (acquire + hash + sign + release on the provider) against the card's
// own C_SignInit + C_Sign on the same software card, as a ratio measured in one
// run, at 0 ms and at 30 ms per card call; the PKCS#11 calls of each path from
// the card's call log; and the same signature on Wine's Microsoft provider with
// a software key. Every signature is checked against its public key (outside
// the timed part); a path with failures shows how many instead of a time, and
// the program then ends with exit code 1.
//   sign_bench.exe [ITERATIONS]     (the Wine prefix must be started)
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
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
using Bytes = std::vector<BYTE>;
const char kProvider[] = "Ovrane Cryptographic Provider";
const char kSoftContainer[] = "vel-sign-bench";
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
const BYTE kDirectHash[32] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                              0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                              0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};

// A signature and what it cost; error is the last error or the CK_RV of a failure.
struct Signed {
    bool ok = false;
    unsigned long error = 0;
    Bytes signature; // CryptoAPI's little-endian order
};

// The card's own signature: DigestInfo of a SHA-256 value signed with CKM_RSA_PKCS.
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
        const CK_RV login = f->C_Login(session, CKU_USER, (CK_UTF8CHAR *)"1234", 4);
        if (login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN)
            return false;
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof(cls)};
        count = 0;
        if (f->C_FindObjectsInit(session, &t, 1) != CKR_OK)
            return false;
        const CK_RV found = f->C_FindObjects(session, &key, 1, &count);
        f->C_FindObjectsFinal(session);
        return found == CKR_OK && count == 1;
    }
    Signed Sign()
    {
        static const BYTE prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        BYTE info[19 + 32] = {};
        memcpy(info, prefix, sizeof(prefix));
        memcpy(info + 19, kDirectHash, sizeof kDirectHash); // the hash is computed off the card on both paths
        CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
        Signed s;
        s.signature.resize(512);
        CK_ULONG len = static_cast<CK_ULONG>(s.signature.size());
        CK_RV rv = f->C_SignInit(session, &mech, key);
        if (rv == CKR_OK)
            rv = f->C_Sign(session, info, sizeof(info), s.signature.data(), &len);
        s.ok = rv == CKR_OK;
        s.error = rv;
        s.signature.resize(s.ok ? len : 0);
        std::reverse(s.signature.begin(), s.signature.end());
        return s;
    }
    void Close()
    {
        if (f)
            f->C_CloseSession(session);
    }
};

Signed SignOnce(const char *provider, DWORD type, const char *container, DWORD keySpec)
{
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    Signed s;
    s.signature.resize(512);
    DWORD len = static_cast<DWORD>(s.signature.size());
    s.ok = CryptAcquireContextA(&prov, container, provider, type, 0) &&
           CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) && CryptHashData(hash, kData, sizeof(kData), 0) &&
           CryptSignHashA(hash, keySpec, nullptr, 0, s.signature.data(), &len);
    s.error = s.ok ? 0 : GetLastError();
    s.signature.resize(s.ok ? len : 0);
    if (hash)
        CryptDestroyHash(hash);
    if (prov && !CryptReleaseContext(prov, 0) && s.ok) {
        s.ok = false;
        s.error = GetLastError();
    }
    return s;
}

// The Microsoft provider's signature key of the comparison, made when
// missing on a context released at once: Wine's other contexts of a
// container see a key only once the context that made it is gone, so a key
// made on a context kept open fails every signature with NTE_NO_KEY.
// Its PUBLICKEYBLOB, or nothing.
Bytes SoftKeyPublicBlob()
{
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, kSoftContainer, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0) &&
        !CryptAcquireContextA(&p, kSoftContainer, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_NEWKEYSET))
        return {};
    HCRYPTKEY key = 0;
    DWORD bits = 0, size = sizeof bits;
    if (CryptGetUserKey(p, AT_SIGNATURE, &key) &&
        (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&bits), &size, 0) || bits != 2048)) {
        CryptDestroyKey(key);
        key = 0;
    }
    if (!key)
        CryptGenKey(p, AT_SIGNATURE, 2048 << 16, &key);
    Bytes blob;
    size = 0;
    if (key && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        blob.resize(size);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
            blob.clear();
    }
    if (key)
        CryptDestroyKey(key);
    CryptReleaseContext(p, 0);
    return blob;
}

// A card key's PUBLICKEYBLOB through the provider.
Bytes CardPublicBlob(HCRYPTPROV card, DWORD keySpec)
{
    HCRYPTKEY key = 0;
    Bytes blob;
    DWORD size = 0;
    if (CryptGetUserKey(card, keySpec, &key) && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        blob.resize(size);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
            blob.clear();
    }
    if (key)
        CryptDestroyKey(key);
    return blob;
}

// Checks signatures in a verification context of the Microsoft provider.
class Checker {
public:
    bool Open()
    {
        return CryptAcquireContextA(&prov_, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT);
    }
    ~Checker()
    {
        for (HCRYPTKEY k : keys_)
            CryptDestroyKey(k);
        if (prov_)
            CryptReleaseContext(prov_, 0);
    }
    // A public key to check with; 0 when the blob does not import.
    HCRYPTKEY Import(const Bytes &blob)
    {
        HCRYPTKEY k = 0;
        if (blob.empty() || !CryptImportKey(prov_, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k))
            return 0;
        keys_.push_back(k);
        return k;
    }
    // The signature over SHA-256 of data (or of the given hash value) verifies with key.
    bool Verifies(HCRYPTKEY key, const Bytes &signature, const BYTE *hashValue = nullptr)
    {
        HCRYPTHASH h = 0;
        bool ok =
            key && !signature.empty() && CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &h) &&
            (hashValue ? CryptSetHashParam(h, HP_HASHVAL, hashValue, 0)
                       : CryptHashData(h, kData, sizeof(kData), 0)) &&
            CryptVerifySignatureA(h, signature.data(), static_cast<DWORD>(signature.size()), key, nullptr, 0);
        if (h)
            CryptDestroyHash(h);
        return ok;
    }

private:
    HCRYPTPROV prov_ = 0;
    std::vector<HCRYPTKEY> keys_;
};

// One path's signatures: time of those that succeeded, failures counted.
struct Tally {
    int made = 0, failed = 0;
    unsigned long firstError = 0;
    double seconds = 0;

    void Add(double s, bool ok, unsigned long error)
    {
        ++made;
        if (ok) {
            seconds += s;
            return;
        }
        if (!failed++)
            firstError = error;
    }
    bool Clean() const { return made > 0 && failed == 0; }
    // "2.31 ms", or the failures: a failed signature is no timing.
    std::string Text() const
    {
        char text[96];
        if (Clean())
            std::snprintf(text, sizeof text, "%.2f ms", 1000 * seconds / made);
        else
            std::snprintf(text, sizeof text, "FAILED %d of %d (first error 0x%08lx)", failed, made,
                          firstError);
        return text;
    }
};

// A signature made and checked: false (and said once) when either went wrong.
bool Check(const char *path, const Signed &s, bool verified, int *failures)
{
    if (s.ok && verified)
        return true;
    if (!*failures)
        std::printf("%s: %s (0x%08lx)\n", path, s.ok ? "signature does not verify" : "signature failed",
                    s.error);
    ++*failures;
    return false;
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

    const Bytes softBlob = SoftKeyPublicBlob();
    if (softBlob.empty()) {
        std::printf("no Microsoft signature key: 0x%08lx\n", GetLastError());
        return 1;
    }

    // One context held for the whole run keeps the card's login, as a running
    // application's does; each measured signature acquires and releases its own.
    HCRYPTPROV anchor = 0;
    if (!CryptAcquireContextA(&anchor, "DEFAULT_CONTAINER", kProvider, PROV_RSA_FULL, 0) ||
        !CryptSetProvParam(anchor, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0)) {
        std::printf("no card context: 0x%08lx\n", GetLastError());
        return 1;
    }
    Checker checker;
    HCRYPTKEY softKey = 0, cardSign = 0, cardExchange = 0;
    if (!checker.Open() || !(softKey = checker.Import(softBlob)) ||
        !(cardSign = checker.Import(CardPublicBlob(anchor, AT_SIGNATURE))) ||
        !(cardExchange = checker.Import(CardPublicBlob(anchor, AT_KEYEXCHANGE)))) {
        std::printf("no public keys to check the signatures with: 0x%08lx\n", GetLastError());
        return 1;
    }
    Direct direct;
    if (!direct.Open()) {
        std::printf("no direct session on the card\n");
        return 1;
    }
    // The direct path signs with the first private key the card lists.
    const auto directVerifies = [&](const Signed &s) {
        return checker.Verifies(cardSign, s.signature, kDirectHash) ||
               checker.Verifies(cardExchange, s.signature, kDirectHash);
    };
    int failures = 0;
    const auto checkDirect = [&](const Signed &s) {
        return Check("direct", s, directVerifies(s), &failures);
    };
    const auto checkCapi = [&](const Signed &s) {
        return Check("CryptoAPI on the card", s, checker.Verifies(cardSign, s.signature), &failures);
    };
    const auto checkSoft = [&](const Signed &s) {
        return Check("Microsoft provider", s, checker.Verifies(softKey, s.signature), &failures);
    };

    // One signature on each path first: the card's private key is looked up
    // once per context, then kept.
    Card("log on");
    softcard_test::removeFile(statePath + ".log");
    checkDirect(direct.Sign());
    const auto directFirst = CountedCalls();
    checkCapi(SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE));
    const auto capiFirst = CountedCalls();
    PrintCalls("the first signature, direct", directFirst, 1);
    PrintCalls("the first signature, CryptoAPI", capiFirst, 1);
    for (int i = 0; i < n; ++i)
        checkDirect(direct.Sign());
    PrintCalls("each later signature, direct", CountedCalls(), n);
    for (int i = 0; i < n; ++i)
        checkCapi(SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE));
    PrintCalls("each later signature, CryptoAPI", CountedCalls(), n);
    Card("log off");
    checkSoft(SignOnce(MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, kSoftContainer, AT_SIGNATURE));

    // The paths take turns, so that any drift of the machine falls on both.
    std::printf("%d signatures (RSA-2048, SHA-256) per path, each one checked\n", n);
    for (int latency : {0, 30}) {
        Card("latency " + std::to_string(latency));
        Tally tDirect, tCapi, tSoft;
        for (int i = 0; i < n; ++i) {
            auto t0 = Clock::now();
            Signed s = direct.Sign();
            double took = Seconds(t0);
            tDirect.Add(took, checkDirect(s), s.error);
            t0 = Clock::now();
            s = SignOnce(kProvider, PROV_RSA_FULL, "DEFAULT_CONTAINER", AT_SIGNATURE);
            took = Seconds(t0);
            tCapi.Add(took, checkCapi(s), s.error);
            t0 = Clock::now();
            s = SignOnce(MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, kSoftContainer, AT_SIGNATURE);
            took = Seconds(t0);
            tSoft.Add(took, checkSoft(s), s.error);
        }
        std::printf("latency %2d ms: direct C_Sign %s, CryptoAPI on the card %s", latency,
                    tDirect.Text().c_str(), tCapi.Text().c_str());
        if (tDirect.Clean() && tCapi.Clean())
            std::printf(", ratio %.3f", tCapi.seconds / tDirect.seconds);
        std::printf("; Microsoft provider, software key %s\n", tSoft.Text().c_str());
    }
    Card("latency 0");
    direct.Close();
    CryptReleaseContext(anchor, 0);
    if (failures) {
        std::printf("%d signatures failed or did not verify\n", failures);
        return 1;
    }
    std::printf("every signature made and verified\n");
    return 0;
}
