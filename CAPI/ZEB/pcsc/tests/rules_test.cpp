// The tray's PC/SC rules: card generations by ATR, FIDO badge and protected
// contact lists, judged answers (bounded by the receive buffer), reader
// names, what follows a status change, and the record of "CertPropSvc"
// stopped by a hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atr_rules.h"
#include "card_answers.h"
#include "monitor_rules.h"
#include "reader_names.h"
#include "service_record.h"

using namespace zeb;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(PcscAtrRules, CardGenerations)
{
    struct Case {
        const char *atr;
        unsigned version;
    } cases[] = {
        {"3BAC00402A001225006480000310009000", 3},   {"3BDC18FF00001225006480000401009000", 4},
        {"3BAC00402A001225006480000310009001", 0},   // one byte off
        {"3BDC18FF0000122500648000040100900000", 0}, // a card ATR of another length
        {"3BAC00402A0012250064800003100090", 0},     {"", 0},
    };
    for (const Case &c : cases) {
        Bytes atr = FromHex(c.atr);
        EXPECT_EQ(c.version, CardVersionOfAtr(atr.data(), atr.size())) << c.atr;
        EXPECT_EQ(c.atr, AtrToHex(atr.data(), atr.size()));
    }
    EXPECT_EQ("", AtrToHex(nullptr, 5));
    uint8_t big[kMaxAtr];
    for (size_t i = 0; i < kMaxAtr; ++i)
        big[i] = uint8_t(i);
    EXPECT_EQ(2 * kMaxAtr, AtrToHex(big, 1000).size()); // a claimed length beyond the buffer is cut
}

TEST(PcscAtrRules, FidoAndProtectedLists)
{
    const Bytes vel3 = FromHex("3BAC00402A001225006480000310009000");
    const Bytes badge = FromHex("3B8A800146494430424144474500");
    const Bytes cv9 = FromHex("3B1696417309699000");
    const Bytes cv9b = FromHex("3B169641730969A000");
    const Bytes cv10fixed = FromHex("3B169641734609EA9000");
    struct Case {
        const char *what;
        const Bytes &atr;
        std::vector<std::string> list;
        bool fido, isProtected;
    } cases[] = {
        {"empty lists: only the VEL3 card is protected", vel3, {}, false, true},
        {"an entry in lower case (either list)", badge, {"3b8a800146494430424144474500"}, true, true},
        {"a star matches nothing", badge, {"3B8A8001464944*"}, false, false},
        {"CV entry, 9 bytes", cv9, {"cv*"}, false, true},
        {"CV entry, 9 bytes, byte 7 not 90", cv9b, {"CV*"}, false, false},
        {"CV entry, 10 bytes", cv10fixed, {"CV*"}, false, true},
        {"CV entry never matches 17 bytes", vel3, {"CV*"}, false, false},
        {"odd entry other than CV*", vel3, {"3BAC0"}, false, false},
        {"even entry in any case", vel3, {"CV*", "3bac00402a001225006480000310009000"}, true, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.fido, IsFidoBadgeAtr(c.atr.data(), c.atr.size(), c.list)) << c.what;
        EXPECT_EQ(c.isProtected, IsProtectedContactAtr(c.atr.data(), c.atr.size(), c.list)) << c.what;
    }
    EXPECT_FALSE(IsFidoBadgeAtr(nullptr, 0, {"00"}));
    EXPECT_FALSE(IsProtectedContactAtr(nullptr, 0, {"00"}));
}

TEST(PcscCardAnswers, StatusWordsStayInsideTheReceiveBuffer)
{
    uint8_t buf[4] = {0x9F, 0x17, 0xEE, 0xEE};
    struct Case {
        const char *what;
        long rv;
        size_t reported;
        uint16_t sw; // 0: none
    } cases[] = {
        {"two bytes", 0, 2, 0x9F17},
        {"one byte: no status word", 0, 1, 0},
        {"nothing", 0, 0, 0},
        {"transmit error", long(0x80100066), 2, 0},
        {"reported longer than the buffer", 0, 300, 0},
        {"the whole buffer", 0, 4, 0xEEEE},
    };
    for (const Case &c : cases) {
        Response r;
        r.rv = c.rv;
        r.buffer = buf;
        r.bufferSize = sizeof(buf);
        r.reported = c.reported;
        EXPECT_EQ(c.sw, r.StatusOrZero()) << c.what;
    }
    Response one;
    one.buffer = buf;
    one.bufferSize = 4;
    one.reported = 1;
    EXPECT_EQ(0x9F, one.ByteOrZero(0)); // MANAGE CHANNEL's line: SW1 from the first byte
    EXPECT_EQ(0, one.ByteOrZero(1));
    one.reported = 99;
    EXPECT_EQ(0, one.ByteOrZero(0));

    struct Health {
        uint16_t sw;
        bool startup, resume;
    } health[] = {{0x9404, true, false}, {0x9000, false, true},  {0x9F17, false, true},
                  {0x9FFF, false, true}, {0x6E00, false, false}, {0, false, false}};
    for (const Health &h : health) {
        EXPECT_EQ(h.startup, HealthyAtStartup(h.sw)) << std::hex << h.sw;
        EXPECT_EQ(h.resume, HealthyOnResume(h.sw)) << std::hex << h.sw;
    }
    EXPECT_EQ(4u, kSelectMasterFile.receive);
    EXPECT_EQ(2u, kCloseChannel1.receive);
}

TEST(PcscReaderNames, BoundedListAndDescriptions)
{
    std::string multi;
    for (int i = 0; i < 22; ++i)
        multi += "Lecteur " + std::to_string(i) + '\0';
    multi += std::string(200, 'L') + '\0';
    multi += '\0';
    std::vector<std::string> names = ParseReaderList(multi.data(), multi.size());
    ASSERT_EQ(kMaxReaders, names.size()); // a 21st reader is not watched
    EXPECT_EQ("Lecteur 19", names.back());
    std::string longName = std::string(200, 'L') + '\0' + '\0';
    names = ParseReaderList(longName.data(), longName.size());
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(127u, names[0].size());
    const char unterminated[] = {'A', 'B'};
    names = ParseReaderList(unterminated, sizeof(unterminated));
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ("AB", names[0]);
    EXPECT_TRUE(ParseReaderList(nullptr, 10).empty());
}

// Slot descriptions keep 64 characters of a reader's name: two readers of
// one long-named model, whose names differ only in their final index, each
// get the slot the library lists in their place.
TEST(PcscReaderNames, EachSlotGoesToAReaderNotMatchedYetInOrder)
{
    const std::string model = "Lecteur Ovrane VEL sans contact double interface modele professionnel ";
    const std::string l0 = model + "0", l1 = model + "1", l2 = model + "2";
    ASSERT_EQ(l0.substr(0, kSlotDescriptionWidth), l1.substr(0, kSlotDescriptionWidth));
    auto slot = [](const std::string &name) { // as a library fills the field
        std::string d = name.substr(0, kSlotDescriptionWidth);
        d.resize(kSlotDescriptionWidth, ' ');
        return d;
    };
    const std::string nulPadded = std::string("Lecteur A") + std::string(55, '\0');
    struct Case {
        const char *what;
        std::vector<std::string> descriptions, readers;
        std::vector<int> expected;
    } cases[] = {
        {"a pair named alike", {slot(l0), slot(l1)}, {l0, l1}, {0, 1}},
        {"three named alike, a short one between",
         {slot(l0), slot("Lecteur A"), slot(l1), slot(l2)},
         {l0, "Lecteur A", l1, l2},
         {0, 1, 2, 3}},
        {"one of the pair without a slot: the first free one takes it", {slot(l1)}, {l0, l1}, {0}},
        {"a reader listed twice: its later slot too", {slot(l0), slot(l0)}, {l0}, {0, 0}},
        {"more slots than readers named alike", {slot(l0), slot(l1), slot(l0)}, {l0, l1}, {0, 1, 0}},
        {"short names are compared whole",
         {slot("Lecteur"), slot("Lecteur A")},
         {"Lecteur A", "Lecteur"},
         {1, 0}},
        {"a slot of no reader", {slot("Lecteur B"), slot(l0)}, {"Lecteur A", l0}, {-1, 1}},
        {"NUL padding, and a description given short",
         {nulPadded, "Lecteur B"},
         {"Lecteur B", "Lecteur A"},
         {1, 0}},
        {"no reader", {slot(l0)}, {}, {-1}},
        {"no slot", {}, {l0}, {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, ReadersOfDescriptions(c.descriptions, c.readers)) << c.what;
}

// A card is known by its generation and the reader's insertion count: any
// change is a removal and an insertion, and a failed propagation is tried
// again as long as the same card stays.
TEST(PcscMonitorRules, ACardChangedOrNotPropagatedIsNeverLeftAsItIs)
{
    struct Case {
        ReaderKept kept;
        ReaderNow now;
        CardAction expected;
    } cases[] = {
        {{false, 0, 0, false}, {false, 0, 0}, CardAction::nothing},
        {{false, 0, 0, false}, {true, 3, 1}, CardAction::insert},
        {{true, 3, 1, true}, {false, 0, 1}, CardAction::remove},
        {{true, 3, 1, false}, {false, 0, 1}, CardAction::remove},
        {{true, 3, 1, true}, {true, 3, 1}, CardAction::nothing},
        {{true, 3, 1, false}, {true, 3, 1}, CardAction::retry},
        {{true, 3, 1, true}, {true, 3, 2}, CardAction::replace}, // pulled and pushed back, or swapped
        {{true, 3, 1, false}, {true, 3, 2}, CardAction::replace},
        {{true, 3, 1, true}, {true, 4, 1}, CardAction::replace},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, DecideCardAction(c.kept, c.now))
            << c.kept.present << c.kept.version << c.kept.insertions << c.kept.propagated << " -> "
            << c.now.vel << c.now.version << c.now.insertions;
    EXPECT_EQ(0x1234u, InsertionCount(0x12340122ul));
}

// A rescan saw the card of insertion 1 and had the reader's card
// propagated; the reader was looked at again just before and after. The
// card propagated, when both looks agree, is known afterwards: its queued
// status change is nothing, while any other change (during the propagation,
// later, a look that failed) is still acted on.
TEST(PcscMonitorRules, ACardTheRescanPropagatedIsNotChangedAgainByItsOwnEvent)
{
    const ReaderNow none{false, 0, 0}, card1{true, 3, 1}, card2{true, 3, 2}, card3{true, 3, 3},
        v4card2{true, 4, 2}, empty1{false, 0, 1};
    struct Case {
        const ReaderNow *before, *after;
        bool propagated;
        ReaderNow now;
        CardAction expected;
    } cases[] = {
        {&card2, &card2, true, card2, CardAction::nothing}, // replaced before its propagation
        {&card2, &card2, false, card2, CardAction::retry},
        {&card1, &card1, true, card1, CardAction::nothing},
        {&card1, &card1, true, empty1, CardAction::remove}, // pulled afterwards
        {&card2, &card2, true, card3, CardAction::replace}, // replaced again afterwards
        {&card1, &card2, true, card2, CardAction::replace}, // replaced during the propagation
        {&card2, &card3, true, card3, CardAction::replace},
        {nullptr, &card2, true, card2, CardAction::replace}, // a look failed
        {&card2, nullptr, true, card2, CardAction::replace},
        {&v4card2, &v4card2, true, v4card2, CardAction::replace}, // another generation than propagated
        {&empty1, &card2, true, card2, CardAction::replace},
        {&none, &none, false, none, CardAction::remove},
    };
    for (const Case &c : cases) {
        ReaderKept seen{true, 3, 1, true};
        ReaderKept kept = KeptAfterPropagation(seen, c.before, c.after, c.propagated);
        EXPECT_EQ(c.expected, DecideCardAction(kept, c.now))
            << (c.before ? c.before->insertions : 99) << " " << (c.after ? c.after->insertions : 99) << " "
            << c.propagated << " -> " << c.now.vel << c.now.version << c.now.insertions;
    }
}

TEST(PcscMonitorRules, NoCardEventIsLostWithAReaderListNotice)
{
    struct Case {
        bool pnp, readerEntry, listRead, listChanged;
        AfterChange expected;
    } cases[] = {
        {false, false, false, false, AfterChange::nothing},
        {false, true, false, false, AfterChange::scanStates},
        {true, false, true, true, AfterChange::rescanAll},
        {true, true, true, true, AfterChange::rescanAll},
        {true, false, true, false, AfterChange::nothing},
        {true, true, true, false, AfterChange::scanStates},  // list unchanged, a card changed
        {true, true, false, false, AfterChange::scanStates}, // list unreadable, a card changed
    };
    for (const Case &c : cases) {
        StatusChangeSeen seen;
        seen.pnp = c.pnp;
        seen.readerEntry = c.readerEntry;
        seen.listRead = c.listRead;
        seen.listChanged = c.listChanged;
        EXPECT_EQ(c.expected, DecideAfterStatusChange(seen))
            << c.pnp << c.readerEntry << c.listRead << c.listChanged;
    }
}

TEST(ServiceRecordRules, NamesCarryTheOwnersProcessId)
{
    EXPECT_EQ("certpropsvc_stopped_by_4660", ServiceRecordName(4660));
    EXPECT_EQ("certpropsvc_stopped_by_4294967295", ServiceRecordName(0xFFFFFFFFul));
    struct Case {
        const char *name;
        bool record;
        unsigned long pid;
    } cases[] = {
        {"certpropsvc_stopped_by_4660", true, 4660},
        {"certpropsvc_stopped_by_0", true, 0},
        {"certpropsvc_stopped_by_4294967295", true, 0xFFFFFFFFul},
        {"certpropsvc_stopped_by_4294967296", false, 0}, // beyond a process id
        {"certpropsvc_stopped_by_99999999999999999999", false, 0},
        {"certpropsvc_stopped_by_", false, 0},
        {"certpropsvc_stopped_by_012", false, 0}, // not a name this code writes
        {"certpropsvc_stopped_by_12a", false, 0},
        {"certpropsvc_stopped_by_-1", false, 0},
        {"certpropsvc_stopped_by_ 12", false, 0},
        {"CERTPROPSVC_STOPPED_BY_12", false, 0},
        {"patch_fido_webauthn", false, 0}, // the settings beside it
        {"", false, 0},
    };
    for (const Case &c : cases) {
        unsigned long pid = 77;
        EXPECT_EQ(c.record, ParseServiceRecordName(c.name, &pid)) << c.name;
        EXPECT_EQ(c.record ? c.pid : 77ul, pid) << c.name;
    }
}

TEST(ServiceRecordRules, OwnersAndTheRestartAtStartup)
{
    const unsigned long kOwn = 100, kOther = 200;
    const uint64_t kBorn = 0x01DD000012345678ull;
    struct Case {
        const char *what;
        unsigned long owner;
        uint64_t recorded;
        OwnerSeen seen;
        OwnerState expected;
    } cases[] = {
        {"ended, id free", kOther, kBorn, {false, false, false, 0}, OwnerState::gone},
        {"another user's, not to be opened", kOther, kBorn, {false, true, false, 0}, OwnerState::alive},
        {"opened, ended", kOther, kBorn, {true, false, false, kBorn}, OwnerState::gone},
        {"running", kOther, kBorn, {true, false, true, kBorn}, OwnerState::alive},
        {"running, id taken by a later process",
         kOther,
         kBorn,
         {true, false, true, kBorn + 1},
         OwnerState::gone},
        {"running, no time recorded", kOther, 0, {true, false, true, kBorn}, OwnerState::alive},
        {"running, its time unknown", kOther, kBorn, {true, false, true, 0}, OwnerState::alive},
        {"the starting process's own id", kOwn, kBorn, {true, false, true, kBorn}, OwnerState::gone},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, JudgeOwner(c.owner, c.recorded, kOwn, c.seen)) << c.what;

    using S = OwnerState;
    EXPECT_FALSE(RestartAtStartup({}));
    EXPECT_TRUE(RestartAtStartup({S::gone}));
    EXPECT_TRUE(RestartAtStartup({S::gone, S::gone}));
    EXPECT_FALSE(RestartAtStartup({S::alive}));
    EXPECT_FALSE(RestartAtStartup({S::gone, S::alive})) << "a hold still runs: its tray restarts it";

    EXPECT_TRUE(DropStaleRecords(ServiceAnswer::running));
    EXPECT_TRUE(DropStaleRecords(ServiceAnswer::missing));
    EXPECT_FALSE(DropStaleRecords(ServiceAnswer::refused)) << "kept for a tray with the right";
    EXPECT_FALSE(DropStaleRecords(ServiceAnswer::failed)) << "the next start tries again";
}

} // namespace
