// The card side of the tray program driven step by step (poll, then the
// re-initialisation it asks for) on the software card, with the user's
// "MY" store read back through crypt32 after each step.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "cert_store.h"
#include "loaded_library.h"
#include "store_view.h"
#include "zeb_core.h"

using namespace zebtest;
using softcard_test::control;

namespace {

const char kReader0[] = "\"Lecteur Ovrane VEL 0\"";

// The software card keeps the state file it found when first loaded: one
// per program, put back to its default card for each test.
void FreshCard()
{
    static std::string state = softcard_test::usePrivateState("zebcore");
    ASSERT_EQ(0, control("reset"));
    ASSERT_TRUE(RegisterProvider());
}

struct Recorder : zeb::CoreSink {
    std::vector<int> statuses;
    int initAgain = 0;
    void PostStatus(int s) override { statuses.push_back(s); }
    void PostInitAgain() override { ++initAgain; }
};

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreshCard();
        ClearMy();
        zeb::Settings s;
        s.sleepMs = 0; // the tests pace the polls themselves
        core = std::make_unique<zeb::ZebCore>(&sink, s);
        core->Reinitialise(); // the first scan, as the initial thread makes it
    }
    void TearDown() override
    {
        core.reset();
        ClearMy();
    }
    // One poll; the re-initialisation it asked for, if any. True when one ran.
    bool Cycle()
    {
        int before = sink.initAgain;
        EXPECT_TRUE(core->PollOnce());
        if (sink.initAgain == before)
            return false;
        core->Reinitialise();
        return true;
    }
    Recorder sink;
    std::unique_ptr<zeb::ZebCore> core;
};

TEST_F(CoreTest, CardCertificatesBoundToTheProviderWhileTheCardIsIn)
{
    auto bound = BoundCerts();
    ASSERT_EQ(2u, bound.size());
    for (const auto &b : bound) {
        EXPECT_EQ(std::wstring(kProvider), b.provider);
        EXPECT_EQ(1u, b.provType);
        if (b.der == CardCert("auth")) {
            EXPECT_EQ(L"0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567", b.container);
            EXPECT_EQ((DWORD)AT_KEYEXCHANGE, b.keySpec);
        } else {
            EXPECT_EQ(CardCert("sign"), b.der);
            EXPECT_EQ(L"0q10UFR10UOvraneTest10U250001234510UMARTINJEANNESIGNATURE10U810001234567",
                      b.container);
            EXPECT_EQ((DWORD)AT_SIGNATURE, b.keySpec);
        }
    }
    EXPECT_EQ(1, core->SyncCount());
    EXPECT_FALSE(Cycle()) << "nothing changed: no re-initialisation";

    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Cycle());
    EXPECT_TRUE(BoundCerts().empty());
    EXPECT_EQ(0, core->SyncCount());
    EXPECT_EQ(zeb::kStatusNoCard, sink.statuses.back());

    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());
}

// The user's own entries of the card's certificates: the same certificate
// bound by the user to another provider or taken in without its key while
// the card is in, or another certificate of the same issuer and serial
// there before it. They are not ours: the card's removal leaves them and
// takes only the entries bound to the card provider.
TEST_F(CoreTest, TheUsersOwnEntriesOfTheCardsCertificatesStayWhenTheCardLeaves)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Cycle());
    for (const UsersEntry &users : UsersEntriesOfTheDefaultCard()) {
        SCOPED_TRACE(users.what);
        ClearMy();
        if (users.before)
            AddUsersEntry(users);
        ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
        EXPECT_TRUE(Cycle());
        if (!users.before)
            AddUsersEntry(users);
        std::set<std::vector<BYTE>> ours = Certs({"auth", "sign"});
        if (!users.before)
            ours.erase(users.der); // the user's entry took its place
        ASSERT_EQ(ours, BoundDers());
        ASSERT_TRUE(HoldsUsersEntry(users));

        ASSERT_EQ(0, control(std::string("remove ") + kReader0));
        EXPECT_TRUE(Cycle());
        EXPECT_TRUE(BoundDers().empty()) << "ours leave with the card";
        EXPECT_TRUE(HoldsUsersEntry(users)) << "the user's entry stays";
    }
}

TEST_F(CoreTest, CardSwappedBetweenTwoPollsIsSeen)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-1024"));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());
}

TEST_F(CoreTest, TwoReadersTwoCardsEachRemovalTakesOnlyItsOwn)
{
    ASSERT_EQ(0, control("add-reader \"Lecteur B\""));
    ASSERT_EQ(0, control("insert \"Lecteur B\" vel3-1024"));
    EXPECT_TRUE(Cycle()); // a slot more: everything read again
    EXPECT_EQ(Certs({"auth", "sign", "auth1024", "sign1024"}), BoundDers());
    EXPECT_EQ(2, core->SyncCount());

    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());

    // The two cards change readers between two polls: each reader's entry now
    // holds the other card; the store ends with exactly the cards present.
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-cl"));
    EXPECT_TRUE(Cycle());
    ASSERT_EQ(0, control(std::string("swap ") + kReader0 + " \"Lecteur B\""));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"tech", "auth1024", "sign1024"}), BoundDers());
    ASSERT_EQ(0, control("remove \"Lecteur B\""));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());
}

// As many slots as before, but not the same ones: one reader unplugged and
// another plugged in between two polls, with a card.
TEST_F(CoreTest, AReaderReplacedByAnotherBetweenTwoPollsIsSeen)
{
    ASSERT_EQ(0, control("add-reader \"Lecteur B\" 2"));
    EXPECT_TRUE(Cycle());
    ASSERT_EQ(0, control("remove-reader \"Lecteur B\""));
    ASSERT_EQ(0, control("add-reader \"Lecteur C\" 3"));
    ASSERT_EQ(0, control("insert \"Lecteur C\" vel3-1024"));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign", "auth1024", "sign1024"}), BoundDers());
    EXPECT_EQ(2, core->SyncCount());
}

TEST_F(CoreTest, SameCertificatesInTwoReadersStayUntilTheLastCardLeaves)
{
    ASSERT_EQ(0, control("add-reader \"Lecteur B\""));
    std::string twin = softcard_test::beside("cards\\vel3-default.card");
    std::string copy = softcard_test::beside("twin-default.card");
    ASSERT_TRUE(CopyFileA(twin.c_str(), copy.c_str(), FALSE));
    ASSERT_EQ(0, control("insert \"Lecteur B\" \"" + copy + "\""));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());

    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers()) << "the twin card still holds them";
    ASSERT_EQ(0, control("remove \"Lecteur B\""));
    EXPECT_TRUE(Cycle());
    EXPECT_TRUE(BoundDers().empty());
    DeleteFileA(copy.c_str());
}

TEST_F(CoreTest, CleanUpTakesOnlyCertificatesBoundToTheCardProvider)
{
    // Certificates of other providers, one differing only in letter case.
    AddBound(CardCert("ca"), L"Other Provider", L"other");
    AddBound(CardCert("tech"), L"ovrane cryptographic provider", L"lower");
    EXPECT_TRUE(zeb::ZEB_cleanCAPICerts());
    EXPECT_TRUE(BoundCerts().empty());
    EXPECT_EQ(Certs({"ca"}), BoundDers(L"Other Provider"));
    EXPECT_EQ(Certs({"tech"}), BoundDers(L"ovrane cryptographic provider"));
}

TEST_F(CoreTest, UnreadableCertificateFailsTheSlotAndLeavesNothingThenRetries)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    EXPECT_TRUE(Cycle());
    // The second certificate's value cannot be read: the first one added is
    // taken out again, the slot counts as failed and is read again later.
    ASSERT_EQ(0, control("inject C_GetAttributeValue 3 0x30"));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
    EXPECT_TRUE(Cycle());
    EXPECT_TRUE(BoundCerts().empty());
    EXPECT_EQ(0, core->SyncCount());
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());
}

// Sessions of this process the software card holds open (its handles are
// numbered from 0x1000 up): probed up to a fresh session's handle.
int OpenSessions(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot)
{
    CK_SESSION_HANDLE last = 0;
    if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &last) != CKR_OK)
        return -1;
    f->C_CloseSession(last);
    int open = 0;
    for (CK_SESSION_HANDLE h = 0x1000; h < last; ++h) {
        CK_SESSION_INFO info;
        open += f->C_GetSessionInfo(h, &info) == CKR_OK;
    }
    return open;
}

// With the provider gone, every certificate's addition fails: the card is
// not synchronised, and it is propagated once the provider is back. Two such
// cards failing poll after poll keep one session each at most.
TEST_F(CoreTest, AStoreThatTakesNothingIsAFailureRetriedWithoutLeakingSessions)
{
    ASSERT_EQ(0, control("add-reader \"Lecteur B\""));
    ASSERT_EQ(0, control("insert \"Lecteur B\" vel3-1024"));
    ASSERT_TRUE(UnregisterProvider());
    core.reset();
    ClearMy();
    zeb::Settings s;
    s.sleepMs = 0;
    core = std::make_unique<zeb::ZebCore>(&sink, s);
    core->Reinitialise();
    EXPECT_TRUE(BoundCerts().empty());
    EXPECT_EQ(0, core->SyncCount());
    EXPECT_EQ(zeb::kStatusNoCard, sink.statuses.back());
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(Cycle()) << "a failed card is read again at each poll";
    int sessions = OpenSessions(*core->FunctionList(), 1);
    EXPECT_LE(0, sessions);
    EXPECT_GE(2, sessions) << "sessions kept by failed propagations";
    EXPECT_EQ(0, core->SyncCount());

    ASSERT_TRUE(RegisterProvider());
    EXPECT_TRUE(Cycle());
    EXPECT_FALSE(Cycle()) << "nothing left to do";
    EXPECT_EQ(Certs({"auth", "sign", "auth1024", "sign1024"}), BoundDers());
    EXPECT_EQ(2, core->SyncCount());
    EXPECT_EQ(zeb::kStatusSynchronised, sink.statuses.back());
}

// A library announcing a certificate value longer than any certificate:
// the read is refused before anything is allocated, the slot fails, and the
// slot table is free again.
decltype(CK_FUNCTION_LIST::C_GetAttributeValue) g_realGetAttribute;
CK_ULONG g_announcedLength;
CK_RV AnnouncingGetAttribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    CK_RV rv = g_realGetAttribute(s, o, t, n);
    if (rv == CKR_OK && n == 1 && t[0].type == CKA_VALUE && !t[0].pValue)
        t[0].ulValueLen = g_announcedLength;
    return rv;
}

TEST_F(CoreTest, AttributeLengthsBeyondAnyCertificateAreRefused)
{
    CK_FUNCTION_LIST_PTR real = *core->FunctionList();
    ASSERT_TRUE(real);
    core.reset();
    ClearMy();
    static CK_FUNCTION_LIST announcing = *real;
    g_realGetAttribute = real->C_GetAttributeValue;
    announcing.C_GetAttributeValue = AnnouncingGetAttribute;
    zeb::Settings s;
    s.sleepMs = 0;
    // 100 KB first: beyond the bound, yet small enough to be harmless where
    // nothing bounds it; then about 4 GB.
    for (CK_ULONG announced : {CK_ULONG(100 * 1024), CK_ULONG(0xFFFFFFF0)}) {
        SCOPED_TRACE(announced);
        g_announcedLength = announced;
        zeb::ZebCore bounded(&sink, s);
        *bounded.FunctionList() = &announcing;
        bounded.Reinitialise();
        ASSERT_TRUE(BoundCerts().empty());
        EXPECT_EQ(0, bounded.SyncCount());
        EXPECT_EQ(1ul, bounded.AvailableSlots()) << "the slot table is free again";
    }
}

TEST_F(CoreTest, LibraryThatCannotStartShowsNoCard)
{
    core.reset();
    ClearMy();
    ASSERT_EQ(0, control("inject C_Initialize 1 0x6"));
    zeb::Settings s;
    s.sleepMs = 0;
    Recorder sink2;
    zeb::ZebCore failing(&sink2, s);
    failing.Reinitialise();
    EXPECT_EQ(zeb::kStatusNoCard, sink2.statuses.back());
    EXPECT_TRUE(BoundCerts().empty());
}

} // namespace

namespace {

// A card call failing at any step of the scan or the propagation: the store
// never holds a partial card, and the card ends propagated, then removed.
TEST_F(CoreTest, AFailureAtEachCardCallNeverLeavesAPartialOrStaleStore)
{
    const char *functions[] = {
        "C_GetSlotList", "C_GetSlotInfo",      "C_GetTokenInfo",      "C_OpenSession",  "C_FindObjectsInit",
        "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue", "C_CloseSession", "C_Initialize"};
    const auto card = Certs({"auth", "sign"});
    for (const char *function : functions) {
        for (int nth = 1; nth <= 4; ++nth) {
            SCOPED_TRACE(std::string(function) + " call " + std::to_string(nth));
            ASSERT_EQ(0, control(std::string("remove ") + kReader0));
            for (int i = 0; i < 3 && !BoundDers().empty(); ++i)
                Cycle();
            ASSERT_TRUE(BoundDers().empty());
            ASSERT_EQ(0, control(std::string("inject ") + function + " " + std::to_string(nth) + " 0x30"));
            ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
            for (int i = 0; i < 4; ++i) {
                Cycle();
                auto now = BoundDers();
                ASSERT_TRUE(now.empty() || now == card) << "a partial card after cycle " << i;
            }
            EXPECT_EQ(card, BoundDers());
            EXPECT_EQ(1, core->SyncCount());
            ASSERT_EQ(0, control("inject clear"));
        }
    }
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    for (int i = 0; i < 3 && !BoundDers().empty(); ++i)
        Cycle();
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_EQ(0, core->SyncCount());
}

} // namespace

namespace {

// The reader monitor's calls (event-driven mode): entries found by the
// reader's name, whatever slot id the monitor last saw.
class ReaderEventsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreshCard();
        ClearMy();
        ASSERT_EQ(0, control("add-reader \"Lecteur B\" 7"));
        ASSERT_EQ(0, control("insert \"Lecteur B\" vel3-1024"));
    }
    void TearDown() override { ClearMy(); }
    std::unique_ptr<zeb::ZebCore> Make(DWORD webauthn)
    {
        zeb::Settings s;
        s.patch_fido_v4 = 1;
        s.patch_fido_webauthn = webauthn;
        return std::make_unique<zeb::ZebCore>(&sink, s);
    }
    Recorder sink;
};

TEST_F(ReaderEventsTest, EachReaderKeepsItsOwnCertificates)
{
    auto core = Make(0);
    // Slot ids as a monitor may have them: stale (99) or another reader's (1).
    EXPECT_TRUE(core->InsertCertificatesFromSlot(99, "Lecteur Ovrane VEL 0", 3));
    EXPECT_TRUE(core->InsertCertificatesFromSlot(1, "Lecteur B", 3));
    EXPECT_EQ(Certs({"auth", "sign", "auth1024", "sign1024"}), BoundDers());
    EXPECT_EQ(2, core->SyncCount());
    EXPECT_TRUE(core->InsertCertificatesFromSlot(1, "Lecteur B", 3)) << "already propagated";
    EXPECT_EQ(2, core->SyncCount());

    ASSERT_EQ(0, control("remove \"Lecteur Ovrane VEL 0\""));
    EXPECT_TRUE(core->DeleteCertificatesFromSlot(7, "Lecteur Ovrane VEL 0", 3));
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());
    EXPECT_FALSE(core->DeleteCertificatesFromSlot(7, "Lecteur Ovrane VEL 0", 3)) << "nothing left to remove";
    EXPECT_FALSE(core->DeleteCertificatesFromSlot(7, "Lecteur", 3)) << "a name prefix is another reader";
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());
    EXPECT_EQ(1, core->SyncCount());

    // A removal finds its entry by name: no slot id (-1) is refused for an
    // insertion only.
    struct Bad {
        CK_SLOT_ID slot;
        const char *reader;
        unsigned char version;
        bool removalToo;
    } bad[] = {{1, nullptr, 3, true},
               {1, "", 3, true},
               {1, "Lecteur B", 0, true},
               {static_cast<CK_SLOT_ID>(-1), "Lecteur B", 3, false}};
    for (const auto &b : bad) {
        EXPECT_FALSE(core->InsertCertificatesFromSlot(b.slot, b.reader, b.version));
        if (b.removalToo) {
            EXPECT_FALSE(core->DeleteCertificatesFromSlot(b.slot, b.reader, b.version));
        }
    }
    EXPECT_EQ(Certs({"auth1024", "sign1024"}), BoundDers());
    core.reset();
    EXPECT_TRUE(BoundDers().empty()) << "the end of the program takes them out";
}

// A reader the monitor sees with a card whose propagation failed is neither
// shown as synchronised nor counted, and its card's removal leaves the other
// card counted (the icon stays on "synchronised").
TEST_F(ReaderEventsTest, APresentCardNotPropagatedIsNeitherShownSynchronisedNorCounted)
{
    auto core = Make(0);
    using R = zeb::ReaderPresence;
    EXPECT_TRUE(core->InsertCertificatesFromSlot(0, "Lecteur Ovrane VEL 0", 3));
    EXPECT_TRUE(core->SyncSlotInfos({R{"Lecteur Ovrane VEL 0", true}, R{"Lecteur B", true}}));
    std::vector<zeb::SlotRow> rows;
    ASSERT_TRUE(core->TrySlotRows(&rows));
    ASSERT_EQ(2u, rows.size());
    EXPECT_TRUE(rows[0].synchro);
    EXPECT_FALSE(rows[1].synchro) << "nothing of Lecteur B was propagated";
    EXPECT_EQ(1, core->SyncCount());
    core->DeleteCertificatesFromSlot(1, "Lecteur B", 3);
    EXPECT_EQ(1, core->SyncCount());
    EXPECT_EQ(zeb::kStatusSynchronised, sink.statuses.back());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());
}

TEST_F(ReaderEventsTest, WebAuthnExclusiveModeCountsTheCardWithoutPropagating)
{
    auto core = Make(30);
    EXPECT_TRUE(core->InsertCertificatesFromSlot(1, "Lecteur Ovrane VEL 0", 3));
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_EQ(1, core->SyncCount());
    EXPECT_EQ(zeb::kStatusSynchronised, sink.statuses.back());
    EXPECT_TRUE(core->DeleteCertificatesFromSlot(1, "Lecteur Ovrane VEL 0", 3));
    EXPECT_EQ(0, core->SyncCount());
    EXPECT_EQ(zeb::kStatusNoCard, sink.statuses.back());
}

} // namespace

namespace {

TEST_F(ReaderEventsTest, ReaderListChangesKeepEachCardsCertificatesWithItsReader)
{
    auto core = Make(0);
    using R = zeb::ReaderPresence;
    EXPECT_TRUE(core->SyncSlotInfos({R{"Lecteur Ovrane VEL 0", true}, R{"Lecteur B", true}}));
    EXPECT_TRUE(core->InsertCertificatesFromSlot(0, "Lecteur Ovrane VEL 0", 3));
    EXPECT_TRUE(core->InsertCertificatesFromSlot(1, "Lecteur B", 3));
    const auto both = Certs({"auth", "sign", "auth1024", "sign1024"});
    ASSERT_EQ(both, BoundDers());
    // Another order, and a reader more: each entry follows its reader.
    EXPECT_TRUE(
        core->SyncSlotInfos({R{"Lecteur C", false}, R{"Lecteur B", true}, R{"Lecteur Ovrane VEL 0", true}}));
    EXPECT_EQ(both, BoundDers());
    EXPECT_EQ(3u, core->AvailableSlots());
    ASSERT_EQ(0, control("remove \"Lecteur B\""));
    EXPECT_TRUE(core->DeleteCertificatesFromSlot(1, "Lecteur B", 3));
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());
    // The default card's reader unplugged: its certificates go with it.
    EXPECT_FALSE(core->SyncSlotInfos({R{"Lecteur B", false}}));
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_EQ(0, core->SyncCount());
}

} // namespace

namespace {

// A card image made from the default card: `extra` DER certificates added
// (without keys), or every certificate and key left out.
// `serial` replaces the last four digits of the serial number: a card of its own.
std::string CardImage(const char *name, const char *serial, const std::vector<std::vector<BYTE>> &extra,
                      bool withoutCerts)
{
    std::string dir = softcard_test::beside("");
    std::string base = dir + "zeb-base.card", path = dir + name + std::string(".card");
    EXPECT_EQ(0, control("export vel3-default \"" + base + "\""));
    std::string in = ReadText(base), out;
    bool skipping = false;
    size_t pos = 0;
    while (pos < in.size()) {
        size_t nl = in.find('\n', pos);
        std::string line = in.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos + 1);
        pos = nl == std::string::npos ? in.size() : nl + 1;
        if (!line.empty() && line[0] != ' ' && line[0] != '\t')
            skipping = withoutCerts && (line.rfind("cert ", 0) == 0 || line.rfind("key ", 0) == 0);
        if (line.rfind("token ", 0) == 0) {
            size_t at = line.find("serial=\"");
            if (at != std::string::npos)
                line.replace(at + 8, 4, serial);
        }
        if (!skipping)
            out += line;
    }
    int id = 3;
    for (const auto &der : extra) {
        char head[64];
        snprintf(head, sizeof head, "cert label=\"Extra\" id=%02d\n", id++);
        out += head;
        for (size_t i = 0; i < der.size(); i += 32) {
            out += "    ";
            for (size_t k = i; k < der.size() && k < i + 32; ++k) {
                char hex[3];
                snprintf(hex, sizeof hex, "%02X", der[k]);
                out += hex;
            }
            out += "\n";
        }
    }
    softcard_test::writeFile(path, out);
    DeleteFileA(base.c_str());
    return path;
}

TEST_F(CoreTest, EveryCertificateOfTheCardIsBoundAndACardWithoutAnyFails)
{
    std::string three = CardImage("zeb-three", "9993", {CardCert("no-key-usage")}, false);
    std::string none = CardImage("zeb-none", "9990", {}, true);
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " \"" + three + "\""));
    EXPECT_TRUE(Cycle());
    ASSERT_EQ(Certs({"auth", "sign", "no-key-usage"}), BoundDers());
    for (const auto &b : BoundCerts()) {
        if (b.der == CardCert("no-key-usage")) {
            EXPECT_EQ(0u, b.keySpec) << "no key usage, no key spec";
        }
    }

    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " \"" + none + "\""));
    sink.statuses.clear();
    EXPECT_TRUE(Cycle());
    EXPECT_TRUE(BoundDers().empty());
    EXPECT_EQ(0, core->SyncCount());
    ASSERT_FALSE(sink.statuses.empty());
    EXPECT_EQ(zeb::kStatusNoCard, sink.statuses.back());
    EXPECT_TRUE(Cycle()) << "a failed slot is read again at the next poll";
    DeleteFileA(three.c_str());
    DeleteFileA(none.c_str());
}

TEST_F(CoreTest, ACertificateWhoseContainerNameTheProviderCannotServeIsLeftOut)
{
    // Over 511 characters: the provider could not find the card from it, so
    // it is not bound; the card's other certificates are.
    std::string longer = CardImage("zeb-long", "9994", {CardCert("long-subject")}, false);
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " \"" + longer + "\""));
    EXPECT_TRUE(Cycle());
    EXPECT_EQ(Certs({"auth", "sign"}), BoundDers());
    EXPECT_EQ(1, core->SyncCount());
    DeleteFileA(longer.c_str());
}

} // namespace

namespace {

// The store steps report failure with the platform's own last error.
TEST_F(CoreTest, StoreStepsFailWithTheirLastError)
{
    std::vector<BYTE> garbage = {0x30, 0x03, 0x02, 0x01};
    std::unique_ptr<zeb::CertRecord> record;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(zeb::propCert("name", garbage.data(), (DWORD)garbage.size(), &record, AT_KEYEXCHANGE));
    EXPECT_EQ((DWORD)CRYPT_E_ASN1_CORRUPT, GetLastError());
    EXPECT_FALSE(record);

    zeb::CertRecord absent{{0x30, 0x00}, {0x01}};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(zeb::DeleteRecordedCert(absent));
    EXPECT_EQ((DWORD)CRYPT_E_NOT_FOUND, GetLastError());
}

} // namespace
