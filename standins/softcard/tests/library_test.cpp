// The software card through its function list, as the card manager, the
// provider and the tray program use it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loaded_library.h"
#include "sha.h"

using namespace softcard_test;

namespace {

const char *gArgv0 = nullptr;
std::string gState;

using Bytes = std::vector<uint8_t>;

CK_FUNCTION_LIST *f()
{
    return functions();
}

std::string field(const CK_UTF8CHAR *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

std::string padded(const std::string &s, size_t n)
{
    return s + std::string(n - s.size(), ' ');
}

CK_ULONG pinFlags(CK_SLOT_ID slot)
{
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_OK, f()->C_GetTokenInfo(slot, &info));
    return info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED |
                         CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED);
}

CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE who, const char *pin)
{
    return f()->C_Login(h, who, (CK_UTF8CHAR *)pin, (CK_ULONG)std::strlen(pin));
}

// Handles found for a template.
std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> tmpl)
{
    std::vector<CK_OBJECT_HANDLE> out(20);
    CK_ULONG n = 0;
    EXPECT_EQ(CKR_OK, f()->C_FindObjectsInit(h, tmpl.data(), (CK_ULONG)tmpl.size()));
    EXPECT_EQ(CKR_OK, f()->C_FindObjects(h, out.data(), (CK_ULONG)out.size(), &n));
    EXPECT_EQ(CKR_OK, f()->C_FindObjectsFinal(h));
    out.resize(n);
    return out;
}

CK_OBJECT_CLASS kData = CKO_DATA, kCert = CKO_CERTIFICATE, kPriv = CKO_PRIVATE_KEY, kPub = CKO_PUBLIC_KEY;
CK_BBOOL kTrue = CK_TRUE, kFalse = CK_FALSE;

std::vector<CK_ATTRIBUTE> dataTemplate(const char *label, CK_BBOOL *priv)
{
    // Reversed against the card manager's order: the order must not matter.
    return {{CKA_LABEL, (void *)label, (CK_ULONG)std::strlen(label)},
            {CKA_PRIVATE, priv, 1},
            {CKA_TOKEN, &kTrue, 1},
            {CKA_CLASS, &kData, sizeof(kData)}};
}

class Card : public ::testing::Test {
protected:
    void SetUp() override
    {
        removeFile(gState);
        ASSERT_EQ(CKR_OK, f()->C_Initialize(nullptr));
        CK_ULONG n = 1;
        ASSERT_EQ(CKR_OK, f()->C_GetSlotList(CK_TRUE, &slot, &n));
        ASSERT_EQ(1u, n);
    }
    void TearDown() override { f()->C_Finalize(nullptr); }
    CK_SESSION_HANDLE open(CK_FLAGS flags = CKF_SERIAL_SESSION)
    {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(CKR_OK, f()->C_OpenSession(slot, flags, nullptr, nullptr, &h));
        return h;
    }
    CK_SLOT_ID slot = 0;
};

TEST(Start, InitialiseAndFinaliseRules)
{
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f()->C_GetSlotList(CK_FALSE, nullptr, nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f()->C_Finalize(nullptr));
    EXPECT_EQ(CKR_OK, f()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, f()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_OK, f()->C_Finalize(nullptr));

    struct Case {
        const char *reserved;
        bool partialMutexes;
        CK_RV expected;
    } cases[] = {
        {nullptr, false, CKR_OK},
        {"winlogonProcess", false, CKR_OK},
        {"winlogonProcess;dataByThread=POSTE-01", false, CKR_OK},
        {"autre chose", false, CKR_ARGUMENTS_BAD},
        {nullptr, true, CKR_ARGUMENTS_BAD},
    };
    for (const Case &c : cases) {
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = (void *)c.reserved;
        if (c.partialMutexes)
            args.CreateMutex = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
        EXPECT_EQ(c.expected, f()->C_Initialize(&args)) << (c.reserved ? c.reserved : "NULL");
        if (c.expected == CKR_OK) {
            EXPECT_EQ(CKR_OK, f()->C_Finalize(nullptr));
        }
    }
}

TEST_F(Card, SlotListTwoCallProtocol)
{
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotList(CK_FALSE, nullptr, &n));
    EXPECT_EQ(1u, n);
    CK_SLOT_ID ids[2] = {0, 0};
    n = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f()->C_GetSlotList(CK_FALSE, ids, &n));
    EXPECT_EQ(1u, n);
    n = 2;
    EXPECT_EQ(CKR_OK, f()->C_GetSlotList(CK_FALSE, ids, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(slot, ids[0]);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f()->C_GetSlotList(CK_FALSE, ids, nullptr));
}

TEST_F(Card, SlotAndTokenInformation)
{
    CK_SLOT_INFO si;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotInfo(slot, &si));
    EXPECT_EQ(padded("Lecteur Ovrane VEL 0", 64), field(si.slotDescription, 64));
    EXPECT_TRUE(si.flags & CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, f()->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(padded("VEL3v2-MARTIN JEANNE", 32), field(ti.label, 32));
    EXPECT_EQ(padded("2500012345", 16), field(ti.serialNumber, 16));
    EXPECT_EQ(4u, ti.ulMinPinLen);
    EXPECT_EQ(8u, ti.ulMaxPinLen);
    EXPECT_TRUE(ti.flags & CKF_LOGIN_REQUIRED);
    EXPECT_EQ(0u, pinFlags(slot));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, f()->C_GetTokenInfo(slot + 100, &ti));
}

TEST_F(Card, SessionHandlesAreNeverZeroNorAllOnes)
{
    std::vector<CK_SESSION_HANDLE> hs;
    for (int i = 0; i < 50; ++i) {
        CK_SESSION_HANDLE h = open();
        EXPECT_NE(0u, h);
        EXPECT_NE(0xFFFFFFFFu, h);
        hs.push_back(h);
    }
    for (CK_SESSION_HANDLE h : hs)
        EXPECT_EQ(CKR_OK, f()->C_CloseSession(h));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f()->C_CloseSession(hs[0]));
    CK_SESSION_INFO info;
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f()->C_GetSessionInfo(0, &info));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f()->C_GetSessionInfo(0xFFFFFFFF, &info));
    CK_SESSION_HANDLE h;
    EXPECT_EQ(CKR_SESSION_PARALLEL_NOT_SUPPORTED, f()->C_OpenSession(slot, 0, nullptr, nullptr, &h));
}

TEST_F(Card, PinFlagsGoToLockedAndBackByUnblock)
{
    CK_SESSION_HANDLE h = open();
    EXPECT_EQ(CKR_PIN_INCORRECT, login(h, CKU_USER, "0000"));
    EXPECT_EQ(CKF_USER_PIN_COUNT_LOW, pinFlags(slot));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, login(h, CKU_USER, "12")); // costs no try
    EXPECT_EQ(CKR_PIN_INCORRECT, login(h, CKU_USER, "0000"));
    EXPECT_EQ(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY, pinFlags(slot));
    EXPECT_EQ(CKR_PIN_INCORRECT, login(h, CKU_USER, "0000"));
    EXPECT_EQ(CKF_USER_PIN_LOCKED, pinFlags(slot));
    EXPECT_EQ(CKR_PIN_LOCKED, login(h, CKU_USER, "1234"));

    // Unblock as the card manager does: read-write session, officer, InitPIN.
    EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS,
              login(open(CKF_SERIAL_SESSION | CKF_RW_SESSION), CKU_SO, "12345678"));
    EXPECT_EQ(CKR_OK, f()->C_CloseAllSessions(slot));
    CK_SESSION_HANDLE rw = open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(CKR_PIN_INCORRECT, login(rw, CKU_SO, "87654321"));
    EXPECT_EQ(CKF_USER_PIN_LOCKED | CKF_SO_PIN_COUNT_LOW, pinFlags(slot));
    EXPECT_EQ(CKR_OK, login(rw, CKU_SO, "12345678"));
    EXPECT_EQ(CKR_OK, f()->C_InitPIN(rw, (CK_UTF8CHAR *)"4321", 4));
    EXPECT_EQ(CKR_OK, f()->C_Logout(rw));
    EXPECT_EQ(0u, pinFlags(slot));
    EXPECT_EQ(CKR_PIN_INCORRECT, login(rw, CKU_USER, "1234"));
    EXPECT_EQ(CKR_OK, login(rw, CKU_USER, "4321"));
    EXPECT_EQ(0u, pinFlags(slot));
}

TEST_F(Card, LoginIsSharedBySessionsOfTheToken)
{
    CK_SESSION_HANDLE a = open(), b = open();
    ASSERT_EQ(CKR_OK, login(a, CKU_USER, "1234"));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, login(b, CKU_USER, "1234"));
    CK_SESSION_INFO info;
    ASSERT_EQ(CKR_OK, f()->C_GetSessionInfo(b, &info));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, info.state);
    EXPECT_EQ(CKR_OK, f()->C_Logout(b));
    ASSERT_EQ(CKR_OK, f()->C_GetSessionInfo(a, &info));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, info.state);
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, f()->C_Logout(a));
}

TEST_F(Card, PrivateObjectsOnlyAfterLogin)
{
    CK_SESSION_HANDLE h = open();
    EXPECT_EQ(1u, find(h, dataTemplate("VEL_NAME_PS", &kFalse)).size());
    EXPECT_EQ(0u, find(h, dataTemplate("VEL_SIT_FACT", &kTrue)).size());
    EXPECT_EQ(0u, find(h, {{CKA_CLASS, &kPriv, sizeof(kPriv)}}).size());
    EXPECT_EQ(2u, find(h, {{CKA_CLASS, &kPub, sizeof(kPub)}}).size());

    ASSERT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
    std::vector<CK_OBJECT_HANDLE> sit = find(h, dataTemplate("VEL_SIT_FACT", &kTrue));
    ASSERT_EQ(1u, sit.size());
    EXPECT_EQ(3u, find(h, dataTemplate("VEL_ACTIVITY_03_PS", &kTrue)).size() + 2);
    EXPECT_EQ(2u, find(h, {{CKA_CLASS, &kPriv, sizeof(kPriv)}}).size());

    ASSERT_EQ(CKR_OK, f()->C_Logout(h));
    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, f()->C_GetAttributeValue(h, sit[0], &value, 1));
}

TEST_F(Card, AttributeReadsLengthFirst)
{
    CK_SESSION_HANDLE h = open();
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    std::vector<CK_OBJECT_HANDLE> certs =
        find(h, {{CKA_CERTIFICATE_TYPE, &x509, sizeof(x509)}, {CKA_CLASS, &kCert, sizeof(kCert)}});
    ASSERT_EQ(2u, certs.size());
    CK_ATTRIBUTE a[3] = {{CKA_VALUE, nullptr, 0}, {CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}};
    ASSERT_EQ(CKR_OK, f()->C_GetAttributeValue(h, certs[0], a, 3));
    EXPECT_GT(a[0].ulValueLen, 500u);
    EXPECT_EQ(1u, a[1].ulValueLen);
    std::vector<char> label(a[2].ulValueLen);
    a[2].pValue = label.data();
    ASSERT_EQ(CKR_OK, f()->C_GetAttributeValue(h, certs[0], &a[2], 1));
    EXPECT_EQ("Certificat d'Authentification VEL", std::string(label.begin(), label.end()));

    char small[4];
    CK_ATTRIBUTE tooSmall = {CKA_VALUE, small, sizeof(small)};
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f()->C_GetAttributeValue(h, certs[0], &tooSmall, 1));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, tooSmall.ulValueLen);
    CK_ATTRIBUTE missing = {CKA_MODULUS, nullptr, 0};
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, f()->C_GetAttributeValue(h, certs[0], &missing, 1));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, missing.ulValueLen);

    ASSERT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
    std::vector<CK_OBJECT_HANDLE> keys = find(h, {{CKA_CLASS, &kPriv, sizeof(kPriv)}});
    ASSERT_FALSE(keys.empty());
    CK_ULONG bits = 0;
    CK_ATTRIBUTE secret[2] = {{CKA_PRIVATE_EXPONENT, nullptr, 0}, {CKA_MODULUS_BITS, &bits, sizeof(bits)}};
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, f()->C_GetAttributeValue(h, keys[0], secret, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, secret[0].ulValueLen);
    EXPECT_EQ(2048u, bits);
}

TEST_F(Card, SearchBookkeeping)
{
    CK_SESSION_HANDLE h = open();
    CK_OBJECT_HANDLE o;
    CK_ULONG n;
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f()->C_FindObjects(h, &o, 1, &n));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f()->C_FindObjectsFinal(h));
    ASSERT_EQ(CKR_OK, f()->C_FindObjectsInit(h, nullptr, 0));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, f()->C_FindObjectsInit(h, nullptr, 0));
    // Handles come one by one, then none; never 0 nor 0xFFFFFFFF.
    CK_ULONG total = 0;
    while (f()->C_FindObjects(h, &o, 1, &n) == CKR_OK && n == 1) {
        EXPECT_NE(0u, o);
        EXPECT_NE(0xFFFFFFFFu, o);
        ++total;
    }
    EXPECT_EQ(3u + 2 * 2, total); // public data objects, certificates and public keys
    EXPECT_EQ(CKR_OK, f()->C_FindObjectsFinal(h));
}

TEST_F(Card, SetPinInReadOnlySessionLastsForOtherProcesses)
{
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, f()->C_SetPIN(h, (CK_UTF8CHAR *)"1234", 4, (CK_UTF8CHAR *)"12", 2));
    EXPECT_EQ(CKR_PIN_INCORRECT, f()->C_SetPIN(h, (CK_UTF8CHAR *)"9999", 4, (CK_UTF8CHAR *)"5678", 4));
    EXPECT_EQ(CKR_OK, f()->C_SetPIN(h, (CK_UTF8CHAR *)"1234", 4, (CK_UTF8CHAR *)"5678", 4));
    std::string out;
    ASSERT_EQ(0, runSelf(gArgv0, "--probe 1234", &out));
    EXPECT_NE(std::string::npos, out.find("login=0x000000A0")) << out;
    ASSERT_EQ(0, runSelf(gArgv0, "--probe 5678", &out));
    EXPECT_NE(std::string::npos, out.find("login=0x00000000")) << out;
    // The wrong PIN of the other process shows here at the next call.
    ASSERT_EQ(0, runSelf(gArgv0, "--probe 0000", &out));
    EXPECT_EQ(CKF_USER_PIN_COUNT_LOW, pinFlags(slot));
}

TEST_F(Card, RemovalAndInsertionSeenAtTheNextCall)
{
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    CK_SESSION_INFO si;
    EXPECT_EQ(CKR_DEVICE_REMOVED, f()->C_GetSessionInfo(h, &si));
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotList(CK_TRUE, nullptr, &n));
    EXPECT_EQ(0u, n);
    CK_SLOT_INFO info;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotInfo(slot, &info));
    EXPECT_FALSE(info.flags & CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO ti;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, f()->C_GetTokenInfo(slot, &ti));
    CK_SESSION_HANDLE none;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, f()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &none));

    // The same card back: a new insertion, old sessions stay gone, login too.
    ASSERT_EQ(0, control("insert \"Lecteur Ovrane VEL 0\" vel3-default"));
    EXPECT_EQ(CKR_DEVICE_REMOVED, f()->C_GetSessionInfo(h, &si));
    EXPECT_EQ(CKR_OK, f()->C_CloseSession(h));
    CK_SESSION_HANDLE h2 = open();
    ASSERT_EQ(CKR_OK, f()->C_GetSessionInfo(h2, &si));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state);
    // A second process sees the card as well.
    std::string out;
    ASSERT_EQ(0, runSelf(gArgv0, "--probe", &out));
    EXPECT_NE(std::string::npos, out.find("present=1")) << out;
    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    ASSERT_EQ(0, runSelf(gArgv0, "--probe", &out));
    EXPECT_NE(std::string::npos, out.find("present=0")) << out;
}

TEST_F(Card, TwoProcessesAtOnceSeeOneCard)
{
    // Two processes spend and restore tries together: with the state changed
    // under one lock and replaced atomically, no answer is lost or damaged,
    // and never three wrong PINs in a row reach the card.
    std::string outA, outB;
    std::thread other([&] { runSelf(gArgv0, "--hammer 15", &outB); });
    runSelf(gArgv0, "--hammer 15", &outA);
    other.join();
    EXPECT_NE(std::string::npos, outA.find("unexpected=0")) << outA;
    EXPECT_NE(std::string::npos, outB.find("unexpected=0")) << outB;
    EXPECT_EQ(0u, pinFlags(slot));
}

TEST_F(Card, SlotIdsFollowReadersNotTheirOrder)
{
    const std::string a = "Lecteur de cartes USB Ovrane modele 2024 numero 000123 interface 0";
    const std::string b = "Lecteur de cartes USB Ovrane modele 2024 numero 000123 interface 1";
    ASSERT_EQ(0, control("add-reader \"" + a + "\" 7"));
    ASSERT_EQ(0, control("add-reader \"" + b + "\" 3"));
    ASSERT_EQ(0, control("insert \"" + b + "\" vel3-cl"));
    CK_SLOT_ID ids[4];
    CK_ULONG n = 4;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotList(CK_FALSE, ids, &n));
    ASSERT_EQ(3u, n);
    EXPECT_EQ(1u, ids[0]);
    EXPECT_EQ(7u, ids[1]);
    EXPECT_EQ(3u, ids[2]);
    n = 4;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotList(CK_TRUE, ids, &n));
    ASSERT_EQ(2u, n);
    EXPECT_EQ(3u, ids[1]);
    CK_SLOT_INFO si;
    ASSERT_EQ(CKR_OK, f()->C_GetSlotInfo(3, &si));
    EXPECT_EQ(b.substr(0, 64), field(si.slotDescription, 64));
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, f()->C_GetTokenInfo(3, &ti));
    EXPECT_EQ(padded("VEL3v2-CL AB", 32), field(ti.label, 32));
    EXPECT_EQ(padded("12345678", 16), field(ti.serialNumber, 16));

    ASSERT_EQ(0, control("swap \"" + a + "\" \"" + b + "\""));
    ASSERT_EQ(CKR_OK, f()->C_GetTokenInfo(7, &ti));
    EXPECT_EQ(padded("VEL3v2-CL AB", 32), field(ti.label, 32));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, f()->C_GetTokenInfo(3, &ti));
}

TEST_F(Card, OtherCardsOfTheSet)
{
    ASSERT_EQ(0, control("add-reader \"Lecteur 2\" 2"));
    struct Case {
        const char *card;
        CK_RV tokenInfo;
        CK_FLAGS flags;
        size_t certificates;
    } cases[] = {
        {"vel3-blocked", CKR_OK, CKF_USER_PIN_LOCKED, 2},
        {"unknown", CKR_TOKEN_NOT_RECOGNIZED, 0, 0},
        {"vel2-old", CKR_OK, 0, 2},
        {"vel3-cl", CKR_OK, 0, 1},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(0, control(std::string("insert \"Lecteur 2\" ") + c.card));
        CK_TOKEN_INFO ti;
        EXPECT_EQ(c.tokenInfo, f()->C_GetTokenInfo(2, &ti)) << c.card;
        if (c.tokenInfo == CKR_OK) {
            EXPECT_EQ(c.flags, pinFlags(2)) << c.card;
            CK_SESSION_HANDLE h = 0;
            ASSERT_EQ(CKR_OK, f()->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
            EXPECT_EQ(c.certificates, find(h, {{CKA_CLASS, &kCert, sizeof(kCert)}}).size()) << c.card;
        }
        ASSERT_EQ(0, control("remove \"Lecteur 2\""));
    }
}

TEST_F(Card, AStateFileStartedAgainHoldsNewCards)
{
    // Insertion numbers start again with a new state file: a card put in
    // then must not be taken for the one the old sessions knew.
    ASSERT_EQ(0, control("add-reader \"Lecteur 2\" 2"));
    ASSERT_EQ(0, control("insert \"Lecteur 2\" vel3-cl"));
    CK_SESSION_HANDLE old = 0;
    ASSERT_EQ(CKR_OK, f()->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &old));
    EXPECT_EQ(1u, find(old, {{CKA_CLASS, &kCert, sizeof(kCert)}}).size());
    removeFile(gState);
    ASSERT_EQ(0, control("add-reader \"Lecteur 2\" 2"));
    ASSERT_EQ(0, control("insert \"Lecteur 2\" vel3-1024"));
    CK_SESSION_INFO si;
    EXPECT_EQ(CKR_DEVICE_REMOVED, f()->C_GetSessionInfo(old, &si));
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, f()->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
    EXPECT_EQ(2u, find(h, {{CKA_CLASS, &kCert, sizeof(kCert)}}).size());
}

TEST_F(Card, DamagedStateIsReportedAndLeftInPlace)
{
    ASSERT_EQ(0, control("log on"));
    const std::string junk = "softcard-state 1\nreader slot=1 name=\"ouvert\nfin\n";
    writeFile(gState, junk);
    CK_ULONG n = 0;
    EXPECT_EQ(CKR_DEVICE_ERROR, f()->C_GetSlotList(CK_FALSE, nullptr, &n));
    EXPECT_EQ(CKR_DEVICE_ERROR, f()->C_GetSlotInfo(slot, nullptr));
    EXPECT_EQ(junk, readFile(gState));
    EXPECT_NE(std::string::npos, readFile(gState + ".log").find("laiss")) << readFile(gState + ".log");
    EXPECT_NE(0, control("insert \"Lecteur Ovrane VEL 0\" vel3-default"));
    EXPECT_EQ(junk, readFile(gState));
    removeFile(gState);
    EXPECT_EQ(CKR_OK, f()->C_GetSlotList(CK_FALSE, nullptr, &n));
}

TEST_F(Card, InjectedResultsAndCallLog)
{
    ASSERT_EQ(0, control("log on"));
    ASSERT_EQ(0, control("inject C_Login 2 0x30"));
    CK_SESSION_HANDLE h = open();
    EXPECT_EQ(CKR_PIN_INCORRECT, login(h, CKU_USER, "9876"));
    EXPECT_EQ(CKR_DEVICE_ERROR, login(h, CKU_USER, "1234")); // the second call
    EXPECT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
    std::string log = readFile(gState + ".log");
    EXPECT_NE(std::string::npos, log.find("C_Login(")) << log;
    EXPECT_NE(std::string::npos, log.find(") = 0x00000030")) << log;
    EXPECT_EQ(std::string::npos, log.find("1234")) << "a PIN reached the log";
    EXPECT_EQ(std::string::npos, log.find("9876")) << "a PIN reached the log";
    ASSERT_EQ(0, control("log off"));
}

TEST(Start, VendorRetryResultThenFinaliseThreadAndRetry)
{
    removeFile(gState);
    ASSERT_EQ(0, control("inject C_Initialize 1 0x80000002"));
    CK_C_INITIALIZE_ARGS args = {};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = (void *)"winlogonProcess;dataByThread=POSTE-01";
    EXPECT_EQ(0x80000002ul, f()->C_Initialize(&args));
    uint32_t me = currentThread();
    f()->C_Finalize(&me);
    EXPECT_EQ(CKR_OK, f()->C_Initialize(&args));
    EXPECT_EQ(CKR_OK, f()->C_Finalize(nullptr));
}

TEST(Start, FinaliseWithAThreadIdDropsOnlyThatThreadsData)
{
    removeFile(gState);
    CK_C_INITIALIZE_ARGS args = {};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = (void *)"winlogonProcess;dataByThread=POSTE-01";
    ASSERT_EQ(CKR_OK, f()->C_Initialize(&args));
    CK_SESSION_HANDLE mine = 0, theirs = 0;
    ASSERT_EQ(CKR_OK, f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &mine));
    uint32_t other = 0;
    std::thread t([&] {
        other = currentThread();
        EXPECT_EQ(CKR_OK, f()->C_Initialize(&args)); // a thread of its own: its own data
        EXPECT_EQ(CKR_OK, f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &theirs));
    });
    t.join();
    ASSERT_EQ(CKR_OK, f()->C_Finalize(&other));
    CK_SESSION_INFO si;
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f()->C_GetSessionInfo(theirs, &si));
    EXPECT_EQ(CKR_OK, f()->C_GetSessionInfo(mine, &si));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, f()->C_Initialize(&args));
    uint32_t me = currentThread();
    ASSERT_EQ(CKR_OK, f()->C_Finalize(&me));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f()->C_GetSessionInfo(mine, &si));
}

TEST_F(Card, VendorChannelClose)
{
    CK_IC_ForceCloseChannel01 close = forceCloseChannel();
    ASSERT_NE(nullptr, close);
    EXPECT_EQ(CKR_OK, close(slot));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, close(slot + 50));
    ASSERT_EQ(0, control("inject IC_ForceCloseChannel01 1 0x5"));
    EXPECT_EQ(CKR_GENERAL_ERROR, close(slot));
    f()->C_Finalize(nullptr);
    EXPECT_EQ(CKR_OK, close(slot)); // callable while the library is finalised
    f()->C_Initialize(nullptr);
}

TEST_F(Card, MissingArgumentsAreRefused)
{
    CK_SESSION_HANDLE h = open();
    CK_ULONG n = 0;
    CK_MECHANISM m = {CKM_RSA_PKCS, nullptr, 0};
    CK_RV results[] = {
        f()->C_GetSlotInfo(slot, nullptr),
        f()->C_GetTokenInfo(slot, nullptr),
        f()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr),
        f()->C_GetSessionInfo(h, nullptr),
        f()->C_Login(h, CKU_USER, nullptr, 4),
        f()->C_SetPIN(h, nullptr, 4, (CK_UTF8CHAR *)"1234", 4),
        f()->C_InitPIN(h, nullptr, 4),
        f()->C_FindObjectsInit(h, nullptr, 2),
        f()->C_GetAttributeValue(h, 1, nullptr, 1),
        f()->C_SignInit(h, nullptr, 1),
        f()->C_Sign(h, nullptr, 5, nullptr, &n),
        f()->C_DecryptInit(h, nullptr, 1),
        f()->C_GenerateRandom(h, nullptr, 8),
        f()->C_GetMechanismList(slot, nullptr, nullptr),
        f()->C_GetFunctionList(nullptr),
        f()->C_GetInfo(nullptr),
    };
    for (size_t i = 0; i < sizeof(results) / sizeof(results[0]); ++i)
        EXPECT_EQ(CKR_ARGUMENTS_BAD, results[i]) << "case " << i;
    // A length far beyond the buffer is refused before the buffer is read.
    EXPECT_EQ(CKR_PIN_LEN_RANGE, f()->C_Login(h, CKU_USER, (CK_UTF8CHAR *)"1234", 1u << 30));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, f()->C_SetPIN(h, (CK_UTF8CHAR *)"1234", 4, (CK_UTF8CHAR *)"5678", 1u << 30));
    EXPECT_EQ(0u, pinFlags(slot));
    EXPECT_EQ(CKR_USER_TYPE_INVALID, f()->C_Login(h, 7, (CK_UTF8CHAR *)"1234", 4));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f()->C_Sign(h, (CK_BYTE *)"x", 1, nullptr, &n));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f()->C_EncryptInit(h, &m, 1));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f()->C_WaitForSlotEvent(0, nullptr, nullptr));
}

Bytes readBytes(const char *file)
{
    std::string s = readFile(beside(file));
    return Bytes(s.begin(), s.end());
}

// The key of class `cls` that goes with the certificate labelled `label`,
// found the way the card manager finds it (by the certificate's CKA_ID).
CK_OBJECT_HANDLE keyFor(CK_SESSION_HANDLE h, const char *label, CK_OBJECT_CLASS cls)
{
    std::vector<CK_OBJECT_HANDLE> certs = find(
        h, {{CKA_CLASS, &kCert, sizeof(kCert)}, {CKA_LABEL, (void *)label, (CK_ULONG)std::strlen(label)}});
    if (certs.size() != 1)
        return 0;
    uint8_t id[64];
    CK_ATTRIBUTE a = {CKA_ID, id, sizeof(id)};
    if (f()->C_GetAttributeValue(h, certs[0], &a, 1) != CKR_OK)
        return 0;
    CK_BBOOL priv = cls == CKO_PRIVATE_KEY ? CK_TRUE : CK_FALSE;
    std::vector<CK_OBJECT_HANDLE> keys =
        find(h, {{CKA_CLASS, &cls, sizeof(cls)}, {CKA_PRIVATE, &priv, 1}, {CKA_ID, id, a.ulValueLen}});
    return keys.size() == 1 ? keys[0] : 0;
}

const char kAuth[] = "Certificat d'Authentification VEL";
const char kSign[] = "Certificat de Signature VEL";

class Crypto : public Card {
protected:
    void SetUp() override
    {
        Card::SetUp();
        h = open();
        ASSERT_EQ(CKR_OK, login(h, CKU_USER, "1234"));
        message = readBytes("message.txt");
        ASSERT_FALSE(message.empty());
    }
    Bytes signOnePart(CK_MECHANISM_TYPE m, CK_OBJECT_HANDLE key, const Bytes &data)
    {
        CK_MECHANISM mech = {m, nullptr, 0};
        EXPECT_EQ(CKR_OK, f()->C_SignInit(h, &mech, key));
        CK_ULONG len = 0;
        EXPECT_EQ(CKR_OK, f()->C_Sign(h, (CK_BYTE *)data.data(), (CK_ULONG)data.size(), nullptr, &len));
        Bytes sig(len);
        EXPECT_EQ(CKR_OK, f()->C_Sign(h, (CK_BYTE *)data.data(), (CK_ULONG)data.size(), sig.data(), &len));
        sig.resize(len);
        return sig;
    }
    CK_SESSION_HANDLE h = 0;
    Bytes message;
};

TEST_F(Crypto, SignaturesEqualOpensslOnesInOnePartAndInParts)
{
    CK_OBJECT_HANDLE auth = keyFor(h, kAuth, CKO_PRIVATE_KEY), sign = keyFor(h, kSign, CKO_PRIVATE_KEY);
    ASSERT_NE(0u, auth);
    ASSERT_NE(0u, sign);
    Bytes expected256 = readBytes("message.auth.sha256.sig"), expected1 = readBytes("message.sign.sha1.sig");
    ASSERT_EQ(256u, expected256.size());
    EXPECT_EQ(expected256, signOnePart(CKM_SHA256_RSA_PKCS, auth, message));
    EXPECT_EQ(expected1, signOnePart(CKM_SHA1_RSA_PKCS, sign, message));

    // In parts, as the card manager's self-test signs (here 50 bytes a part).
    CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, f()->C_SignInit(h, &mech, auth));
    for (size_t at = 0; at < message.size(); at += 50) {
        CK_ULONG n = (CK_ULONG)std::min<size_t>(50, message.size() - at);
        ASSERT_EQ(CKR_OK, f()->C_SignUpdate(h, message.data() + at, n));
    }
    CK_ULONG len = 100;
    Bytes sig(256);
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f()->C_SignFinal(h, sig.data(), &len)); // still active after this
    EXPECT_EQ(256u, len);
    ASSERT_EQ(CKR_OK, f()->C_SignFinal(h, sig.data(), &len));
    EXPECT_EQ(expected256, sig);
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f()->C_SignFinal(h, sig.data(), &len));

    // Raw PKCS#1 over the DigestInfo gives the same signature.
    static const uint8_t sha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    uint8_t digest[32];
    vel::Sha256::digest(message.data(), message.size(), digest);
    Bytes info(sha256Prefix, sha256Prefix + sizeof(sha256Prefix));
    info.insert(info.end(), digest, digest + 32);
    EXPECT_EQ(expected256, signOnePart(CKM_RSA_PKCS, auth, info));
}

TEST_F(Crypto, VerificationAndItsFailures)
{
    CK_OBJECT_HANDLE pub = keyFor(h, kAuth, CKO_PUBLIC_KEY);
    ASSERT_NE(0u, pub);
    Bytes sig = readBytes("message.auth.sha256.sig");
    CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    struct Case {
        const char *what;
        Bytes signature;
        CK_RV expected;
    } cases[] = {
        {"openssl's signature", sig, CKR_OK},
        {"one bit changed", sig, CKR_SIGNATURE_INVALID},
        {"one byte short", Bytes(sig.begin(), sig.end() - 1), CKR_SIGNATURE_LEN_RANGE},
    };
    cases[1].signature[100] ^= 0x01;
    for (const Case &c : cases) {
        ASSERT_EQ(CKR_OK, f()->C_VerifyInit(h, &mech, pub));
        EXPECT_EQ(c.expected, f()->C_Verify(h, message.data(), (CK_ULONG)message.size(),
                                            (CK_BYTE *)c.signature.data(), (CK_ULONG)c.signature.size()))
            << c.what;
    }
    // In parts too.
    ASSERT_EQ(CKR_OK, f()->C_VerifyInit(h, &mech, pub));
    ASSERT_EQ(CKR_OK, f()->C_VerifyUpdate(h, message.data(), 10));
    ASSERT_EQ(CKR_OK, f()->C_VerifyUpdate(h, message.data() + 10, (CK_ULONG)message.size() - 10));
    EXPECT_EQ(CKR_OK, f()->C_VerifyFinal(h, sig.data(), (CK_ULONG)sig.size()));
    // Raw PKCS#1 of 102 bytes, as the self-test signs and verifies with a 2048-bit key.
    Bytes sample(message.begin(), message.begin() + 102);
    Bytes raw = signOnePart(CKM_RSA_PKCS, keyFor(h, kAuth, CKO_PRIVATE_KEY), sample);
    CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, f()->C_VerifyInit(h, &rsa, pub));
    EXPECT_EQ(CKR_OK,
              f()->C_Verify(h, sample.data(), (CK_ULONG)sample.size(), raw.data(), (CK_ULONG)raw.size()));
    ASSERT_EQ(CKR_OK, f()->C_VerifyInit(h, &rsa, pub));
    EXPECT_EQ(CKR_SIGNATURE_INVALID, f()->C_Verify(h, sample.data(), 101, raw.data(), (CK_ULONG)raw.size()));
    // A private key does not verify, a public key does not sign.
    EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, f()->C_VerifyInit(h, &mech, keyFor(h, kAuth, CKO_PRIVATE_KEY)));
    EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, f()->C_SignInit(h, &mech, pub));
}

TEST_F(Crypto, DecryptsWhatOpensslEncrypted)
{
    CK_OBJECT_HANDLE key = keyFor(h, kAuth, CKO_PRIVATE_KEY);
    Bytes enc = readBytes("secret.auth.enc");
    ASSERT_EQ(256u, enc.size());
    CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, f()->C_DecryptInit(h, &mech, key));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, f()->C_DecryptInit(h, &mech, key));
    CK_ULONG len = 0;
    ASSERT_EQ(CKR_OK, f()->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), nullptr, &len));
    EXPECT_EQ(readBytes("secret.txt").size(), len);
    Bytes out(256);
    len = (CK_ULONG)out.size(); // as the provider calls it: the ciphertext's length
    ASSERT_EQ(CKR_OK, f()->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), out.data(), &len));
    out.resize(len);
    EXPECT_EQ(readBytes("secret.txt"), out);

    ASSERT_EQ(CKR_OK, f()->C_DecryptInit(h, &mech, key));
    EXPECT_EQ(CKR_ENCRYPTED_DATA_LEN_RANGE, f()->C_Decrypt(h, enc.data(), 255, out.data(), &len));
    ASSERT_EQ(CKR_OK, f()->C_DecryptInit(h, &mech, key));
    enc[0] = 0x00;
    enc[1] ^= 0x55; // some other number below the modulus: no valid padding
    EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID,
              f()->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), out.data(), &len));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED,
              f()->C_Decrypt(h, enc.data(), (CK_ULONG)enc.size(), out.data(), &len));
}

TEST_F(Crypto, KeysNeedTheLoginAndTheRightMechanism)
{
    CK_OBJECT_HANDLE key = keyFor(h, kAuth, CKO_PRIVATE_KEY);
    CK_MECHANISM rsa = {CKM_RSA_PKCS, nullptr, 0}, other = {CKM_RSA_X_509, nullptr, 0};
    EXPECT_EQ(CKR_MECHANISM_INVALID, f()->C_SignInit(h, &other, key));
    CK_MECHANISM sha = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(CKR_MECHANISM_INVALID, f()->C_DecryptInit(h, &sha, key));
    ASSERT_EQ(CKR_OK, f()->C_SignInit(h, &rsa, key));
    Bytes tooLong(256 - 10, 1);
    CK_ULONG len = 256;
    Bytes sig(256);
    EXPECT_EQ(CKR_DATA_LEN_RANGE, f()->C_Sign(h, tooLong.data(), (CK_ULONG)tooLong.size(), sig.data(), &len));
    ASSERT_EQ(CKR_OK, f()->C_Logout(h));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, f()->C_SignInit(h, &rsa, key));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, f()->C_SignInit(h, &rsa, 0));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, f()->C_SignInit(h, &rsa, 0xFFFFFFFF));
    uint8_t challenge[8] = {0};
    EXPECT_EQ(CKR_OK, f()->C_GenerateRandom(h, challenge, sizeof(challenge)));
}

// Every failure of a call that goes on with an operation ends it, whatever
// stage found it (arguments, lengths, the card); a length query and a buffer
// too small leave it active. The next start of the same kind tells which.
TEST_F(Crypto, FailuresEndTheOperationButNotSizeQueries)
{
    CK_OBJECT_HANDLE priv = keyFor(h, kAuth, CKO_PRIVATE_KEY), pub = keyFor(h, kAuth, CKO_PUBLIC_KEY);
    ASSERT_NE(0u, priv);
    ASSERT_NE(0u, pub);
    enum Kind { kSignOp, kVerifyOp, kDecryptOp };
    Bytes enc = readBytes("secret.auth.enc"), sig = readBytes("message.auth.sha256.sig");
    CK_BYTE one = 0x30, buf[256];
    const CK_ULONG kHuge = ~CK_ULONG(0);
    struct Case {
        const char *what;
        Kind kind;
        CK_MECHANISM_TYPE mechanism;
        const char *inject; // a control program command run first, or NULL
        CK_RV expected;
        bool stillActive;
        std::function<CK_RV(CK_SESSION_HANDLE)> call;
    } cases[] = {
        {"sign: no length pointer", kSignOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD, false,
         [&](CK_SESSION_HANDLE s) { return f()->C_Sign(s, &one, 1, buf, nullptr); }},
        {"sign: NULL data with a length", kSignOp, CKM_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD, false,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 256;
             return f()->C_Sign(s, nullptr, 5, buf, &n);
         }},
        {"sign: raw data too long", kSignOp, CKM_RSA_PKCS, nullptr, CKR_DATA_LEN_RANGE, false,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 256;
             Bytes d(246, 1);
             return f()->C_Sign(s, d.data(), 246, buf, &n);
         }},
        {"sign: failure of the card", kSignOp, CKM_SHA256_RSA_PKCS, "inject C_Sign 1 0x30", CKR_DEVICE_ERROR,
         false,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 256;
             return f()->C_Sign(s, &one, 1, buf, &n);
         }},
        {"sign: length query", kSignOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_OK, true,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 0;
             return f()->C_Sign(s, &one, 1, nullptr, &n);
         }},
        {"sign: buffer too small", kSignOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_BUFFER_TOO_SMALL, true,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 255;
             return f()->C_Sign(s, &one, 1, buf, &n);
         }},
        {"sign update: NULL part with a length", kSignOp, CKM_SHA1_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD,
         false, [&](CK_SESSION_HANDLE s) { return f()->C_SignUpdate(s, nullptr, 3); }},
        // The length check must not wrap around after a first part.
        {"sign update: a part of the largest length", kSignOp, CKM_RSA_PKCS, nullptr, CKR_DATA_LEN_RANGE,
         false,
         [&](CK_SESSION_HANDLE s) {
             CK_RV rv = f()->C_SignUpdate(s, &one, 1);
             return rv == CKR_OK ? f()->C_SignUpdate(s, &one, kHuge) : rv;
         }},
        {"sign final: no length pointer", kSignOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD, false,
         [&](CK_SESSION_HANDLE s) { return f()->C_SignFinal(s, buf, nullptr); }},
        {"verify: no signature", kVerifyOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD, false,
         [&](CK_SESSION_HANDLE s) { return f()->C_Verify(s, &one, 1, nullptr, 256); }},
        {"verify update: raw data of the largest length", kVerifyOp, CKM_RSA_PKCS, nullptr,
         CKR_DATA_LEN_RANGE, false, [&](CK_SESSION_HANDLE s) { return f()->C_VerifyUpdate(s, &one, kHuge); }},
        {"verify update: NULL part with a length", kVerifyOp, CKM_SHA256_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD,
         false, [&](CK_SESSION_HANDLE s) { return f()->C_VerifyUpdate(s, nullptr, 3); }},
        {"verify final: signature of the wrong length", kVerifyOp, CKM_SHA256_RSA_PKCS, nullptr,
         CKR_SIGNATURE_LEN_RANGE, false,
         [&](CK_SESSION_HANDLE s) { return f()->C_VerifyFinal(s, sig.data(), 255); }},
        {"decrypt: no length pointer", kDecryptOp, CKM_RSA_PKCS, nullptr, CKR_ARGUMENTS_BAD, false,
         [&](CK_SESSION_HANDLE s) {
             return f()->C_Decrypt(s, enc.data(), (CK_ULONG)enc.size(), buf, nullptr);
         }},
        {"decrypt: failure of the card", kDecryptOp, CKM_RSA_PKCS, "inject C_Decrypt 1 0x6",
         CKR_FUNCTION_FAILED, false,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 256;
             return f()->C_Decrypt(s, enc.data(), 256, buf, &n);
         }},
        {"decrypt: length query", kDecryptOp, CKM_RSA_PKCS, nullptr, CKR_OK, true,
         [&](CK_SESSION_HANDLE s) {
             CK_ULONG n = 0;
             return f()->C_Decrypt(s, enc.data(), 256, nullptr, &n);
         }},
    };
    for (const Case &c : cases) {
        CK_SESSION_HANDLE s = open(); // h keeps the login
        CK_MECHANISM mech = {c.mechanism, nullptr, 0};
        auto start = [&]() {
            return c.kind == kSignOp     ? f()->C_SignInit(s, &mech, priv)
                   : c.kind == kVerifyOp ? f()->C_VerifyInit(s, &mech, pub)
                                         : f()->C_DecryptInit(s, &mech, priv);
        };
        ASSERT_EQ(CKR_OK, start()) << c.what;
        if (c.inject) {
            ASSERT_EQ(0, control(c.inject)) << c.what;
        }
        EXPECT_EQ(c.expected, c.call(s)) << c.what;
        EXPECT_EQ(c.stillActive ? CKR_OPERATION_ACTIVE : CKR_OK, start()) << c.what;
        EXPECT_EQ(CKR_OK, f()->C_CloseSession(s)) << c.what;
    }
}

TEST_F(Crypto, ManyThreadsSignAtOnce)
{
    CK_OBJECT_HANDLE key = keyFor(h, kAuth, CKO_PRIVATE_KEY);
    Bytes expected = readBytes("message.auth.sha256.sig");
    std::vector<std::thread> threads;
    std::vector<int> good(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            CK_SESSION_HANDLE mine;
            if (f()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &mine) != CKR_OK)
                return;
            CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
            for (int i = 0; i < 3; ++i) {
                Bytes sig(256);
                CK_ULONG len = 256;
                if (f()->C_SignInit(mine, &mech, key) == CKR_OK &&
                    f()->C_Sign(mine, (CK_BYTE *)message.data(), (CK_ULONG)message.size(), sig.data(),
                                &len) == CKR_OK &&
                    sig == expected)
                    ++good[t];
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (int t = 0; t < 8; ++t)
        EXPECT_EQ(3, good[t]) << "thread " << t;
}

} // namespace

// The second process of the tests: loads the card, prints what it sees, and
// presents a PIN when one is given.
static int probe(const char *pin)
{
    if (f()->C_Initialize(nullptr) != CKR_OK)
        return 1;
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    CK_RV rv = f()->C_GetSlotList(CK_TRUE, slots, &n);
    std::printf("present=%lu\n", rv == CKR_OK ? (unsigned long)n : 0ul);
    if (pin && rv == CKR_OK && n > 0) {
        CK_SESSION_HANDLE h;
        rv = f()->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &h);
        if (rv == CKR_OK)
            rv = login(h, CKU_USER, pin);
        std::printf("login=0x%08lX\n", (unsigned long)rv);
    }
    f()->C_Finalize(nullptr);
    return 0;
}

// Another second process: n rounds of a wrong then the right PIN; prints the
// number of answers other than those two expected ones.
static int hammer(int rounds)
{
    if (f()->C_Initialize(nullptr) != CKR_OK)
        return 1;
    int unexpected = 0;
    for (int i = 0; i < rounds; ++i) {
        CK_SESSION_HANDLE h;
        if (f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) {
            ++unexpected;
            continue;
        }
        unexpected += login(h, CKU_USER, "0000") != CKR_PIN_INCORRECT;
        unexpected += login(h, CKU_USER, "1234") != CKR_OK;
        f()->C_CloseSession(h);
    }
    std::printf("unexpected=%d\n", unexpected);
    f()->C_Finalize(nullptr);
    return 0;
}

int main(int argc, char **argv)
{
    gArgv0 = argv[0];
    if (argc >= 3 && std::strcmp(argv[1], "--hammer") == 0)
        return hammer(std::atoi(argv[2]));
    if (argc >= 2 && std::strcmp(argv[1], "--probe") == 0)
        return probe(argc >= 3 ? argv[2] : nullptr); // same state: VEL_SOFTCARD_STATE is inherited
    gState = usePrivateState("library");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
