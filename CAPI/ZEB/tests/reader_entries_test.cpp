// The slot table in event-driven mode: the entry a reader's card takes,
// what an insertion does with it, the table following the monitor's
// readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "reader_entries.h"

using namespace zeb;

namespace {

// An entry as the table may hold it: a description (blank-padded as the
// reader list writes it, or NUL-padded as an insertion writes it), records,
// marks, its reader's whole name (none: known by the description alone).
struct EntrySpec {
    std::string description;
    bool blankPadded = false;
    CK_ULONG records = 0;
    bool synchro = false;
    bool ignored = false;
    std::string reader = {};
};

void Fill(SlotInfoEntry *e, const EntrySpec &s)
{
    e->Clear();
    memset(e->slotInfo.slotDescription, s.blankPadded ? ' ' : '\0', sizeof e->slotInfo.slotDescription);
    memcpy(e->slotInfo.slotDescription, s.description.data(),
           std::min(s.description.size(), sizeof e->slotInfo.slotDescription));
    for (CK_ULONG k = 0; k < s.records; ++k)
        e->certs[k] = std::make_unique<CertRecord>(CertRecord{{1}, {static_cast<uint8_t>(k)}});
    e->nbCerts = s.records;
    e->bSynchro = s.synchro;
    e->bIgnoredWebAuthn = s.ignored;
    e->reader = s.reader;
}

std::string Description(const SlotInfoEntry &e)
{
    return std::string(reinterpret_cast<const char *>(e.slotInfo.slotDescription),
                       sizeof e.slotInfo.slotDescription);
}

std::string Padded(const std::string &name, char pad)
{
    std::string s = name.substr(0, 64);
    s.resize(64, pad);
    return s;
}

CK_TOKEN_INFO Token(const char *label)
{
    CK_TOKEN_INFO t{};
    memset(t.label, ' ', sizeof t.label);
    memcpy(t.label, label, strlen(label));
    memcpy(t.serialNumber, "2500012345", 10);
    return t;
}

const std::string kLong = "Lecteur USB de la station de travail du cabinet medical, second poste, 2";
// Two readers of one long-named model: their names agree on 64 characters.
const std::string kTwin0 = "Lecteur Ovrane VEL sans contact double interface modele professionnel 0";
const std::string kTwin1 = "Lecteur Ovrane VEL sans contact double interface modele professionnel 1";

TEST(ReaderEntries, AnInsertionTakesTheReadersOwnEntryElseTheFirstThatHoldsNothing)
{
    const EntrySpec free{};
    struct Case {
        const char *what;
        std::vector<EntrySpec> table;
        std::string reader;
        EntryMatch match;
        size_t index;
    } cases[] = {
        {"empty table", {free, free}, "Lecteur A", EntryMatch::unused, 0},
        {"own entry after a free one", {free, {"Lecteur A"}}, "Lecteur A", EntryMatch::readerName, 1},
        {"own entry holding its card's certificates",
         {free, {"Lecteur A", false, 2, true}},
         "Lecteur A",
         EntryMatch::readerName,
         1},
        {"own entry as the reader list writes it",
         {free, {"Lecteur A", true}},
         "Lecteur A",
         EntryMatch::readerName,
         1},
        {"another reader's entry is never taken", {{"Lecteur B"}, free}, "Lecteur A", EntryMatch::unused, 1},
        {"a name prefix is another reader", {{"Lecteur A"}, free}, "Lecteur", EntryMatch::unused, 1},
        {"a longer name is another reader", {{"Lecteur"}, free}, "Lecteur A", EntryMatch::unused, 1},
        {"records without a reader: not free", {{"", false, 1}, free}, "Lecteur A", EntryMatch::unused, 1},
        {"propagated mark without a reader: not free",
         {{"", false, 0, true}, free},
         "Lecteur A",
         EntryMatch::unused,
         1},
        {"inhibited mark without a reader: not free",
         {{"", false, 0, false, true}, free},
         "Lecteur A",
         EntryMatch::unused,
         1},
        {"every entry another reader's", {{"Lecteur B"}, {"Lecteur C"}}, "Lecteur A", EntryMatch::none, 0},
        {"nothing free", {{"", false, 1}, {"Lecteur C"}}, "Lecteur A", EntryMatch::none, 0},
        {"a name over 64 bytes: its first 64", {free, {kLong, true}}, kLong, EntryMatch::readerName, 1},
        {"a reader named alike never takes its twin's entry",
         {{kTwin0, true, 2, true, false, kTwin0}, free},
         kTwin1,
         EntryMatch::unused,
         1},
        {"of twins, each its own",
         {{kTwin0, true, 0, false, false, kTwin0}, {kTwin1, true, 0, false, false, kTwin1}},
         kTwin1,
         EntryMatch::readerName,
         1},
        {"a whole name before a description alone",
         {{kTwin1, true, 2, true}, {kTwin1, false, 2, true, false, kTwin1}},
         kTwin1,
         EntryMatch::readerName,
         1},
        {"a description alone serves a reader it names",
         {{kTwin0, true, 2, true}, free},
         kTwin1,
         EntryMatch::readerName,
         0},
    };
    for (const Case &c : cases) {
        std::vector<SlotInfoEntry> table(c.table.size());
        for (size_t i = 0; i < table.size(); ++i)
            Fill(&table[i], c.table[i]);
        EntryChoice choice = ChooseInsertEntry(table.data(), table.size(), c.reader.c_str());
        EXPECT_EQ(c.match, choice.match) << c.what;
        EXPECT_EQ(c.index, choice.index) << c.what;
        // A removal finds the reader's own entry only.
        size_t own = FindReaderEntry(table.data(), table.size(), c.reader.c_str());
        EXPECT_EQ(c.match == EntryMatch::readerName ? c.index : table.size(), own) << c.what;
    }
}

TEST(ReaderEntries, RequestsWithoutReaderOrGenerationAreRefusedAndInsertionsNeedASlot)
{
    EXPECT_TRUE(InsertRequestUsable(0, "Lecteur A", 3));
    EXPECT_TRUE(InsertRequestUsable(0xFFFFFFFE, "Lecteur A", 4));
    EXPECT_FALSE(InsertRequestUsable(static_cast<CK_SLOT_ID>(-1), "Lecteur A", 3));
    EXPECT_FALSE(InsertRequestUsable(0, "", 3));
    EXPECT_FALSE(InsertRequestUsable(0, nullptr, 3));
    EXPECT_FALSE(InsertRequestUsable(0, "Lecteur A", 0));
    EXPECT_TRUE(RemoveRequestUsable("Lecteur A", 3)) << "no slot id needed";
    EXPECT_FALSE(RemoveRequestUsable("", 3));
    EXPECT_FALSE(RemoveRequestUsable(nullptr, 4));
    EXPECT_FALSE(RemoveRequestUsable("Lecteur A", 0));
}

TEST(ReaderEntries, AnInsertionKeepsOnlyTheSameCardsCertificatesAndInhibitsVel3InWebAuthnMode)
{
    const CK_TOKEN_INFO martin = Token("VEL3v2-MARTIN JEANNE"), durand = Token("VEL3v2-DURAND PAUL");
    struct Case {
        const char *what;
        bool synchro;
        CK_ULONG records;
        bool known;
        const CK_TOKEN_INFO *now;
        unsigned version;
        bool fidoV4, webauthn;
        InsertAction action;
        bool giveBack;
    } cases[] = {
        {"fresh entry", false, 0, true, &martin, 3, true, false, InsertAction::propagate, false},
        {"same card propagated", true, 2, true, &martin, 3, true, false, InsertAction::keep, false},
        {"same card, unreadable now", true, 2, false, &martin, 3, true, false, InsertAction::propagate, true},
        {"another card", true, 2, true, &durand, 3, true, false, InsertAction::propagate, true},
        {"records left without the mark", false, 1, true, &durand, 3, true, false, InsertAction::propagate,
         true},
        {"marked without records (inhibited)", true, 0, true, &martin, 3, true, true, InsertAction::inhibit,
         true},
        {"VEL3 in WebAuthn mode", false, 0, true, &martin, 3, true, true, InsertAction::inhibit, false},
        {"VEL4 in WebAuthn mode", false, 0, true, &martin, 4, true, true, InsertAction::propagate, false},
        {"WebAuthn without patch_fido_v4", false, 0, true, &martin, 3, false, true, InsertAction::propagate,
         false},
        {"same card kept in WebAuthn mode", true, 2, true, &martin, 3, true, true, InsertAction::keep, false},
    };
    for (const Case &c : cases) {
        SlotInfoEntry e;
        Fill(&e, {"Lecteur A", false, c.records, c.synchro});
        e.heldToken = martin;
        InsertDecision d = DecideInsert(e, c.known, *c.now, c.version, c.fidoV4, c.webauthn);
        EXPECT_EQ(c.action, d.action) << c.what;
        EXPECT_EQ(c.giveBack, d.giveBackFirst) << c.what;
    }
}

TEST(ReaderEntries, AClaimedEntryNamesItsReaderAndGeneration)
{
    SlotInfoEntry e;
    Fill(&e, {"Lecteur precedent", true, 1, true});
    e.heldToken = Token("VEL3v2-MARTIN JEANNE");
    ClaimEntry(&e, 7, kLong.c_str(), 4);
    EXPECT_EQ(7u, e.slotId);
    EXPECT_EQ(kLong, e.reader);
    EXPECT_EQ(kLong.substr(0, 64), Description(e));
    EXPECT_EQ(0, memcmp(e.tokenInfo.label, "VEL4\0\0", 6));
    EXPECT_EQ(1u, e.nbCerts) << "the records are the caller's to give back";
    ClaimEntry(&e, 2, "Lecteur A", 3);
    EXPECT_EQ(Padded("Lecteur A", '\0'), Description(e));
    EXPECT_EQ(0, memcmp(e.tokenInfo.label, "VEL3", 4));

    e.hSession = 5;
    e.bIgnoredWebAuthn = 1;
    CK_TOKEN_INFO durand = Token("VEL3v2-DURAND PAUL");
    PrepareForCard(&e, durand);
    EXPECT_EQ(0u, e.hSession);
    EXPECT_EQ(0, e.bIgnoredWebAuthn);
    EXPECT_EQ(1, e.changed);
    EXPECT_TRUE(SameToken(durand, e.heldToken));

    ReleaseReaderEntry(&e);
    EXPECT_EQ(std::string(64, '\0'), Description(e));
    EXPECT_TRUE(e.reader.empty());
    EXPECT_EQ(0, e.changed);
    EXPECT_EQ(1u, FindReaderEntry(&e, 1, "Lecteur A")) << "no longer the reader's";
}

TEST(ReaderEntries, TheTableFollowsTheReadersInTheirOrderWithTheirCertificates)
{
    SlotInfoEntry table[kSlotCount];
    Fill(&table[0], {"Lecteur A", true, 2, true});
    Fill(&table[1], {"Lecteur B", false, 1, true});
    Fill(&table[2], {"Lecteur D", true}); // a reader with no card
    table[0].heldToken = Token("VEL3v2-MARTIN JEANNE");
    std::vector<SlotInfoEntry> gone;

    // A new reader first, the two others swapped, D unplugged.
    size_t n = FollowReaders(table, {{"Lecteur C", false}, {"Lecteur B", true}, {"Lecteur A", true}}, &gone);
    EXPECT_EQ(3u, n);
    EXPECT_TRUE(gone.empty()) << "D held nothing";
    const char *order[] = {"Lecteur C", "Lecteur B", "Lecteur A"};
    for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(j, table[j].slotId);
        EXPECT_EQ(Padded(order[j], ' '), Description(table[j])) << j;
    }
    EXPECT_EQ(0u, table[0].nbCerts);
    EXPECT_EQ(1u, table[1].nbCerts);
    EXPECT_EQ(2u, table[2].nbCerts);
    EXPECT_TRUE(table[2].certs[1]) << "the records moved with their entry";
    EXPECT_TRUE(SameToken(Token("VEL3v2-MARTIN JEANNE"), table[2].heldToken));
    for (size_t i = 3; i < kSlotCount; ++i)
        EXPECT_EQ(std::string(64, '\0'), Description(table[i])) << i;

    // A gone: its entry, records and all, is handed back to be given back.
    n = FollowReaders(table, {{"Lecteur B", true}}, &gone);
    EXPECT_EQ(1u, n);
    ASSERT_EQ(1u, gone.size());
    EXPECT_EQ(2u, gone[0].nbCerts);
    EXPECT_TRUE(gone[0].certs[0]);
    EXPECT_EQ(Padded("Lecteur B", ' '), Description(table[0]));
    EXPECT_EQ(1u, table[0].nbCerts);
    EXPECT_EQ(0u, table[1].nbCerts);
}

// Readers named alike over a description's 64 characters. The start-up
// listing knows its entries by description alone, in the library's order;
// once named, each twin's entry follows it and keeps its card's records.
TEST(ReaderEntries, EntriesOfReadersNamedAlikeTakeTheirReadersInOrder)
{
    SlotInfoEntry table[kSlotCount];
    Fill(&table[0], {kTwin0, true, 2, true});
    Fill(&table[1], {"Lecteur A", true});
    Fill(&table[2], {kTwin1, true, 1, true});
    Fill(&table[3], {kTwin1, true, 1, true}); // no reader left for it
    NameEntries(table, kSlotCount, {kTwin0, "Lecteur A", kTwin1});
    EXPECT_EQ(kTwin0, table[0].reader);
    EXPECT_EQ("Lecteur A", table[1].reader);
    EXPECT_EQ(kTwin1, table[2].reader);
    EXPECT_TRUE(table[3].reader.empty());
    for (size_t i = 4; i < kSlotCount; ++i)
        EXPECT_TRUE(table[i].reader.empty()) << "unused entries stay unnamed";
    EXPECT_FALSE(HeldWithoutCard(table[2], {kTwin1}));
    EXPECT_TRUE(HeldWithoutCard(table[0], {kTwin1})) << "the twin's card is not this one's";
    EXPECT_TRUE(HeldWithoutCard(table[3], {"Lecteur A"}))
        << "known by description, naming no reader with a card";

    // Named once, an entry keeps its reader: a later naming changes nothing,
    // and a reader named by an entry already takes no other.
    NameEntries(table, kSlotCount, {kTwin1, kTwin0});
    EXPECT_EQ(kTwin0, table[0].reader);
    EXPECT_EQ(kTwin1, table[2].reader);
    EXPECT_TRUE(table[3].reader.empty());

    // The twins swapped in the monitor's order, the third entry's reader gone:
    // each entry follows its own twin.
    std::vector<SlotInfoEntry> gone;
    EXPECT_EQ(2u, FollowReaders(table, {{kTwin1, true}, {kTwin0, true}}, &gone));
    EXPECT_EQ(kTwin1, table[0].reader);
    EXPECT_EQ(1u, table[0].nbCerts);
    EXPECT_EQ(kTwin0, table[1].reader);
    EXPECT_EQ(2u, table[1].nbCerts);
    ASSERT_EQ(1u, gone.size()) << "the entry no reader took, with its record";
    EXPECT_EQ(1u, gone[0].nbCerts);
    EXPECT_EQ(1u, FindReaderEntry(table, kSlotCount, kTwin0.c_str()));
    EXPECT_EQ(0u, FindReaderEntry(table, kSlotCount, kTwin1.c_str()));
}

// The slot an insertion reads: the monitor's while it still holds a card
// under the reader's name, else the first that does.
TEST(ReaderEntries, AnInsertionReadsTheMonitorsSlotWhileItStillHoldsTheReadersCard)
{
    auto slot = [](CK_SLOT_ID id, const std::string &name, bool token) {
        ListedSlot s;
        s.id = id;
        memset(s.info.slotDescription, ' ', sizeof s.info.slotDescription);
        memcpy(s.info.slotDescription, name.data(), std::min(name.size(), sizeof s.info.slotDescription));
        s.info.flags = token ? CKF_TOKEN_PRESENT : 0;
        return s;
    };
    const std::vector<ListedSlot> twins = {slot(4, kTwin0, true), slot(9, kTwin1, true),
                                           slot(2, "Lecteur A", false)};
    struct Case {
        const char *what;
        std::vector<ListedSlot> slots;
        std::string reader;
        CK_SLOT_ID cached;
        bool found;
        CK_SLOT_ID expected;
    } cases[] = {
        {"the second twin keeps its own slot", twins, kTwin1, 9, true, 9},
        {"the first twin too", twins, kTwin0, 4, true, 4},
        {"a slot id changed since: the first slot holding the reader's card", twins, kTwin1, 7, true, 4},
        {"a slot without card is not the reader's card", twins, "Lecteur A", 2, false, 2},
        {"no slot of the reader", twins, "Lecteur B", 5, false, 5},
        {"a name prefix is another reader", {slot(3, "Lecteur AB", true)}, "Lecteur A", 3, false, 3},
        {"no slot at all", {}, kTwin0, 4, false, 4},
    };
    for (const Case &c : cases) {
        CK_SLOT_ID id = c.cached;
        EXPECT_EQ(c.found, RefreshSlotId(c.slots, c.reader.c_str(), &id)) << c.what;
        EXPECT_EQ(c.expected, id) << c.what;
    }
}

TEST(ReaderEntries, OnlyTheFirstTwentyReadersAreFollowed)
{
    SlotInfoEntry table[kSlotCount];
    std::vector<ReaderPresence> readers;
    for (int j = 0; j < 25; ++j)
        readers.push_back({"Lecteur " + std::to_string(j), j >= 20});
    std::vector<SlotInfoEntry> gone;
    EXPECT_EQ(kSlotCount, FollowReaders(table, readers, &gone));
    EXPECT_EQ(Padded("Lecteur 19", ' '), Description(table[kSlotCount - 1]));
    EXPECT_FALSE(AnyCardPresent(readers)) << "cards only beyond the twentieth reader";
    readers[3].present = true;
    EXPECT_TRUE(AnyCardPresent(readers));
    EXPECT_FALSE(AnyCardPresent({}));
}

} // namespace
