// A context kept while its card is pulled and put back, or replaced by
// another card: the same card serves again (fresh object handles, PIN asked
// again), another card or none leaves the context unusable with
// NTE_BAD_KEYSET, and a new acquire never takes the stale context.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "csp_test_support.h"

using namespace csp_test;

namespace {

const char kPin[] = "1234";
const std::string kReader = "\"Lecteur Ovrane VEL 0\"";

// A SHA-256 signature with the signature key; the error when it fails.
DWORD SignError(HCRYPTPROV prov)
{
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash))
        return GetLastError();
    CryptHashData(hash, reinterpret_cast<const BYTE *>("data"), 4, 0);
    BYTE sig[512];
    DWORD sigLen = sizeof sig;
    SetLastError(0xdeadbeef);
    const DWORD error = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen) ? 0 : GetLastError();
    CryptDestroyHash(hash);
    return error;
}

BOOL GivePin(HCRYPTPROV prov)
{
    return CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(kPin), 0);
}

class ProviderCardChange : public CardTest {};

TEST_F(ProviderCardChange, AKeptContextFollowsItsOwnCardOnly)
{
    struct Case {
        const char *what;
        std::string change; // softcard_ctl commands, one by one
        bool sameCard;
        bool cardIn;
    } cases[] = {
        {"the same card put back", "remove " + kReader + "|insert " + kReader + " vel3-default", true, true},
        {"another card put in", "remove " + kReader + "|insert " + kReader + " vel3-cl", false, true},
        {"the card pulled", "remove " + kReader, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Ctl("reset"), 0);
        ASSERT_EQ(Ctl("log on"), 0);
        Acquired kept = Acquire(kAuthContainer, CRYPT_SILENT);
        ASSERT_TRUE(kept.ok) << std::hex << kept.error;
        ASSERT_TRUE(GivePin(kept.prov));
        ASSERT_EQ(0u, SignError(kept.prov));

        size_t at = 0;
        while (at != std::string::npos) {
            const size_t bar = c.change.find('|', at);
            ASSERT_EQ(Ctl(c.change.substr(at, bar == std::string::npos ? std::string::npos : bar - at)), 0);
            at = bar == std::string::npos ? bar : bar + 1;
        }

        ClearLog();
        Acquired again = Acquire(kAuthContainer, CRYPT_SILENT);
        if (!c.cardIn) {
            EXPECT_FALSE(again.ok) << "no card in any reader";
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), again.error);
        } else {
            ASSERT_TRUE(again.ok) << std::hex << again.error;
        }
        if (c.sameCard) {
            EXPECT_EQ(0, CountCalls("C_GetSlotList")) << "the same card's context is reused\n" << CallLog();
            // The card forgot the login when it left: the PIN once more, then it signs.
            EXPECT_TRUE(GivePin(kept.prov)) << std::hex << GetLastError();
            EXPECT_EQ(0u, SignError(kept.prov));
            EXPECT_EQ(0u, SignError(again.prov));
        } else {
            EXPECT_EQ(1, CountCalls("C_GetSlotList")) << "a stale context was handed out\n" << CallLog();
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), SignError(kept.prov));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(GivePin(kept.prov)) << "a PIN offered to another card";
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
            HCRYPTKEY key = 0;
            EXPECT_FALSE(CryptGetUserKey(kept.prov, AT_SIGNATURE, &key));
        }
        if (again.ok) {
            EXPECT_TRUE(Release(again.prov));
        }
        EXPECT_TRUE(Release(kept.prov));
    }
}

} // namespace
