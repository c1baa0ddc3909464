// Benchmark of the software card, as a caller sees it through the function
// list: RSA signature and decryption times at latency 0, the Windows
// provider's own software RSA-2048 signature beside them (Windows builds),
// and how long a short call waits while four threads sign.
//
//   softcard_bench [library] [count]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "builtin_cards.h"
#include "card.h"
#include "rsa.h"
#include "state.h"

#if defined(_WIN32)
#include <windows.h>
#include <wincrypt.h>
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#endif

#include "pkcs11.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0, int n = 1)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / n;
}

// Processor time of this process in milliseconds: on a busy machine the
// elapsed time says more about the other programs than about the code
// (openssl speed reports processor time too).
double cpuMs()
{
#if defined(_WIN32)
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME &t) { return ((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4; };
    return ms(kernel) + ms(user);
#else
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
#endif
}

// Elapsed and processor milliseconds per operation of a loop.
struct Timing {
    double wall, cpu;
};

template <class Body> Timing timed(int n, Body body)
{
    auto t0 = Clock::now();
    double c0 = cpuMs();
    for (int i = 0; i < n; ++i)
        body();
    return Timing{msSince(t0, n), (cpuMs() - c0) / n};
}

CK_FUNCTION_LIST *load(const char *file)
{
#if defined(_WIN32)
    HMODULE m = LoadLibraryA(file);
    void *sym = m ? reinterpret_cast<void *>(GetProcAddress(m, "C_GetFunctionList")) : nullptr;
#else
    void *m = dlopen(file, RTLD_NOW);
    void *sym = m ? dlsym(m, "C_GetFunctionList") : nullptr;
#endif
    CK_FUNCTION_LIST *list = nullptr;
    if (!sym || reinterpret_cast<CK_C_GetFunctionList>(sym)(&list) != CKR_OK)
        return nullptr;
    return list;
}

// The state the benchmark runs on: the default card (2048 bits) in slot 1,
// the 1024-bit card in slot 2, the given latency.
bool writeState(const std::string &path, unsigned latencyMs)
{
    softcard::State s = softcard::defaultState();
    s.latencyMs = latencyMs;
    s.readers.push_back(softcard::Reader{2, "Lecteur 1024"});
    softcard::PlacedCard pc;
    std::string error;
    pc.name = "vel3-1024";
    pc.reader = "Lecteur 1024";
    pc.insertion = s.nextInsertion++;
    if (!softcard::parseCard(softcard::findBuiltinCard("vel3-1024")->image, pc.card, error))
        return false;
    s.cards.push_back(pc);
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::string text = softcard::stateToText(s);
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fclose(out) == 0;
}

CK_OBJECT_HANDLE findKey(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE h, CK_OBJECT_CLASS cls)
{
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof(cls)};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG count = 0;
    f->C_FindObjectsInit(h, &t, 1);
    f->C_FindObjects(h, &key, 1, &count);
    f->C_FindObjectsFinal(h);
    return count ? key : 0;
}

// A logged-in session on slot and its first private key.
bool openSigner(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, CK_SESSION_HANDLE &h, CK_OBJECT_HANDLE &key)
{
    if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
        return false;
    CK_RV rv = f->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4);
    key = findKey(f, h, CKO_PRIVATE_KEY);
    return (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) && key;
}

CK_RV signOnce(CK_FUNCTION_LIST *f, CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key)
{
    CK_MECHANISM sha = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[32], sig[512];
    std::memset(data, 0x42, sizeof(data));
    CK_ULONG len = sizeof(sig);
    CK_RV rv = f->C_SignInit(h, &sha, key);
    return rv == CKR_OK ? f->C_Sign(h, data, sizeof(data), sig, &len) : rv;
}

// Signs and decrypts n times with the first private key of the card in slot;
// returns the signature's times.
Timing measure(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, const char *what, int n)
{
    CK_SESSION_HANDLE h;
    CK_OBJECT_HANDLE key;
    if (!openSigner(f, slot, h, key)) {
        std::printf("%s: no session\n", what);
        return Timing{0, 0};
    }
    CK_ULONG bits = 0;
    CK_ATTRIBUTE b = {CKA_MODULUS_BITS, &bits, sizeof(bits)};
    f->C_GetAttributeValue(h, key, &b, 1);
    signOnce(f, h, key); // warm-up
    Timing sign = timed(n, [&] { signOnce(f, h, key); });

    // A ciphertext for the key, made here with its public half.
    CK_OBJECT_HANDLE pub = findKey(f, h, CKO_PUBLIC_KEY);
    std::vector<CK_BYTE> mod(512), exp(8), plain(512);
    CK_ATTRIBUTE ma[2] = {{CKA_MODULUS, mod.data(), (CK_ULONG)mod.size()},
                          {CKA_PUBLIC_EXPONENT, exp.data(), 8}};
    f->C_GetAttributeValue(h, pub, ma, 2);
    softcard::RsaPublicKey pk{softcard::BigNum::fromBytes(mod.data(), ma[0].ulValueLen),
                              softcard::BigNum::fromBytes(exp.data(), ma[1].ulValueLen)};
    softcard::Bytes block, enc;
    softcard::pkcs1PadEncrypt(softcard::Bytes(16, 7), pk.size(), softcard::Bytes(pk.size(), 0x33), block);
    softcard::rsaPublic(pk, block, enc);
    CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0};
    Timing dec = timed(n, [&] {
        CK_ULONG len = (CK_ULONG)plain.size();
        f->C_DecryptInit(h, &rsa, key);
        f->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), plain.data(), &len);
    });
    std::printf(
        "%-10s RSA-%lu  sign %7.3f ms (processor %7.3f)   decrypt %7.3f ms (processor %7.3f)   [%d each]\n",
        what, (unsigned long)bits, sign.wall, sign.cpu, dec.wall, dec.cpu, n);
    f->C_CloseSession(h);
    return sign;
}

#if defined(_WIN32)
// The Windows provider's software RSA-2048: SHA-256 hash-and-sign with a key
// it generates, n times. Returns its times, 0 when missing.
Timing measureProvider(int n)
{
    const char *name = "Microsoft Enhanced RSA and AES Cryptographic Provider";
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    if (!CryptAcquireContextA(&prov, nullptr, name, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        std::printf("provider   \"%s\" not available (0x%08lX)\n", name, GetLastError());
        return Timing{0, 0};
    }
    Timing t = {0, 0};
    bool ok = false;
    if (CryptGenKey(prov, AT_SIGNATURE, (2048u << 16) | CRYPT_EXPORTABLE, &key)) {
        BYTE data[32], sig[512];
        std::memset(data, 0x42, sizeof(data));
        auto signOnce = [&]() {
            HCRYPTHASH hash = 0;
            DWORD len = sizeof(sig);
            bool done = CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                        CryptHashData(hash, data, sizeof(data), 0) &&
                        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
            if (hash)
                CryptDestroyHash(hash);
            return done;
        };
        ok = signOnce(); // warm-up
        t = timed(n, [&] { ok = ok && signOnce(); });
        if (ok)
            std::printf("provider   RSA-2048  sign %7.3f ms (processor %7.3f)   \"%s\", software key\n",
                        t.wall, t.cpu, name);
        else
            std::printf("provider   signature failed (0x%08lX)\n", GetLastError());
        CryptDestroyKey(key);
    } else {
        std::printf("provider   no RSA-2048 key (0x%08lX)\n", GetLastError());
    }
    CryptReleaseContext(prov, 0);
    return ok ? t : Timing{0, 0};
}
#endif

// Four threads sign on their own sessions while this one calls
// C_GetTokenInfo now and then, and at the end C_Finalize: the worst wait of
// each short call.
void measureQueue(CK_FUNCTION_LIST *f, const std::string &state, unsigned latencyMs, double seconds)
{
    const int kSigners = 4;
    if (!writeState(state, latencyMs) || f->C_Initialize(nullptr) != CKR_OK)
        return;
    std::atomic<bool> stop(false);
    std::atomic<int> signatures(0), ready(0);
    std::vector<std::thread> signers;
    for (int i = 0; i < kSigners; ++i) {
        signers.emplace_back([&]() {
            CK_SESSION_HANDLE h;
            CK_OBJECT_HANDLE key;
            bool ok = openSigner(f, 1, h, key);
            ++ready;
            while (ok && !stop) {
                ok = signOnce(f, h, key) == CKR_OK;
                signatures += ok;
            }
        });
    }
    while (ready < kSigners)
        std::this_thread::yield();
    double worstInfo = 0, totalInfo = 0;
    int probes = 0;
    auto start = Clock::now();
    while (msSince(start) < seconds * 1000) {
        CK_TOKEN_INFO info;
        auto t0 = Clock::now();
        f->C_GetTokenInfo(1, &info);
        double w = msSince(t0);
        worstInfo = std::max(worstInfo, w);
        totalInfo += w;
        ++probes;
        std::this_thread::sleep_for(std::chrono::milliseconds(7)); // probes spread over the run
    }
    auto t0 = Clock::now();
    f->C_Finalize(nullptr); // the signers' next calls fail: they stop
    double finalizeMs = msSince(t0);
    stop = true;
    for (std::thread &t : signers)
        t.join();
    std::printf("4 signers, latency %3u ms: C_GetTokenInfo worst %8.1f ms, mean %7.1f ms (%d calls);"
                " C_Finalize %8.1f ms; %d signatures in %.1f s\n",
                latencyMs, worstInfo, totalInfo / probes, probes, finalizeMs, int(signatures), seconds);
}

} // namespace

int main(int argc, char **argv)
{
    const char *file = argc > 1 ? argv[1] : SOFTCARD_LIBRARY_FILE;
    int n = argc > 2 ? std::atoi(argv[2]) : 50;
    char state[256];
#if defined(_WIN32)
    char dir[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    std::snprintf(state, sizeof(state), "%ssoftcard-bench-%lu.state", dir, GetCurrentProcessId());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", state);
#else
    std::snprintf(state, sizeof(state), "/tmp/softcard-bench-%d.state", int(getpid()));
    setenv("VEL_SOFTCARD_STATE", state, 1);
#endif
    CK_FUNCTION_LIST *f = load(file);
    if (!writeState(state, 0) || !f || f->C_Initialize(nullptr) != CKR_OK) {
        std::fprintf(stderr, "cannot load %s\n", file);
        return 1;
    }
    std::printf("software card, latency 0, through the function list of %s\n", file);
    Timing ours = measure(f, 1, "default", n);
    measure(f, 2, "vel3-1024", n);
    f->C_Finalize(nullptr);
#if defined(_WIN32)
    Timing theirs = measureProvider(n);
    if (ours.cpu > 0 && theirs.cpu > 0)
        std::printf("RSA-2048 signature, software card / provider: %.2f elapsed, %.2f processor\n",
                    ours.wall / theirs.wall, ours.cpu / theirs.cpu);
#else
    (void)ours;
#endif
    measureQueue(f, state, 0, 3);
    measureQueue(f, state, 50, 3);
    std::remove(state);
    std::remove((std::string(state) + ".lock").c_str());
    return 0;
}
