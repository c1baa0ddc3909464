// The PC/SC stand-in's entry points, one thread: exports by name, contexts,
// the reader list, status and ATRs of each kind of card, the cards' answers,
// reset, removal, the card database, injected results and hostile callers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs11.h"
#include "scard_fixture.h"

using namespace pcsc_test;

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kVel3Atr = {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                        0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
const Bytes kVel4Atr = {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                        0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};
const Bytes kSelectMf = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kSelect5F78 = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x5F, 0x78};
const Bytes kSelectVel = {0x00, 0xA4, 0x04, 0x00, 0x08, 0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x02};
const Bytes kCloseChannel1 = {0x00, 0x70, 0x80, 0x01, 0x00};
const Bytes kGetResponse = {0xA0, 0xC0, 0x00, 0x00, 0x17};

class ScardCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UsePrivateState("calls"); }
    void SetUp() override
    {
        ASSERT_EQ(0, SoftcardCtl("reset"));
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx));
    }
    void TearDown() override { Winscard().release(ctx); }

    SCARDHANDLE Connect(const char *reader, DWORD share = SCARD_SHARE_SHARED, LONG *rv = nullptr)
    {
        SCARDHANDLE h = 0;
        DWORD protocol = 0;
        LONG r =
            Winscard().connectA(ctx, reader, share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &protocol);
        if (rv)
            *rv = r;
        else
            EXPECT_EQ(SCARD_S_SUCCESS, r);
        return h;
    }
    Bytes SwOf(SCARDHANDLE h, const Bytes &apdu)
    {
        LONG rv = 0;
        Bytes r = Send(h, apdu, &rv);
        EXPECT_EQ(SCARD_S_SUCCESS, rv);
        return r.size() >= 2 ? Bytes(r.end() - 2, r.end()) : r;
    }

    SCARDCONTEXT ctx = 0;
};

TEST_F(ScardCalls, EveryEntryPointIsExportedByName)
{
    Winscard();
    HMODULE m = GetModuleHandleA("winscard.dll");
    ASSERT_NE(nullptr, m);
    for (const char *name : ExportNames())
        EXPECT_NE(nullptr, GetProcAddress(m, name)) << name;
    EXPECT_EQ(DWORD(SCARD_PROTOCOL_T0), Winscard().t0Pci->dwProtocol);
    EXPECT_EQ(DWORD(sizeof(SCARD_IO_REQUEST)), Winscard().t0Pci->cbPciLength);
}

TEST_F(ScardCalls, ContextsAreCheckedOnEveryCall)
{
    SCARDCONTEXT other = 0;
    EXPECT_EQ(SCARD_E_INVALID_VALUE, Winscard().establish(7, nullptr, nullptr, &other));
    EXPECT_EQ(SCARD_E_INVALID_PARAMETER, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, nullptr));
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &other));
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().isValid(other));
    SCARDHANDLE card = Connect(kReader0);
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().release(other));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().release(other));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().isValid(other));
    // A card handle is no context, and the reverse.
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().isValid(card));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().disconnect(ctx, SCARD_LEAVE_CARD));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().cancel(0));
    // Releasing a context ends its card handles.
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().release(ctx));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().disconnect(card, SCARD_LEAVE_CARD));
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx));
}

TEST_F(ScardCalls, ReaderListFollowsTheSizeQueryProtocol)
{
    ASSERT_EQ(0, SoftcardCtl("add-reader \"Lecteur sans contact 1\""));
    const char expected[] = "Lecteur Ovrane VEL 0\0Lecteur sans contact 1\0";
    const DWORD size = sizeof(expected); // both NULs of the end included
    DWORD n = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().listReadersA(ctx, nullptr, nullptr, &n));
    EXPECT_EQ(size, n);
    char shortBuf[8];
    std::memset(shortBuf, 'x', sizeof(shortBuf));
    n = sizeof(shortBuf);
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER, Winscard().listReadersA(ctx, nullptr, shortBuf, &n));
    EXPECT_EQ(size, n);
    EXPECT_EQ('x', shortBuf[0]);
    char buf[128];
    n = sizeof(buf);
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().listReadersA(ctx, nullptr, buf, &n));
    EXPECT_EQ(0, std::memcmp(buf, expected, size));
    char *allocated = nullptr;
    n = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().listReadersA(ctx, nullptr, reinterpret_cast<char *>(&allocated), &n));
    EXPECT_EQ(size, n);
    EXPECT_EQ(0, std::memcmp(allocated, expected, size));
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().freeMemory(ctx, allocated));
    EXPECT_EQ(SCARD_E_INVALID_PARAMETER, Winscard().freeMemory(ctx, allocated)); // not twice
    wchar_t wide[128];
    n = 128;
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().listReadersW(ctx, nullptr, wide, &n));
    EXPECT_EQ(size, n);
    EXPECT_EQ(0, std::wmemcmp(wide, L"Lecteur Ovrane VEL 0\0Lecteur sans contact 1\0", size));
    EXPECT_EQ(SCARD_E_INVALID_PARAMETER, Winscard().listReadersA(ctx, nullptr, buf, nullptr));
    // Context 0 is allowed; a stale one is not.
    n = sizeof(buf);
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().listReadersA(0, nullptr, buf, &n));
    n = sizeof(buf);
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().listReadersA(ctx + 16, nullptr, buf, &n));
    ASSERT_EQ(0, SoftcardCtl("remove-reader \"Lecteur sans contact 1\""));
    ASSERT_EQ(0, SoftcardCtl("remove-reader \"Lecteur Ovrane VEL 0\""));
    n = sizeof(buf);
    EXPECT_EQ(SCARD_E_NO_READERS_AVAILABLE, Winscard().listReadersA(ctx, nullptr, buf, &n));
}

// Each kind of card as SCardStatus and a zero-timeout status query show it.
TEST_F(ScardCalls, StatusShowsEachCardsAtr)
{
    struct Case {
        const char *card;
        Bytes atr;
    } cases[] = {
        {"vel3-default", kVel3Atr},
        {"@vel4-default", kVel4Atr},
        {"@fido-badge", {0x3B, 0x8A, 0x80, 0x01, 0x46, 0x49, 0x44, 0x30, 0x42, 0x41, 0x44, 0x47, 0x45, 0x00}},
        {"vel2-old", {}}, // checked against the reader state below
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.card);
        ASSERT_EQ(0, SoftcardCtl(std::string("remove \"") + kReader0 + "\""));
        std::string card = c.card[0] == '@' ? "\"" + CardImage(c.card + 1) + "\"" : c.card;
        ASSERT_EQ(0, SoftcardCtl(std::string("insert \"") + kReader0 + "\" " + card));
        SCARDHANDLE h = Connect(kReader0);
        char names[64];
        DWORD nNames = sizeof(names), state = 0, protocol = 0, nAtr = 36;
        BYTE atr[36];
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().statusA(h, names, &nNames, &state, &protocol, atr, &nAtr));
        EXPECT_STREQ(kReader0, names);
        EXPECT_EQ(sizeof(kReader0) + 1, nNames);
        EXPECT_EQ(DWORD(SCARD_SPECIFIC), state);
        EXPECT_EQ(DWORD(SCARD_PROTOCOL_T0), protocol);
        SCARD_READERSTATEA rs = {};
        rs.szReader = kReader0;
        ASSERT_EQ(SCARD_S_SUCCESS, Winscard().statusChangeA(ctx, 0, &rs, 1));
        EXPECT_EQ(DWORD(SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED),
                  rs.dwEventState & 0xFFFF);
        EXPECT_EQ(Bytes(atr, atr + nAtr), Bytes(rs.rgbAtr, rs.rgbAtr + rs.cbAtr));
        if (!c.atr.empty()) {
            EXPECT_EQ(c.atr, Bytes(atr, atr + nAtr));
        }
        // One byte short: the size needed, nothing written.
        BYTE shortAtr[4] = {0xEE};
        nAtr = 4;
        EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER,
                  Winscard().statusA(h, nullptr, nullptr, nullptr, nullptr, shortAtr, &nAtr));
        EXPECT_EQ(rs.cbAtr, nAtr);
        EXPECT_EQ(0xEE, shortAtr[0]);
        EXPECT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(h, SCARD_LEAVE_CARD));
    }
}

// The answers of a VEL4 card: health checks, repair by selection or reset,
// the logical channel a browser leaves open.
TEST_F(ScardCalls, Vel4CardAnswersAsItsMemorySays)
{
    ASSERT_EQ(0, SoftcardCtl(std::string("remove \"") + kReader0 + "\""));
    ASSERT_EQ(0,
              SoftcardCtl(std::string("insert \"") + kReader0 + "\" \"" + CardImage("vel4-default") + "\""));
    SCARDHANDLE h = Connect(kReader0);
    EXPECT_EQ(Bytes({0x9F, 0x17}), SwOf(h, kSelectMf));
    EXPECT_EQ(Bytes({0x94, 0x04}), SwOf(h, kSelect5F78));
    EXPECT_EQ(Bytes({0x68, 0x81}), SwOf(h, kCloseChannel1)); // nothing open
    // Another application took channel 0: the GSM class is unknown there.
    ASSERT_EQ(0, PcscCtl(std::string("take-channel0 \"") + kReader0 + "\""));
    EXPECT_EQ(Bytes({0x6E, 0x00}), SwOf(h, kSelectMf));
    EXPECT_EQ(Bytes({0x6E, 0x00}), SwOf(h, kSelect5F78));
    EXPECT_EQ(Bytes({0x90, 0x00}), SwOf(h, kSelectVel)); // repaired by selection
    EXPECT_EQ(Bytes({0x9F, 0x17}), SwOf(h, kSelectMf));
    ASSERT_EQ(0, PcscCtl(std::string("take-channel0 \"") + kReader0 + "\""));
    DWORD protocol = 0;
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().reconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &protocol));
    EXPECT_EQ(Bytes({0x9F, 0x17}), SwOf(h, kSelectMf)); // repaired by reset
    ASSERT_EQ(0, PcscCtl(std::string("open-channel \"") + kReader0 + "\""));
    EXPECT_EQ(Bytes({0x90, 0x00}), SwOf(h, kCloseChannel1));
    EXPECT_EQ(Bytes({0x68, 0x81}), SwOf(h, kCloseChannel1));
    // An answer longer than the receive buffer: an error, the buffer untouched.
    Bytes small(4, 0xEE);
    DWORD n = 4;
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER,
              Winscard().transmit(h, Winscard().t0Pci, kGetResponse.data(), DWORD(kGetResponse.size()),
                                  nullptr, small.data(), &n));
    EXPECT_EQ(DWORD(0x19), n);
    EXPECT_EQ(Bytes(4, 0xEE), small);
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(h, SCARD_LEAVE_CARD));
}

TEST_F(ScardCalls, OtherCardsAnswerTheirOwnWay)
{
    struct Case {
        const char *card;
        Bytes apdu, sw;
    } cases[] = {
        {"vel3-default", kSelectMf, {0x9F, 0x17}},
        {"vel3-default", kSelectVel, {0x90, 0x00}},
        {"vel3-default", kCloseChannel1, {0x68, 0x81}}, // no logical channels
        {"@fido-badge",
         {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01},
         {0x90, 0x00}},
        {"@fido-badge", kSelectMf, {0x6E, 0x00}},
        {"unknown", kSelectVel, {0x6D, 0x00}},
        {"vel3-default", {0x00, 0xA4}, {0x67, 0x00}}, // shorter than a header
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.card);
        SoftcardCtl(std::string("remove \"") + kReader0 + "\"");
        std::string card = c.card[0] == '@' ? "\"" + CardImage(c.card + 1) + "\"" : c.card;
        ASSERT_EQ(0, SoftcardCtl(std::string("insert \"") + kReader0 + "\" " + card));
        SCARDHANDLE h = Connect(kReader0);
        EXPECT_EQ(c.sw, SwOf(h, c.apdu));
        Winscard().disconnect(h, SCARD_LEAVE_CARD);
    }
}

TEST_F(ScardCalls, ResetAndRemovalReachEveryHandle)
{
    SCARDHANDLE a = Connect(kReader0), b = Connect(kReader0);
    DWORD protocol = 0;
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().reconnect(a, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &protocol));
    LONG rv = 0;
    Send(b, kSelectMf, &rv);
    EXPECT_EQ(SCARD_W_RESET_CARD, rv);
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().reconnect(b, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &protocol));
    Send(b, kSelectMf, &rv);
    EXPECT_EQ(SCARD_S_SUCCESS, rv);
    // Disconnecting with a reset reaches the others too.
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(a, SCARD_RESET_CARD));
    Send(b, kSelectMf, &rv);
    EXPECT_EQ(SCARD_W_RESET_CARD, rv);
    ASSERT_EQ(SCARD_S_SUCCESS,
              Winscard().reconnect(b, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &protocol));
    // Removed, then another card inserted: the handle's card is gone.
    ASSERT_EQ(0, SoftcardCtl(std::string("remove \"") + kReader0 + "\""));
    Send(b, kSelectMf, &rv);
    EXPECT_EQ(SCARD_W_REMOVED_CARD, rv);
    ASSERT_EQ(0, SoftcardCtl(std::string("insert \"") + kReader0 + "\" vel3-cl"));
    DWORD state = 0;
    EXPECT_EQ(SCARD_W_REMOVED_CARD,
              Winscard().statusA(b, nullptr, nullptr, &state, nullptr, nullptr, nullptr));
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(b, SCARD_LEAVE_CARD));
    // No card at all.
    ASSERT_EQ(0, SoftcardCtl(std::string("remove \"") + kReader0 + "\""));
    Connect(kReader0, SCARD_SHARE_SHARED, &rv);
    EXPECT_EQ(SCARD_E_NO_SMARTCARD, rv);
    Connect("Lecteur inconnu", SCARD_SHARE_SHARED, &rv);
    EXPECT_EQ(SCARD_E_UNKNOWN_READER, rv);
}

// The software card's library, as the tray loads it beside PC/SC.
CK_FUNCTION_LIST *SoftcardLibrary()
{
    static CK_FUNCTION_LIST *list = [] {
        CK_FUNCTION_LIST *l = nullptr;
        HMODULE m = LoadLibraryA(PCSC_TEST_SOFTCARD_DLL);
        auto get = m ? reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
                           reinterpret_cast<void *>(GetProcAddress(m, "C_GetFunctionList")))
                     : nullptr;
        if (!get || get(&l) != CKR_OK || l->C_Initialize(nullptr) != CKR_OK)
            return static_cast<CK_FUNCTION_LIST *>(nullptr);
        return l;
    }();
    return list;
}

// One state, two views: what softcard_ctl changes shows at once, and alike,
// to PC/SC (readers with a card) and to the PKCS#11 library (slots with a token).
TEST_F(ScardCalls, PcscAndPkcs11SeeTheSameReadersAndCards)
{
    CK_FUNCTION_LIST *p11 = SoftcardLibrary();
    ASSERT_NE(nullptr, p11);
    auto pcscView = [&] {
        std::vector<std::string> withCard;
        char names[512];
        DWORD n = sizeof(names);
        if (Winscard().listReadersA(ctx, nullptr, names, &n) != SCARD_S_SUCCESS)
            return withCard;
        for (const char *r = names; *r; r += std::strlen(r) + 1) {
            SCARD_READERSTATEA rs = {};
            rs.szReader = r;
            Winscard().statusChangeA(ctx, 0, &rs, 1);
            if (rs.dwEventState & SCARD_STATE_PRESENT)
                withCard.push_back(r);
        }
        return withCard;
    };
    auto pkcs11View = [&] {
        std::vector<std::string> withToken;
        CK_SLOT_ID slots[8];
        CK_ULONG count = 8;
        if (p11->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK)
            return withToken;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_SLOT_INFO info;
            p11->C_GetSlotInfo(slots[i], &info);
            std::string d(reinterpret_cast<const char *>(info.slotDescription), 64);
            withToken.push_back(d.substr(0, d.find_last_not_of(' ') + 1));
        }
        return withToken;
    };
    const std::vector<std::string> reader0 = {kReader0};
    struct Step {
        std::string command;
        std::vector<std::string> withCard;
    } steps[] = {
        {"add-reader \"Lecteur Ovrane VEL 1\" 2", reader0},
        {"insert \"Lecteur Ovrane VEL 1\" \"" + CardImage("vel4-default") + "\"",
         {kReader0, "Lecteur Ovrane VEL 1"}},
        {std::string("remove \"") + kReader0 + "\"", {"Lecteur Ovrane VEL 1"}},
        {"swap \"Lecteur Ovrane VEL 1\" \"Lecteur Ovrane VEL 0\"", reader0},
        {"remove-reader \"Lecteur Ovrane VEL 1\"", reader0},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.command);
        ASSERT_EQ(0, SoftcardCtl(step.command));
        EXPECT_EQ(step.withCard, pcscView());
        EXPECT_EQ(step.withCard, pkcs11View());
    }
}

// The card database: the provider registered for "Velcarte VEL3".
TEST_F(ScardCalls, CardTypeProviderComesFromTheCardDatabase)
{
    const char key[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Velcarte VEL3";
    const char provider[] = "Ovrane Cryptographic Provider";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    char buf[64];
    DWORD n = sizeof(buf);
    EXPECT_EQ(SCARD_E_UNKNOWN_CARD, Winscard().providerA(ctx, "Velcarte VEL3", SCARD_PROVIDER_CSP, buf, &n));
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr));
    RegSetValueExA(h, "Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE *>(provider),
                   sizeof(provider));
    RegCloseKey(h);
    n = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().providerA(ctx, "Velcarte VEL3", SCARD_PROVIDER_CSP, nullptr, &n));
    EXPECT_EQ(sizeof(provider), n);
    n = 5;
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER,
              Winscard().providerA(ctx, "Velcarte VEL3", SCARD_PROVIDER_CSP, buf, &n));
    n = sizeof(buf);
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().providerA(ctx, "Velcarte VEL3", SCARD_PROVIDER_CSP, buf, &n));
    EXPECT_STREQ(provider, buf);
    wchar_t wide[64];
    n = 64;
    ASSERT_EQ(SCARD_S_SUCCESS, Winscard().providerW(ctx, L"Velcarte VEL3", SCARD_PROVIDER_CSP, wide, &n));
    EXPECT_STREQ(L"Ovrane Cryptographic Provider", wide);
    n = sizeof(buf);
    EXPECT_EQ(SCARD_E_UNKNOWN_CARD, Winscard().providerA(ctx, "Velcarte VEL3", SCARD_PROVIDER_KSP, buf, &n));
    EXPECT_EQ(SCARD_E_INVALID_VALUE, Winscard().providerA(ctx, "Velcarte VEL3", 99, buf, &n));
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, Winscard().providerA(0, "Velcarte VEL3", SCARD_PROVIDER_CSP, buf, &n));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
}

TEST_F(ScardCalls, InjectedResultsAndLatencyReachTheCardCalls)
{
    SCARDHANDLE h = Connect(kReader0);
    ASSERT_EQ(0, PcscCtl("inject SCardTransmit 2 0x80100066"));
    LONG rv = 0;
    Send(h, kSelectMf, &rv);
    EXPECT_EQ(SCARD_S_SUCCESS, rv);
    Send(h, kSelectMf, &rv);
    EXPECT_EQ(SCARD_W_UNRESPONSIVE_CARD, rv);
    Send(h, kSelectMf, &rv); // one shot
    EXPECT_EQ(SCARD_S_SUCCESS, rv);
    ASSERT_EQ(0, PcscCtl("inject SCardConnect 1 0x8010000B"));
    Connect(kReader0, SCARD_SHARE_SHARED, &rv);
    EXPECT_EQ(SCARD_E_SHARING_VIOLATION, rv);
    EXPECT_NE(0, PcscCtl("inject C_Login 1 0")); // PC/SC calls only
}

// Missing pointers, bad values and huge lengths at each entry point.
TEST_F(ScardCalls, HostileCallersGetClearCodes)
{
    SCARDHANDLE h = Connect(kReader0);
    BYTE buf[258];
    DWORD n = sizeof(buf), protocol = 0;
    SCARDHANDLE other = 0;
    const SCARD_IO_REQUEST t1 = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
    struct Case {
        const char *what;
        LONG got, expected;
    } cases[] = {
        {"transmit without send PCI", Winscard().transmit(h, nullptr, kSelectMf.data(), 7, nullptr, buf, &n),
         SCARD_E_INVALID_PARAMETER},
        {"transmit without command", Winscard().transmit(h, Winscard().t0Pci, nullptr, 7, nullptr, buf, &n),
         SCARD_E_INVALID_PARAMETER},
        {"transmit without length",
         Winscard().transmit(h, Winscard().t0Pci, kSelectMf.data(), 7, nullptr, buf, nullptr),
         SCARD_E_INVALID_PARAMETER},
        {"transmit of a huge command",
         Winscard().transmit(h, Winscard().t0Pci, buf, 0x7FFFFFFF, nullptr, buf, &n),
         SCARD_E_INVALID_PARAMETER},
        {"transmit of nothing", Winscard().transmit(h, Winscard().t0Pci, buf, 0, nullptr, buf, &n),
         SCARD_E_INVALID_PARAMETER},
        {"transmit on another protocol", Winscard().transmit(h, &t1, kSelectMf.data(), 7, nullptr, buf, &n),
         SCARD_E_PROTO_MISMATCH},
        {"connect without reader",
         Winscard().connectA(ctx, nullptr, SCARD_SHARE_SHARED, 1, &other, &protocol),
         SCARD_E_INVALID_PARAMETER},
        {"connect without handle",
         Winscard().connectA(ctx, kReader0, SCARD_SHARE_SHARED, 1, nullptr, &protocol),
         SCARD_E_INVALID_PARAMETER},
        {"connect in mode 9", Winscard().connectA(ctx, kReader0, 9, 1, &other, &protocol),
         SCARD_E_INVALID_VALUE},
        {"connect shared with no protocol",
         Winscard().connectA(ctx, kReader0, SCARD_SHARE_SHARED, 0, &other, &protocol), SCARD_E_INVALID_VALUE},
        {"status change without states", Winscard().statusChangeA(ctx, 0, nullptr, 1),
         SCARD_E_INVALID_PARAMETER},
        {"status change of nothing", Winscard().statusChangeA(ctx, 0, nullptr, 0), SCARD_E_TIMEOUT},
        {"reconnect with init 9", Winscard().reconnect(h, SCARD_SHARE_SHARED, 1, 9, &protocol),
         SCARD_E_INVALID_VALUE},
        {"disconnect with disposition 9", Winscard().disconnect(h, 9), SCARD_E_INVALID_VALUE},
        {"end of no transaction", Winscard().endTransaction(h, SCARD_LEAVE_CARD), SCARD_E_NOT_TRANSACTED},
        {"free of foreign memory", Winscard().freeMemory(ctx, buf), SCARD_E_INVALID_PARAMETER},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, c.got) << c.what;
    SCARD_READERSTATEA nameless = {};
    EXPECT_EQ(SCARD_E_INVALID_VALUE, Winscard().statusChangeA(ctx, 0, &nameless, 1));
    std::vector<SCARD_READERSTATEA> many(1000);
    for (auto &s : many)
        s.szReader = kReader0;
    EXPECT_EQ(SCARD_E_INVALID_VALUE, Winscard().statusChangeA(ctx, 0, many.data(), DWORD(many.size())));
    EXPECT_EQ(SCARD_S_SUCCESS, Winscard().disconnect(h, SCARD_LEAVE_CARD));
}

} // namespace
