// Several threads of one host on one card context, at a real card latency:
// their card operations share the context's session and must all succeed;
// and the provider's code stays loaded while any thread may be inside it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "csp_test_support.h"
#include "wait_until.h"

using namespace csp_test;

namespace {

const char kPin[] = "1234";
const char kModule[] = VEL_CSP_DLL_NAME;

// One signature with the signature key, checked against the card key's public half.
bool SignAndCheck(HCRYPTPROV prov, const std::string &text)
{
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash))
        return false;
    bool ok = CryptHashData(hash, reinterpret_cast<const BYTE *>(text.data()), DWORD(text.size()), 0);
    BYTE sig[512];
    DWORD sigLen = sizeof sig;
    ok = ok && CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen);
    HCRYPTKEY key = 0;
    ok = ok && CryptGetUserKey(prov, AT_SIGNATURE, &key);
    ok = ok && CryptVerifySignatureA(hash, sig, sigLen, key, nullptr, 0);
    if (key)
        CryptDestroyKey(key);
    CryptDestroyHash(hash);
    return ok;
}

// Encrypted with the exchange key's public half, decrypted on the card.
bool EncryptAndDecrypt(HCRYPTPROV prov, const std::string &text)
{
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key))
        return false;
    BYTE data[512] = {};
    DWORD len = DWORD(text.size());
    memcpy(data, text.data(), len);
    bool ok = CryptEncrypt(key, 0, TRUE, 0, data, &len, sizeof data) &&
              CryptDecrypt(key, 0, TRUE, 0, data, &len) &&
              std::string(reinterpret_cast<char *>(data), len) == text;
    CryptDestroyKey(key);
    return ok;
}

class ProviderThreads : public CardTest {};

TEST_F(ProviderThreads, ThreadsSharingOneContextAllSignAndDecrypt)
{
    Acquired a = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(a.ok) << std::hex << a.error;
    ASSERT_TRUE(CryptSetProvParam(a.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0));
    ASSERT_EQ(Ctl("log off"), 0);
    ASSERT_EQ(Ctl("latency 20"), 0);
    // Both ways: the threads on the one context, and each acquiring the same
    // name (which hands them the same context).
    for (bool ownAcquire : {false, true}) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                HCRYPTPROV prov = a.prov;
                if (ownAcquire && !CryptAcquireContextA(&prov, kAuthContainer, kProvider, PROV_RSA_FULL, 0)) {
                    failures += 6;
                    return;
                }
                for (int i = 0; i < 6; ++i) {
                    const std::string text = "thread " + std::to_string(t) + " call " + std::to_string(i);
                    if (!(i % 2 ? EncryptAndDecrypt(prov, text) : SignAndCheck(prov, text)))
                        ++failures;
                }
                if (ownAcquire)
                    CryptReleaseContext(prov, 0);
            });
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(0, failures.load()) << (ownAcquire ? "each thread acquiring" : "one context");
    }
    EXPECT_TRUE(Release(a.prov));
}

TEST_F(ProviderThreads, PinParametersOnOneNameLeaveTheCardsOtherContextsWorking)
{
    // The tray binds the card's two certificates under two names, so one
    // application using both keys has contexts of both names on one card.
    // (Longer names first: a later request would otherwise be handed the
    // context of a name it contains.)
    const std::string sign2 = std::string(kSignContainer) + "-2", auth2 = std::string(kAuthContainer) + "-2";
    Acquired signB = Acquire(sign2.c_str(), CRYPT_SILENT), signA = Acquire(kSignContainer, CRYPT_SILENT);
    Acquired decrypt = Acquire(auth2.c_str(), CRYPT_SILENT), pins = Acquire(kAuthContainer, CRYPT_SILENT);
    for (const Acquired *a : {&signB, &signA, &decrypt, &pins})
        ASSERT_TRUE(a->ok) << std::hex << a->error;
    ASSERT_TRUE(CryptSetProvParam(signA.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0));
    ASSERT_EQ(Ctl("log off"), 0);
    ASSERT_EQ(Ctl("latency 5"), 0);
    std::atomic<bool> pinsDone{false};
    std::atomic<int> failures{0}, operations{0}, pinFailures{0};
    std::vector<std::thread> threads;
    // One context gives the PIN again and again (an application checking it,
    // a logon asking more than once) while the others sign and decrypt.
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            if (!CryptSetProvParam(pins.prov, i % 2 ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                                   reinterpret_cast<const BYTE *>(kPin), 0))
                ++pinFailures;
        pinsDone = true;
    });
    const HCRYPTPROV workers[] = {signA.prov, signB.prov, decrypt.prov, signA.prov};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; !pinsDone.load() || i < 3; ++i) {
                const std::string text = "thread " + std::to_string(t) + " call " + std::to_string(i);
                if (!(t == 2 || (t == 3 && i % 2) ? EncryptAndDecrypt(workers[t], text)
                                                  : SignAndCheck(workers[t], text)))
                    ++failures;
                ++operations;
            }
        });
    for (std::thread &t : threads)
        t.join();
    ASSERT_EQ(Ctl("latency 0"), 0);
    EXPECT_EQ(0, pinFailures.load());
    EXPECT_EQ(0, failures.load()) << "of " << operations.load() << " signatures and decryptions";
    for (const Acquired *a : {&signB, &signA, &decrypt, &pins})
        EXPECT_TRUE(Release(a->prov));
}

TEST_F(ProviderThreads, TheLastReleaseWhileAnotherThreadSignsLeavesTheProviderLoaded)
{
    Acquired a = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(a.ok) << std::hex << a.error;
    ASSERT_TRUE(CryptSetProvParam(a.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(a.prov, CALG_SHA_256, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("x"), 1, 0));
    ASSERT_EQ(Ctl("latency 300"), 0);
    ClearLog();
    std::atomic<bool> done{false};
    std::thread signer([&] {
        BYTE sig[512];
        DWORD sigLen = sizeof sig;
        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen); // either way, no crash
        done = true;
    });
    // The signer is inside the provider once the card sees its first call.
    EXPECT_TRUE(vel_test::WaitUntil([] { return CountCalls("") > 0; }, 10000));
    EXPECT_TRUE(Release(a.prov));
    signer.join();
    EXPECT_TRUE(done.load());
    ASSERT_EQ(Ctl("latency 0"), 0);
    EXPECT_NE(nullptr, GetModuleHandleA(kModule)) << "the provider was unloaded";

    // Load and unload no more: acquire and release pairs keep the TLS slots
    // (the PIN prompt's texts are per thread) and the provider in place.
    DWORD before = TlsAlloc();
    TlsFree(before);
    for (int i = 0; i < 50; ++i) {
        Acquired b = Acquire(kAuthContainer, 0);
        ASSERT_TRUE(b.ok);
        ASSERT_TRUE(Release(b.prov));
    }
    DWORD after = TlsAlloc();
    TlsFree(after);
    EXPECT_EQ(before, after);
    EXPECT_NE(nullptr, GetModuleHandleA(kModule));
}

} // namespace
