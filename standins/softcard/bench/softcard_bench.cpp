// Benchmark of the software card: RSA signature and decryption through the
// function list, as a caller sees them, with the latency setting at 0.
// Prints milliseconds per operation for each key size.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bignum.h"
#include "builtin_cards.h"
#include "card.h"
#include "der.h"
#include "rsa.h"
#include "state.h"
#include "text_records.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "pkcs11.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0, int n)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / n;
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

// Signs and decrypts n times with the authentication key of the card in slot.
void measure(CK_FUNCTION_LIST *f, CK_SLOT_ID slot, const char *what, int n)
{
    CK_SESSION_HANDLE h;
    if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK ||
        f->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 4) != CKR_OK) {
        std::printf("%s: no session\n", what);
        return;
    }
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof(cls)};
    CK_OBJECT_HANDLE key;
    CK_ULONG count = 0;
    f->C_FindObjectsInit(h, &t, 1);
    f->C_FindObjects(h, &key, 1, &count);
    f->C_FindObjectsFinal(h);
    CK_ULONG bits = 0;
    CK_ATTRIBUTE b = {CKA_MODULUS_BITS, &bits, sizeof(bits)};
    f->C_GetAttributeValue(h, key, &b, 1);
    std::vector<CK_BYTE> sig(512), data(32, 0x42), plain(512);
    CK_MECHANISM sha = {CKM_SHA256_RSA_PKCS, nullptr, 0}, rsa = {CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG len;

    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        len = (CK_ULONG)sig.size();
        f->C_SignInit(h, &sha, key);
        f->C_Sign(h, data.data(), (CK_ULONG)data.size(), sig.data(), &len);
    }
    double signMs = msSince(t0, n);

    // A ciphertext for the key, made here with its public half.
    CK_OBJECT_CLASS pubCls = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE pt = {CKA_CLASS, &pubCls, sizeof(pubCls)};
    CK_OBJECT_HANDLE pub;
    f->C_FindObjectsInit(h, &pt, 1);
    f->C_FindObjects(h, &pub, 1, &count);
    f->C_FindObjectsFinal(h);
    std::vector<CK_BYTE> mod(512), exp(8);
    CK_ATTRIBUTE ma[2] = {{CKA_MODULUS, mod.data(), (CK_ULONG)mod.size()}, {CKA_PUBLIC_EXPONENT, exp.data(), 8}};
    f->C_GetAttributeValue(h, pub, ma, 2);
    softcard::RsaPublicKey pk{softcard::BigNum::fromBytes(mod.data(), ma[0].ulValueLen),
                              softcard::BigNum::fromBytes(exp.data(), ma[1].ulValueLen)};
    softcard::Bytes block, enc;
    softcard::pkcs1PadEncrypt(softcard::Bytes(16, 7), pk.size(), softcard::Bytes(pk.size(), 0x33), block);
    softcard::rsaPublic(pk, block, enc);

    t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        len = (CK_ULONG)plain.size();
        f->C_DecryptInit(h, &rsa, key);
        f->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), plain.data(), &len);
    }
    double decMs = msSince(t0, n);
    std::printf("%-10s RSA-%lu  sign %7.2f ms (%6.1f/s)   decrypt %7.2f ms (%6.1f/s)   [%d each]\n", what,
                (unsigned long)bits, signMs, 1000 / signMs, decMs, 1000 / decMs, n);
    f->C_CloseSession(h);
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
    // Two readers: the default card (2048 bits) and the 1024-bit card.
    softcard::State s = softcard::defaultState();
    s.readers.push_back(softcard::Reader{2, "Lecteur 1024"});
    softcard::PlacedCard pc;
    std::string error;
    pc.name = "vel3-1024";
    pc.reader = "Lecteur 1024";
    pc.insertion = s.nextInsertion++;
    if (!softcard::parseCard(softcard::findBuiltinCard("vel3-1024")->image, pc.card, error))
        return 1;
    s.cards.push_back(pc);
    FILE *out = std::fopen(state, "wb");
    if (!out)
        return 1;
    std::string text = softcard::stateToText(s);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    CK_FUNCTION_LIST *f = load(file);
    if (!f || f->C_Initialize(nullptr) != CKR_OK) {
        std::fprintf(stderr, "cannot load %s\n", file);
        return 1;
    }
    std::printf("software card, latency 0, through the function list of %s\n", file);
    measure(f, 1, "default", n);
    measure(f, 2, "vel3-1024", n);
    f->C_Finalize(nullptr);
    std::remove(state);
    return 0;
}
