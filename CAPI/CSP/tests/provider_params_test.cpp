// Provider parameters through CryptGetProvParam / CryptSetProvParam: our own
// answers, the Microsoft context's answers compared with the same call on
// Wine's Microsoft provider, short buffers, and the PIN given as a parameter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card_certificates.inc"
#include "csp_test_support.h"
#include "loaded_library.h"

using namespace csp_test;

namespace {

const char kMicrosoftAes[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";

std::string Dword(DWORD v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

std::string Bytes(const unsigned char *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

class ProviderParams : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        card_ = Acquire(kAuthContainer, 0);
        ASSERT_TRUE(card_.ok) << std::hex << card_.error;
    }
    void TearDown() override
    {
        if (card_.ok) {
            EXPECT_TRUE(Release(card_.prov));
        }
    }
    // Releases this test's context and puts another card (a built-in name or
    // an image file) in the reader.
    void SwapCard(const std::string &card)
    {
        ASSERT_TRUE(Release(card_.prov));
        card_.ok = FALSE;
        ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
        ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" \"" + card + "\""), 0);
    }
    BOOL SetPin(const char *pin, DWORD *error)
    {
        SetLastError(0xdeadbeef);
        const BOOL ok =
            CryptSetProvParam(card_.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>(pin), 0);
        *error = GetLastError();
        return ok;
    }
    Acquired card_ = {FALSE, 0, 0};
};

TEST_F(ProviderParams, OwnAnswers)
{
    struct Case {
        const char *what;
        DWORD param;
        DWORD flags;
        std::string expected;
    };
    const Case cases[] = {
        {"PP_NAME", PP_NAME, 0, std::string("Ovrane Cryptographic Provider") + '\0'},
        {"PP_IMPTYPE", PP_IMPTYPE, 0, Dword(3)},
        {"PP_VERSION", PP_VERSION, 0, Dword(0x120)},
        {"PP_CONTAINER", PP_CONTAINER, 0, std::string(kAuthContainer) + '\0'},
        {"PP_UNIQUE_CONTAINER", PP_UNIQUE_CONTAINER, 0, std::string(kAuthContainer) + '\0'},
        {"PP_KEYSET_TYPE", PP_KEYSET_TYPE, 0, Dword(0)},
        {"PP_USE_HARDWARE_RNG", PP_USE_HARDWARE_RNG, 0, Dword(0)},
        {"PP_KEYSPEC", PP_KEYSPEC, 0, Dword(3)},
        {"PP_CRYPT_COUNT_KEY_USE", PP_CRYPT_COUNT_KEY_USE, 0, Dword(3)},
        {"PP_SMARTCARD_READER", PP_SMARTCARD_READER, 0, std::string("Lecteur Ovrane VEL 0") + '\0'},
        {"PP_CERTCHAIN exchange", PP_CERTCHAIN, AT_KEYEXCHANGE, Bytes(k_auth, sizeof k_auth)},
        {"PP_CERTCHAIN signature", PP_CERTCHAIN, AT_SIGNATURE, Bytes(k_sign, sizeof k_sign)},
        {"PP_ENUMCONTAINERS first", PP_ENUMCONTAINERS, CRYPT_FIRST, std::string(kAuthContainer) + '\0'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Param p = GetParam(card_.prov, c.param, c.flags);
        EXPECT_TRUE(p.ok) << std::hex << p.error;
        EXPECT_EQ(p.bytes, c.expected);
        EXPECT_EQ(p.size, c.expected.size());
    }
    struct Refusal {
        const char *what;
        DWORD param;
        DWORD flags;
        DWORD error;
    };
    const Refusal refusals[] = {
        {"PP_ENUMCONTAINERS next", PP_ENUMCONTAINERS, CRYPT_NEXT, ERROR_NO_MORE_ITEMS},
        {"PP_ENUMCONTAINERS other flag", PP_ENUMCONTAINERS, 4, static_cast<DWORD>(NTE_BAD_FLAGS)},
        {"PP_KEYEXCHANGE_PIN read", PP_KEYEXCHANGE_PIN, 0, ERROR_NOT_SUPPORTED},
        {"PP_SIGNATURE_PIN read", PP_SIGNATURE_PIN, 0, ERROR_NOT_SUPPORTED},
        {"PP_ADMIN_PIN read", PP_ADMIN_PIN, 0, ERROR_NOT_SUPPORTED},
        {"unknown parameter", 999, 0, static_cast<DWORD>(NTE_BAD_TYPE)},
        {"card identifier from a label without digits", PP_SMARTCARD_GUID, 0, static_cast<DWORD>(NTE_FAIL)},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.what);
        BYTE buffer[600];
        DWORD size = sizeof buffer;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CryptGetProvParam(card_.prov, r.param, buffer, &size, r.flags));
        EXPECT_EQ(GetLastError(), r.error);
    }
}

TEST_F(ProviderParams, ShortBuffersAndSizeQueries)
{
    struct Case {
        const char *what;
        DWORD param;
        DWORD flags;
        DWORD needed;
    };
    const Case cases[] = {
        {"PP_NAME", PP_NAME, 0, 30},
        {"PP_CONTAINER", PP_CONTAINER, 0, static_cast<DWORD>(std::strlen(kAuthContainer) + 1)},
        {"PP_CERTCHAIN", PP_CERTCHAIN, AT_SIGNATURE, static_cast<DWORD>(sizeof k_sign)},
        {"PP_VERSION", PP_VERSION, 0, 4},
        {"PP_USER_CERTSTORE", PP_USER_CERTSTORE, 0, static_cast<DWORD>(sizeof(HCERTSTORE))},
        {"PP_SMARTCARD_READER", PP_SMARTCARD_READER, 0, 21},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DWORD size = 0;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(CryptGetProvParam(card_.prov, c.param, nullptr, &size, c.flags));
        EXPECT_EQ(size, c.needed);
        std::vector<BYTE> buffer(c.needed + 8, 0xCC);
        size = c.needed - 1;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CryptGetProvParam(card_.prov, c.param, buffer.data(), &size, c.flags));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(size, c.needed);
        for (BYTE b : buffer)
            ASSERT_EQ(b, 0xCC) << "nothing written into a short buffer";
    }
}

TEST_F(ProviderParams, UserCertificateStoreBindsBothCertificates)
{
    HCERTSTORE store = nullptr;
    DWORD size = sizeof store;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptGetProvParam(card_.prov, PP_USER_CERTSTORE, reinterpret_cast<BYTE *>(&store), &size, 0))
        << std::hex << GetLastError();
    EXPECT_EQ(size, static_cast<DWORD>(sizeof store));
    ASSERT_NE(store, nullptr);
    int count = 0;
    DWORD specs = 0;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
         cert = CertEnumCertificatesInStore(store, cert)) {
        ++count;
        DWORD infoSize = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &infoSize));
        std::vector<BYTE> buffer(infoSize);
        ASSERT_TRUE(
            CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &infoSize));
        const CRYPT_KEY_PROV_INFO *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(buffer.data());
        // A named session (Wine runs its programs in session 1, "Console")
        // binds the name with the computer's name as suffix.
        std::string container(kAuthContainer);
        DWORD session = 0;
        char sessionName[64] = {}, computer[64] = {};
        if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session &&
            GetEnvironmentVariableA("SESSIONNAME", sessionName, sizeof sessionName)) {
            GetEnvironmentVariableA("COMPUTERNAME", computer, sizeof computer);
            container += std::string("CName(") + computer + ")";
        }
        EXPECT_EQ(std::wstring(info->pwszContainerName), std::wstring(container.begin(), container.end()));
        EXPECT_EQ(std::wstring(info->pwszProvName), L"Ovrane Cryptographic Provider");
        EXPECT_EQ(info->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
        specs |= 1u << info->dwKeySpec;
    }
    EXPECT_EQ(count, 2);
    EXPECT_EQ(specs, (1u << AT_KEYEXCHANGE) | (1u << AT_SIGNATURE));
    EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST_F(ProviderParams, PassThroughMatchesMicrosoftProvider)
{
    HCRYPTPROV ms = 0;
    ASSERT_TRUE(CryptAcquireContextA(&ms, nullptr, kMicrosoftAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    const DWORD params[] = {PP_PROVTYPE,        PP_SYM_KEYSIZE,      PP_SESSION_KEYSIZE,
                            PP_SIG_KEYSIZE_INC, PP_KEYX_KEYSIZE_INC, PP_KEYSTORAGE};
    for (DWORD param : params) {
        SCOPED_TRACE(param);
        Param ours = GetParam(card_.prov, param);
        Param theirs = GetParam(ms, param);
        EXPECT_EQ(ours.ok, theirs.ok);
        EXPECT_EQ(ours.error, theirs.error);
        EXPECT_EQ(ours.bytes, theirs.bytes);
    }
    // The whole algorithm list, in both forms.
    for (DWORD param : {static_cast<DWORD>(PP_ENUMALGS), static_cast<DWORD>(PP_ENUMALGS_EX)}) {
        SCOPED_TRACE(param);
        for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
            Param ours = GetParam(card_.prov, param, flags);
            Param theirs = GetParam(ms, param, flags);
            ASSERT_EQ(ours.ok, theirs.ok);
            ASSERT_EQ(ours.bytes, theirs.bytes);
            if (!ours.ok) {
                EXPECT_EQ(ours.error, theirs.error);
                EXPECT_EQ(ours.error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
                break;
            }
        }
    }
    CryptReleaseContext(ms, 0);
}

TEST_F(ProviderParams, VerificationContextHasNoCardAnswers)
{
    Acquired v = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(v.ok);
    for (DWORD param : {static_cast<DWORD>(PP_CONTAINER), static_cast<DWORD>(PP_CERTCHAIN),
                        static_cast<DWORD>(PP_SMARTCARD_READER), static_cast<DWORD>(PP_USER_CERTSTORE),
                        static_cast<DWORD>(PP_CRYPT_COUNT_KEY_USE)}) {
        SCOPED_TRACE(param);
        Param p = GetParam(v.prov, param);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, static_cast<DWORD>(NTE_FAIL));
    }
    Param list = GetParam(v.prov, PP_ENUMCONTAINERS, CRYPT_FIRST);
    EXPECT_FALSE(list.ok);
    EXPECT_EQ(list.error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    DWORD error = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSetProvParam(v.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_TRUE(Release(v.prov, &error));
}

TEST_F(ProviderParams, PinGivenAsParameter)
{
    DWORD error = 0;
    for (const char *pin : {"12a4", "12345", "123", "", "1 34"}) {
        SCOPED_TRACE(pin);
        ClearLog();
        EXPECT_FALSE(SetPin(pin, &error));
        EXPECT_EQ(error, static_cast<DWORD>(SCARD_E_INVALID_CHV));
        EXPECT_EQ(CountCalls("C_Login"), 0) << "a malformed PIN never reaches the card";
    }
    ClearLog();
    EXPECT_TRUE(SetPin("1234", &error)) << std::hex << error;
    EXPECT_EQ(CountCalls("C_Logout"), 1);
    EXPECT_EQ(CountCalls("C_Login"), 1);
    EXPECT_EQ(CallLog().find("1234"), std::string::npos) << "the PIN reaches no log";

    EXPECT_FALSE(SetPin("0000", &error));
    EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_WRONG_CHV));
    EXPECT_EQ(GetParam(card_.prov, PP_CRYPT_COUNT_KEY_USE).bytes, Dword(2));
    EXPECT_TRUE(SetPin("1234", &error));
    EXPECT_EQ(GetParam(card_.prov, PP_CRYPT_COUNT_KEY_USE).bytes, Dword(3));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSetProvParam(card_.prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
    EXPECT_NE(GetLastError(), 0xdeadbeefu);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSetProvParam(card_.prov, PP_NAME, reinterpret_cast<const BYTE *>("1234"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
}

TEST_F(ProviderParams, PinAlreadyGivenInAServiceContext)
{
    // A logon service's request: the reader named, a client computer after
    // the name (the fixture's context goes first, or this request would reuse it).
    ASSERT_TRUE(Release(card_.prov));
    card_.ok = FALSE;
    const std::string service = std::string("\\\\.\\Lecteur Ovrane VEL 0\\") + kAuthContainer + "CName(PC7)";
    Acquired s = Acquire(service.c_str(), CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
    ASSERT_TRUE(s.ok) << std::hex << s.error;
    const auto set = [&](DWORD param, const char *pin, DWORD *error) {
        SetLastError(0xdeadbeef);
        const BOOL ok = CryptSetProvParam(s.prov, param, reinterpret_cast<const BYTE *>(pin), 0);
        *error = GetLastError();
        return ok;
    };
    DWORD error = 0;
    ClearLog();
    ASSERT_TRUE(set(PP_SIGNATURE_PIN, "1234", &error)) << std::hex << error;
    EXPECT_EQ(CountCalls("C_Logout"), 1);
    EXPECT_EQ(CountCalls("C_Login"), 1);
    // Given once on this session, still logged in: later PIN parameters are
    // answered at once, after one look at the session.
    ClearLog();
    EXPECT_TRUE(set(PP_KEYEXCHANGE_PIN, "1234", &error));
    EXPECT_TRUE(set(PP_SIGNATURE_PIN, "1234", &error));
    EXPECT_EQ(CountCalls("C_GetSessionInfo"), 2) << CallLog();
    EXPECT_EQ(CountCalls(""), 2) << CallLog();
    EXPECT_FALSE(CryptSetProvParam(s.prov, PP_SIGNATURE_PIN, nullptr, 0)) << "no PIN is no shortcut";
    EXPECT_TRUE(Release(s.prov));

    // An ordinary context is not a service's: each PIN logs out and in again.
    card_ = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(card_.ok) << std::hex << card_.error;
    ClearLog();
    EXPECT_TRUE(SetPin("1234", &error));
    EXPECT_TRUE(SetPin("1234", &error));
    EXPECT_EQ(CountCalls("C_Logout"), 2);
    EXPECT_EQ(CountCalls("C_Login"), 2);
}

TEST_F(ProviderParams, PinGivenBeforeIsNoAnswerOnceTheLoginIsGone)
{
    ASSERT_TRUE(Release(card_.prov));
    card_.ok = FALSE;
    const std::string service = std::string("\\\\.\\Lecteur Ovrane VEL 0\\") + kAuthContainer + "CName(PC1)";
    Acquired s = Acquire(service.c_str(), CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
    ASSERT_TRUE(s.ok) << std::hex << s.error;
    const auto set = [&](const char *pin, DWORD *error) {
        SetLastError(0xdeadbeef);
        const BOOL ok = CryptSetProvParam(s.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(pin), 0);
        *error = GetLastError();
        return ok;
    };
    const auto signs = [&] {
        HCRYPTHASH hash = 0;
        BYTE sig[512];
        DWORD len = sizeof sig;
        const bool ok = CryptCreateHash(s.prov, CALG_SHA_256, 0, 0, &hash) &&
                        CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0) &&
                        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
        if (hash)
            CryptDestroyHash(hash);
        return ok;
    };
    DWORD error = 0;
    ASSERT_TRUE(set("1234", &error)) << std::hex << error;
    ASSERT_TRUE(signs());

    // Another context of the same card takes a wrong PIN: the card's login is
    // gone for every session, so a wrong PIN here is checked, not let through.
    Acquired other = Acquire(kSignContainer, 0);
    ASSERT_TRUE(other.ok) << std::hex << other.error;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptSetProvParam(other.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("0000"), 0));
    EXPECT_TRUE(Release(other.prov));
    ClearLog();
    EXPECT_FALSE(set("0000", &error)) << "a wrong PIN on a session logged out";
    EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_WRONG_CHV));
    EXPECT_EQ(CountCalls("C_Login"), 1);
    EXPECT_TRUE(set("1234", &error)) << std::hex << error;
    EXPECT_TRUE(signs());

    // The card out: no PIN is taken.
    ASSERT_EQ(Ctl("remove \"Lecteur Ovrane VEL 0\""), 0);
    EXPECT_FALSE(set("1234", &error)) << "the card is out";
    EXPECT_NE(error, 0u);
    // The card back: its login went with it; a wrong PIN is not taken either.
    ASSERT_EQ(Ctl("insert \"Lecteur Ovrane VEL 0\" vel3-default"), 0);
    EXPECT_FALSE(set("0000", &error)) << "a wrong PIN after the card came back";
    EXPECT_NE(error, 0u);
    EXPECT_TRUE(Release(s.prov));
}

TEST_F(ProviderParams, CardIdentifierAndKeysetType)
{
    // A card whose label carries digits after its '-'.
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    const std::string image =
        std::string(dir) + "csp-digits-" + std::to_string(GetCurrentProcessId()) + ".card";
    ASSERT_EQ(Ctl("export vel3-default \"" + image + "\""), 0);
    std::string text = softcard_test::readFile(image);
    const std::string label = "label=\"VEL3v2-MARTIN JEANNE\"";
    ASSERT_NE(text.find(label), std::string::npos);
    text.replace(text.find(label), label.size(), "label=\"VEL3v2-2501 MARTIN\"");
    softcard_test::writeFile(image, text);
    SwapCard(image);

    Acquired machine = Acquire(kAuthContainer, CRYPT_MACHINE_KEYSET);
    ASSERT_TRUE(machine.ok) << std::hex << machine.error;
    EXPECT_EQ(GetParam(machine.prov, PP_SMARTCARD_GUID).bytes, std::string(14, '\0') + "\x25\x01");
    EXPECT_EQ(GetParam(machine.prov, PP_KEYSET_TYPE).bytes, Dword(CRYPT_MACHINE_KEYSET));
    EXPECT_TRUE(Release(machine.prov));
    softcard_test::removeFile(image);
}

TEST_F(ProviderParams, ContactlessContainer)
{
    // The technical card: one certificate, no signature key.
    SwapCard("vel3-cl");
    Acquired cl = Acquire(nullptr, 0);
    ASSERT_TRUE(cl.ok) << std::hex << cl.error;
    ClearLog();
    DWORD error = 0;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(
        CryptSetProvParam(cl.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("any text"), 0));
    EXPECT_EQ(CountCalls("C_Login"), 0) << "no PIN is used";
    EXPECT_EQ(GetParam(cl.prov, PP_CERTCHAIN, AT_KEYEXCHANGE).bytes, Bytes(k_tech, sizeof k_tech));
    Param signature = GetParam(cl.prov, PP_CERTCHAIN, AT_SIGNATURE);
    EXPECT_FALSE(signature.ok);
    EXPECT_EQ(signature.error, static_cast<DWORD>(NTE_FAIL));
    HCERTSTORE store = nullptr;
    DWORD size = sizeof store;
    ASSERT_TRUE(CryptGetProvParam(cl.prov, PP_USER_CERTSTORE, reinterpret_cast<BYTE *>(&store), &size, 0));
    int count = 0;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
         cert = CertEnumCertificatesInStore(store, cert))
        ++count;
    EXPECT_EQ(count, 1);
    CertCloseStore(store, 0);
    EXPECT_TRUE(Release(cl.prov, &error));
}

TEST_F(ProviderParams, PinOnABlockedCard)
{
    SwapCard("vel3-blocked");
    Acquired blocked = Acquire(kAuthContainer, 0);
    ASSERT_TRUE(blocked.ok) << std::hex << blocked.error;
    EXPECT_EQ(GetParam(blocked.prov, PP_CRYPT_COUNT_KEY_USE).bytes, Dword(0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        CryptSetProvParam(blocked.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CHV_BLOCKED));
    EXPECT_TRUE(Release(blocked.prov));
}

} // namespace
