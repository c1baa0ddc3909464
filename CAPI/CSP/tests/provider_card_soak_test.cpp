// Randomized soak: threads signing and decrypting through advapi32 on one
// name and on several, at a real card latency, while the card is pulled, put
// back or replaced by another, PIN parameters come on another name of the
// same card, and contexts come and go (the last one included). Every result
// is a valid signature or plaintext, or a clean error. One context, kept by
// this thread on the signature certificate's name with its key handles,
// follows a model: it serves whenever the card is in unless it saw another
// card, which condemns it for good (NTE_BAD_KEYSET), and a card out only
// fails its calls. At each quiet point (the default card back in) a fresh
// context signs at its first try, and the kept context and its kept key
// handles serve as the model says; at the end memory, handles and TLS slots
// are where they started. VEL_CSP_SOAK_SEED sets the seed (printed),
// VEL_CSP_SOAK_ROUNDS the rounds (40 by default); the run also ends after
// about a minute. Memory is measured from the end of the first rounds, once
// every path has run.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "csp_test_support.h"
#include "process_counters.h"
#include "wait_until.h"

using namespace csp_test;

namespace {

const char kPin[] = "1234";
constexpr int kWarmRounds = 5;
const std::string kReader = "\"Lecteur Ovrane VEL 0\"";

enum class Outcome { Done, CleanError, Wrong };

thread_local DWORD lastFailure = 0; // the error of this thread's last failed call, for the report

Outcome Failed()
{
    const DWORD e = GetLastError();
    lastFailure = e;
    return e != 0 && e != 0xdeadbeef ? Outcome::CleanError : Outcome::Wrong;
}

Outcome Sign(HCRYPTPROV prov, const std::string &text)
{
    HCRYPTHASH hash = 0;
    SetLastError(0xdeadbeef);
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash))
        return Failed();
    CryptHashData(hash, reinterpret_cast<const BYTE *>(text.data()), DWORD(text.size()), 0);
    BYTE sig[512];
    DWORD sigLen = sizeof sig;
    SetLastError(0xdeadbeef);
    Outcome out = Outcome::Done;
    HCRYPTKEY key = 0;
    if (!CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen)) {
        out = Failed();
    } else if (!CryptGetUserKey(prov, AT_SIGNATURE, &key)) {
        out = Failed(); // the card left between the two calls
    } else if (!CryptVerifySignatureA(hash, sig, sigLen, key, nullptr, 0)) {
        out = Outcome::Wrong; // a signature that does not check
    }
    if (key)
        CryptDestroyKey(key);
    CryptDestroyHash(hash);
    return out;
}

Outcome Decrypt(HCRYPTPROV prov, const std::string &text)
{
    HCRYPTKEY key = 0;
    SetLastError(0xdeadbeef);
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key))
        return Failed();
    BYTE data[512] = {};
    DWORD len = DWORD(text.size());
    memcpy(data, text.data(), len);
    Outcome out = Outcome::Done;
    SetLastError(0xdeadbeef);
    if (!CryptEncrypt(key, 0, TRUE, 0, data, &len, sizeof data) || !CryptDecrypt(key, 0, TRUE, 0, data, &len))
        out = Failed();
    else if (std::string(reinterpret_cast<char *>(data), len) != text)
        out = Outcome::Wrong;
    CryptDestroyKey(key);
    return out;
}

// The context this thread keeps on the signature certificate's name, the
// key handles it gave out, and what the model expects of it.
struct KeptContext {
    HCRYPTPROV prov = 0;
    HCRYPTKEY signature = 0;
    std::vector<BYTE> blob; // the signature key's public blob when kept
    bool condemned = false; // it saw another card
};

std::vector<BYTE> PublicBlob(HCRYPTKEY key)
{
    DWORD size = 0;
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size))
        return {};
    std::vector<BYTE> blob(size);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
        return {};
    blob.resize(size);
    return blob;
}

BOOL GivePin(HCRYPTPROV prov, DWORD param = PP_SIGNATURE_PIN)
{
    SetLastError(0xdeadbeef);
    return CryptSetProvParam(prov, param, reinterpret_cast<const BYTE *>(kPin), 0);
}

void Keep(KeptContext &k)
{
    Acquired a = Acquire(kSignContainer, CRYPT_SILENT);
    ASSERT_TRUE(a.ok) << std::hex << a.error;
    k = KeptContext();
    k.prov = a.prov;
    ASSERT_TRUE(GivePin(k.prov));
    ASSERT_EQ(Outcome::Done, Sign(k.prov, "kept"));
    ASSERT_TRUE(CryptGetUserKey(k.prov, AT_SIGNATURE, &k.signature));
    k.blob = PublicBlob(k.signature);
    ASSERT_FALSE(k.blob.empty());
}

// What the reader holds when the kept context is used.
enum class InReader { DefaultCard, None, OtherCard };

// Uses the kept context as an application would (the PIN, a signature) and
// checks the model's answer; a context that meets another card is condemned.
void UseKept(KeptContext &k, InReader in, const char *when)
{
    if (in == InReader::OtherCard)
        k.condemned = true;
    const bool serves = in == InReader::DefaultCard && !k.condemned;
    const BOOL pin = GivePin(k.prov);
    const DWORD pinError = GetLastError();
    const Outcome signature = Sign(k.prov, "kept");
    if (serves) {
        EXPECT_TRUE(pin) << when << ": 0x" << std::hex << pinError;
        EXPECT_EQ(Outcome::Done, signature) << when << ": 0x" << std::hex << lastFailure;
    } else {
        EXPECT_FALSE(pin) << when;
        EXPECT_EQ(DWORD(NTE_BAD_KEYSET), pinError) << when;
        EXPECT_EQ(Outcome::CleanError, signature) << when;
        EXPECT_EQ(DWORD(NTE_BAD_KEYSET), lastFailure) << when;
    }
}

// At a quiet point: the kept key handle still means the card's signature key.
void ExpectKeptKeyServes(const KeptContext &k, const char *when)
{
    EXPECT_EQ(k.blob, PublicBlob(k.signature)) << when << ": 0x" << std::hex << GetLastError();
    DWORD bits = 0, size = sizeof bits;
    EXPECT_TRUE(CryptGetKeyParam(k.signature, KP_KEYLEN, reinterpret_cast<BYTE *>(&bits), &size, 0)) << when;
    EXPECT_EQ(2048u, bits) << when;
}

unsigned Seed()
{
    const char *s = std::getenv("VEL_CSP_SOAK_SEED");
    return s ? unsigned(std::strtoul(s, nullptr, 10)) : unsigned(GetTickCount());
}

int Rounds()
{
    const char *s = std::getenv("VEL_CSP_SOAK_ROUNDS");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 40;
}

DWORD TlsMark()
{
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

class ProviderCardSoak : public CardTest {};

TEST_F(ProviderCardSoak, ThreadsSignAndDecryptWhileCardsComeAndGo)
{
    const unsigned seed = Seed();
    printf("seed %u (VEL_CSP_SOAK_SEED)\n", seed);
    fflush(stdout);
    std::mt19937 random(seed);
    ASSERT_EQ(Ctl("log off"), 0);
    const std::string names[] = {kAuthContainer, std::string(kAuthContainer) + "-a",
                                 std::string(kAuthContainer) + "-b"};
    // Warm-up: the first contexts load the libraries and the Microsoft container.
    for (const std::string &name : names) {
        Acquired a = Acquire(name.c_str(), CRYPT_SILENT);
        ASSERT_TRUE(a.ok);
        ASSERT_TRUE(CryptSetProvParam(a.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0));
        ASSERT_EQ(Outcome::Done, Sign(a.prov, "warm-up"));
        ASSERT_EQ(Outcome::Done, Decrypt(a.prov, "warm-up"));
        ASSERT_TRUE(Release(a.prov));
    }
    KeptContext kept;
    Keep(kept);
    if (HasFatalFailure())
        return;
    SIZE_T memoryBefore = 0; // after the first rounds: the heaps of every path have grown by then
    const DWORD handlesBefore = vel_test::OpenHandles() - vel_test::OpenKeysUnder(L"QUVCSPPROVIDER");
    const DWORD tlsBefore = TlsMark();
    ASSERT_EQ(Ctl("latency 5"), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> done{0}, clean{0}, wrong{0}, operations{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 6; ++t)
        workers.emplace_back([&, t] {
            std::mt19937 own(seed + unsigned(t) + 1);
            while (!stop.load()) {
                // Threads 0-2 share one name; the others pick any.
                const std::string &name = t < 3 ? names[0] : names[own() % 3];
                HCRYPTPROV prov = 0;
                SetLastError(0xdeadbeef);
                if (!CryptAcquireContextA(&prov, name.c_str(), kProvider, PROV_RSA_FULL, CRYPT_SILENT)) {
                    ++(Failed() == Outcome::CleanError ? clean : wrong);
                    ++operations;
                    continue;
                }
                CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0);
                for (int i = 0, n = int(own() % 4) + 1; i < n; ++i) {
                    const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                    const Outcome o = own() % 2 ? Sign(prov, text) : Decrypt(prov, text);
                    ++(o == Outcome::Done ? done : o == Outcome::CleanError ? clean : wrong);
                    ++operations;
                }
                if (!CryptReleaseContext(prov, 0))
                    ++wrong;
            }
        });

    const DWORD start = GetTickCount();
    const DWORD budget = vel_test::ScaledMs(60000);
    int round = 0;
    for (; round < Rounds() && GetTickCount() - start < budget; ++round) {
        if (round == kWarmRounds)
            memoryBefore = vel_test::PrivateBytes();
        const int event = int(random() % 5);
        InReader in = InReader::DefaultCard;
        if (event == 0) {
            Ctl("remove " + kReader);
            in = InReader::None;
        } else if (event == 1) {
            Ctl("remove " + kReader);
            Ctl("insert " + kReader + " vel3-cl");
            in = InReader::OtherCard;
        } else if (event == 2) {
            Ctl("remove " + kReader);
            Ctl("insert " + kReader + " vel3-default");
        } else if (event == 3) {
            // PIN parameters on the card's other name while the threads work:
            // they log the card out and in again, and must harm no one.
            for (int i = 0; i < 4; ++i)
                EXPECT_TRUE(GivePin(kept.prov, i % 2 ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN) ||
                            kept.condemned)
                    << "round " << round << ": 0x" << std::hex << GetLastError();
        }
        const std::string when = "round " + std::to_string(round) + ", event " + std::to_string(event);
        if (random() % 2)
            UseKept(kept, in, when.c_str());
        // Let the threads meet the change: a few more results, bounded in time.
        const int seen = operations.load();
        vel_test::WaitUntil([&] { return operations.load() >= seen + 6; }, 5000);
        // Quiet point: the default card back in; a fresh context signs at its
        // first try, whatever the other threads do with the card meanwhile.
        Ctl("remove " + kReader);
        ASSERT_EQ(0, Ctl("insert " + kReader + " vel3-default")) << "round " << round;
        Acquired check =
            Acquire((std::string(kAuthContainer) + "-check" + std::to_string(round)).c_str(), CRYPT_SILENT);
        ASSERT_TRUE(check.ok) << "round " << round << ": 0x" << std::hex << check.error;
        EXPECT_TRUE(GivePin(check.prov)) << "round " << round << ": 0x" << std::hex << GetLastError();
        const Outcome o = Sign(check.prov, "check");
        EXPECT_EQ(Outcome::Done, o) << "round " << round << ": last error 0x" << std::hex << lastFailure;
        EXPECT_TRUE(Release(check.prov));
        // The kept context as the model says; a condemned one is replaced.
        UseKept(kept, InReader::DefaultCard, (when + ", quiet point").c_str());
        if (kept.condemned) {
            EXPECT_TRUE(Release(kept.prov));
            Keep(kept);
        } else {
            ExpectKeptKeyServes(kept, (when + ", quiet point").c_str());
        }
        ASSERT_EQ(0, wrong.load()) << "round " << round << " (seed " << seed << ")";
        if (HasFailure())
            break; // the seed above replays it
    }
    stop = true;
    for (std::thread &w : workers)
        w.join();
    ASSERT_EQ(Ctl("latency 0"), 0);
    printf("%d rounds, %d results: %d done, %d clean errors, %d wrong\n", round, operations.load(),
           done.load(), clean.load(), wrong.load());
    EXPECT_EQ(0, wrong.load()) << "seed " << seed;
    EXPECT_GT(done.load(), 0);

    if (kept.prov) {
        EXPECT_TRUE(Release(kept.prov));
    }
    const SIZE_T memoryAfter = vel_test::PrivateBytes();
    const DWORD handlesAfter = vel_test::OpenHandles() - vel_test::OpenKeysUnder(L"QUVCSPPROVIDER");
    if (round > kWarmRounds) {
        EXPECT_LT(memoryAfter, memoryBefore + 4 * 1024 * 1024) << memoryBefore << " -> " << memoryAfter;
    }
    printf("memory %lu -> %lu, handles %lu -> %lu\n", static_cast<unsigned long>(memoryBefore),
           static_cast<unsigned long>(memoryAfter), static_cast<unsigned long>(handlesBefore),
           static_cast<unsigned long>(handlesAfter));
    EXPECT_LE(handlesAfter, handlesBefore + 16) << handlesBefore << " -> " << handlesAfter;
    EXPECT_EQ(tlsBefore, TlsMark()) << "TLS slots were left behind";
}

} // namespace
