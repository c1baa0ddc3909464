// Event-driven mode in one process (the card side and the reader monitor,
// beside the PC/SC stand-in), the user's "MY" store read back after each
// step: cards swapped, replaced or pulled back while another one (or they
// themselves) propagate, a card gone before the monitor's first look, a slot
// listing or a card call that fails. The store ends holding exactly the
// certificates of the cards present.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "FramePcsc.h"
#include "event_log.h"
#include "loaded_library.h"
#include "store_view.h"
#include "pcsc_test_support.h"

using namespace zebtest;
using softcard_test::control;

namespace {

const char kReader0[] = "\"Lecteur Ovrane VEL 0\"";
const char kReader1[] = "\"Lecteur Ovrane VEL 1\"";
const DWORD kEventMs = 20000;

struct NullSink : zeb::CoreSink {
    void PostStatus(int) override {}
    void PostInitAgain() override {}
};

class EventStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::string state = softcard_test::usePrivateState("zebeventstore");
        log = state + ".events";
        ASSERT_EQ(0, control("reset"));
        ASSERT_EQ(0, control(std::string("add-reader ") + kReader1 + " 2"));
        ASSERT_TRUE(RegisterProvider());
        ClearMy();
        DeleteFileA(log.c_str());
        SetEventLogPath(log.c_str());
        zeb::Settings settings;
        settings.patch_fido_v4 = 1;
        core = std::make_unique<zeb::ZebCore>(&sink, settings);
        pcsc = std::make_unique<zeb::FramePcsc>(*core);
    }
    void TearDown() override
    {
        pcsc.reset();
        core.reset();
        if (HasFailure())
            printf("event log:\n%s\n", ReadText(log).c_str());
        SetEventLogPath(nullptr);
        ASSERT_EQ(0, control("latency 0"));
        ASSERT_EQ(0, control("inject clear"));
        ClearMy();
        DeleteFileA(log.c_str());
    }
    // The start-up listing, then the reader monitor.
    void Start()
    {
        core->InitSlotList();
        pcsc->Start(nullptr);
    }
    bool Bound(const std::set<std::vector<BYTE>> &expected)
    {
        return WaitUntil([&] { return BoundDers() == expected; }, kEventMs);
    }
    size_t Count(const char *text)
    {
        std::string all = ReadText(log);
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }
    // Waits until `text` was logged `times` times in all.
    bool Logged(const char *text, size_t times = 1)
    {
        return WaitUntil([&] { return Count(text) >= times; }, kEventMs);
    }
    NullSink sink;
    std::string log;
    std::unique_ptr<zeb::ZebCore> core;
    std::unique_ptr<zeb::FramePcsc> pcsc;
};

const char kInsertEnd[] = "[ZEB] MainFrm InsertCertificatesFromSlot end";
const char kOpening[] = "CryptPropCert openSession start";

TEST_F(EventStore, CardsSwappedBetweenReadersThenOneRemoved)
{
    ASSERT_EQ(0, control(std::string("insert ") + kReader1 + " vel3-1024"));
    Start();
    ASSERT_TRUE(Bound(Certs({"auth", "sign", "auth1024", "sign1024"})));
    ASSERT_TRUE(Logged(kInsertEnd, 2));
    size_t before = Count(kInsertEnd);
    ASSERT_EQ(0, control(std::string("swap ") + kReader0 + " " + kReader1));
    EXPECT_TRUE(Logged(kInsertEnd, before + 2)) << "both readers hold another card";
    ASSERT_EQ(0, control(std::string("remove ") + kReader0)); // the 1024-bit card, now
    EXPECT_TRUE(Bound(Certs({"auth", "sign"})));
    EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 1; }, kEventMs));
}

TEST_F(EventStore, ACardReplacedWhileAnotherPropagates)
{
    Start();
    ASSERT_TRUE(Bound(Certs({"auth", "sign"})));
    ASSERT_EQ(0, control("latency 300"));
    size_t opening = Count(kOpening);
    ASSERT_EQ(0, control(std::string("insert ") + kReader1 + " vel3-1024"));
    ASSERT_TRUE(Logged(kOpening, opening + 1));
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-cl"));
    EXPECT_TRUE(Bound(Certs({"tech", "auth1024", "sign1024"})));
    EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 2; }, kEventMs));
}

TEST_F(EventStore, ACardPulledDuringItsOwnPropagationAndPushedBack)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    Start();
    ASSERT_TRUE(Logged("[ZEB] PCSC monitoring thread started"));
    ASSERT_EQ(0, control("latency 300"));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
    ASSERT_TRUE(Logged(kOpening));
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
    ASSERT_EQ(0, control("latency 0"));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"})));
    EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 1; }, kEventMs));
}

TEST_F(EventStore, ACardPulledBeforeTheMonitorsFirstLook)
{
    core->InitSlotList();
    ASSERT_EQ(Certs({"auth", "sign"}), BoundDers());
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    pcsc->Start(nullptr);
    EXPECT_TRUE(Bound({}));
    EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 0; }, kEventMs));
    // Another card in that reader later: propagated, not taken for the first.
    ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-1024"));
    EXPECT_TRUE(Bound(Certs({"auth1024", "sign1024"})));
}

// A reader whose name is longer than a slot description (64 characters):
// its slot is found by the description's width, its card propagated and
// removed.
TEST_F(EventStore, AReaderWithALongNameIsServed)
{
    const std::string name = "Lecteur de cartes a puce du poste de travail de l'accueil, port USB 3";
    ASSERT_LT(64u, name.size());
    ASSERT_EQ(0, control("add-reader \"" + name + "\" 5"));
    Start();
    ASSERT_TRUE(Bound(Certs({"auth", "sign"})));
    ASSERT_EQ(0, control("insert \"" + name + "\" vel3-1024"));
    EXPECT_TRUE(Bound(Certs({"auth", "sign", "auth1024", "sign1024"})));
    ASSERT_EQ(0, control("remove \"" + name + "\""));
    EXPECT_TRUE(Bound(Certs({"auth", "sign"})));
}

// Two readers of one long-named model: their names agree on the 64
// characters a slot description keeps. Each card is propagated and removed
// as its own, whether the cards were there at start-up (the start-up listing
// by descriptions, then the monitor) or come afterwards.
TEST_F(EventStore, ReadersNamedAlikeOverTheirFirst64CharactersEachHaveTheirCard)
{
    const std::string model = "Lecteur Ovrane VEL sans contact double interface modele professionnel ";
    const std::string twin0 = "\"" + model + "0\"", twin1 = "\"" + model + "1\"";
    ASSERT_EQ(0, control("reset"));
    ASSERT_EQ(0, control("remove-reader \"Lecteur Ovrane VEL 0\""));
    ASSERT_EQ(0, control("add-reader " + twin0 + " 3"));
    ASSERT_EQ(0, control("add-reader " + twin1 + " 4"));
    for (bool atStart : {true, false}) {
        SCOPED_TRACE(atStart ? "cards there at start-up" : "cards put in afterwards");
        if (atStart) {
            ASSERT_EQ(0, control("insert " + twin0 + " vel3-default"));
            ASSERT_EQ(0, control("insert " + twin1 + " vel3-1024"));
        }
        Start();
        ASSERT_TRUE(Logged("[ZEB] PCSC monitoring thread started"));
        if (!atStart) {
            ASSERT_TRUE(Logged(("[ZEB] reader[1]=" + model + "1").c_str()));
            ASSERT_EQ(0, control("insert " + twin1 + " vel3-1024"));
            EXPECT_TRUE(Bound(Certs({"auth1024", "sign1024"}))) << "the second reader's card";
            ASSERT_EQ(0, control("insert " + twin0 + " vel3-default"));
        }
        EXPECT_TRUE(Bound(Certs({"auth", "sign", "auth1024", "sign1024"})));
        EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 2; }, kEventMs));
        EXPECT_EQ(0u, Count("slot cache miss"));
        ASSERT_EQ(0, control("remove " + twin1));
        EXPECT_TRUE(Bound(Certs({"auth", "sign"}))) << "the second reader's card only";
        ASSERT_EQ(0, control("insert " + twin1 + " vel3-cl"));
        EXPECT_TRUE(Bound(Certs({"auth", "sign", "tech"})));
        ASSERT_EQ(0, control("remove " + twin0));
        EXPECT_TRUE(Bound(Certs({"tech"}))) << "the first reader's card only";
        ASSERT_EQ(0, control("remove " + twin1));
        EXPECT_TRUE(Bound({}));
        EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 0; }, kEventMs));
        pcsc.reset();
        core.reset();
        zeb::Settings settings;
        settings.patch_fido_v4 = 1;
        core = std::make_unique<zeb::ZebCore>(&sink, settings);
        pcsc = std::make_unique<zeb::FramePcsc>(*core);
        DeleteFileA(log.c_str());
    }
}

// The user's own entries of the card's certificates stay when the card
// leaves; only ours go.
TEST_F(EventStore, TheUsersOwnEntriesOfTheCardsCertificatesStayWhenTheCardLeaves)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader0));
    Start();
    ASSERT_TRUE(Logged("[ZEB] PCSC monitoring thread started"));
    for (const UsersEntry &users : UsersEntriesOfTheDefaultCard()) {
        SCOPED_TRACE(users.what);
        ClearMy();
        if (users.before)
            AddUsersEntry(users);
        ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
        ASSERT_TRUE(Bound(Certs({"auth", "sign"})));
        if (!users.before) {
            AddUsersEntry(users);
            std::set<std::vector<BYTE>> ours = Certs({"auth", "sign"});
            ours.erase(users.der); // the user's entry took its place
            ASSERT_EQ(ours, BoundDers());
        }
        ASSERT_TRUE(HoldsUsersEntry(users));
        ASSERT_EQ(0, control(std::string("remove ") + kReader0));
        EXPECT_TRUE(Bound({})) << "ours leave with the card";
        EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 0; }, kEventMs));
        EXPECT_TRUE(HoldsUsersEntry(users)) << "the user's entry stays";
    }
}

// A card call that fails once: the slot listing (the removal that follows
// still reaches the store), the session of a propagation (tried again).
TEST_F(EventStore, AFailedCardCallIsNeverTheLastWord)
{
    struct Case {
        const char *inject, *failed;
    } cases[] = {{"C_GetSlotList 1 0x6", "[ZEB] slot cache getSlotList FAILED"},
                 {"C_OpenSession 1 0x6", "[ZEB] CryptPropCert FAILED"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.inject);
        if (&c != cases) {
            ASSERT_EQ(0, control(std::string("insert ") + kReader0 + " vel3-default"));
        }
        Start();
        ASSERT_TRUE(Bound(Certs({"auth", "sign"})));
        ASSERT_TRUE(Logged("[ZEB] PCSC monitoring thread started"));
        size_t failures = Count(c.failed);
        ASSERT_EQ(0, control(std::string("inject ") + c.inject));
        ASSERT_EQ(0, control(std::string("insert ") + kReader1 + " vel3-1024"));
        ASSERT_TRUE(Logged(c.failed, failures + 1));
        ASSERT_EQ(0, control(std::string("remove ") + kReader0));
        EXPECT_TRUE(Bound(Certs({"auth1024", "sign1024"})));
        EXPECT_TRUE(WaitUntil([&] { return core->SyncCount() == 1; }, kEventMs));
        ASSERT_EQ(0, control(std::string("remove ") + kReader1));
        EXPECT_TRUE(Bound({}));
        pcsc.reset();
        core.reset();
        zeb::Settings settings;
        settings.patch_fido_v4 = 1;
        core = std::make_unique<zeb::ZebCore>(&sink, settings);
        pcsc = std::make_unique<zeb::FramePcsc>(*core);
    }
}

} // namespace
