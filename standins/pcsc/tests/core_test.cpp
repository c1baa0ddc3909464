// The PC/SC stand-in's platform-free parts: the shared runtime text, the
// reader view of one state, and the cards' memory across commands.
#include <gtest/gtest.h>

#include "card.h"
#include "card_model.h"
#include "reader_view.h"
#include "runtime_state.h"
#include "state.h"

using namespace pcsc;

namespace {

TEST(PcscRuntime, TextRoundTripAndDamage)
{
    Runtime rt;
    rt.connections.push_back(Connection{12, 3, "Lecteur \"A\"", 7, true, false});
    rt.CardMemory("vel4", 7).channel1Open = true;
    rt.CardMemory("vel4", 7).resets = 2;
    Runtime back;
    std::string error;
    ASSERT_TRUE(ParseRuntime(RuntimeToText(rt), back, error)) << error;
    EXPECT_EQ(RuntimeToText(rt), RuntimeToText(back));
    EXPECT_TRUE(ParseRuntime("", back, error)); // no file yet: nothing open
    EXPECT_TRUE(back.connections.empty());
    for (const char *bad :
         {"pcsc-runtime 2\n",
          "pcsc-runtime 1\nconnection reader=\"\" pid=1 id=1 insertion=1 "
          "exclusive=no transaction=no\n",
          "pcsc-runtime 1\ncard name=x insertion=1 foreign=maybe channel1=no resets=0\n",
          "pcsc-runtime 1\nconnection reader=r pid=1 id=1 insertion=1 exclusive=no transaction=no\n"
          "connection reader=r pid=1 id=1 insertion=1 exclusive=no transaction=no\n",
          "pcsc-runtime 1\nbogus\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseRuntime(bad, back, error));
        EXPECT_FALSE(error.empty());
    }
    // A new insertion of the card forgets the old one's memory.
    EXPECT_FALSE(rt.CardMemory("vel4", 8).channel1Open);
    EXPECT_EQ(nullptr, rt.FindCard("vel4", 7));
}

TEST(PcscReaderView, StatesFollowCardsConnectionsAndTheReaderList)
{
    softcard::State s = softcard::defaultState();
    Runtime rt;
    const std::string reader = softcard::kDefaultReaderName;
    ReaderSnapshot present = SnapshotOf(s, rt, reader);
    EXPECT_EQ(uint32_t(kStatePresent), present.state & 0xFFFF);
    EXPECT_EQ(17u, present.atr.size());
    rt.connections.push_back(Connection{1, 1, reader, s.cards[0].insertion, true, false});
    EXPECT_EQ(uint32_t(kStatePresent | kStateInUse | kStateExclusive),
              SnapshotOf(s, rt, reader).state & 0xFFFF);
    rt.connections[0].insertion = 999; // made on a card since removed
    EXPECT_EQ(uint32_t(kStatePresent), SnapshotOf(s, rt, reader).state & 0xFFFF);
    EXPECT_EQ(uint32_t(kStateUnknown | kStateIgnore), SnapshotOf(s, rt, "nowhere").state);

    uint32_t pnp = SnapshotOf(s, rt, kPnpReaderName).state;
    EXPECT_NE(0u, pnp);
    s.readers[0].name = "Autre lecteur";
    s.cards[0].reader = "Autre lecteur";
    uint32_t renamed = SnapshotOf(s, rt, kPnpReaderName).state;
    EXPECT_NE(pnp, renamed);
    EXPECT_EQ(1u, (renamed >> 16) & 0xFF);
    s.readers.clear();
    s.cards.clear();
    EXPECT_NE(0u, SnapshotOf(s, rt, kPnpReaderName).state); // never reads as "knows nothing"

    struct Case {
        uint32_t current, now;
        bool differs;
    } cases[] = {
        {0, kStateEmpty, true},
        {kStateEmpty, kStateEmpty, false},
        {kStateEmpty | kStateChanged, kStateEmpty, false},
        {kStatePresent | 0x00050000, kStatePresent | 0x00060000, true}, // another insertion
        {kStatePresent, kStatePresent | 0x00060000, false},             // the caller gave no counter
        {kStatePresent | 0x00060000, kStatePresent | kStateInUse | 0x00060000, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.differs, Differs(c.current, c.now)) << std::hex << c.current << " " << c.now;
}

TEST(PcscCardModel, AnswersFollowTheCardsMemory)
{
    CardRuntime m;
    auto sw = [&](CardKind k, std::vector<uint8_t> apdu) {
        Bytes r = AnswerApdu(k, m, apdu.data(), apdu.size());
        return r.size() >= 2 ? unsigned(r[r.size() - 2] << 8 | r.back()) : 0u;
    };
    const std::vector<uint8_t> mf = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    const std::vector<uint8_t> fido = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00,
                                       0x00, 0x06, 0x47, 0x2F, 0x00, 0x01};
    const std::vector<uint8_t> vel = {0x00, 0xA4, 0x04, 0x00, 0x08, 0x80, 0x25,
                                      0x00, 0x00, 0x01, 0xFF, 0x00, 0x02};
    const std::vector<uint8_t> open = {0x00, 0x70, 0x00, 0x00, 0x01};
    const std::vector<uint8_t> onChannel1 = {0x01, 0xA4, 0x04, 0x00, 0x08, 0x80, 0x25,
                                             0x00, 0x00, 0x01, 0xFF, 0x00, 0x02};
    EXPECT_EQ(0x9F17u, sw(CardKind::vel4, mf));
    EXPECT_EQ(0x9000u, sw(CardKind::vel4, fido)); // a browser takes channel 0
    EXPECT_TRUE(m.foreignOnChannel0);
    EXPECT_EQ(0x6E00u, sw(CardKind::vel4, mf));
    ResetCard(m);
    EXPECT_EQ(0x9F17u, sw(CardKind::vel4, mf));
    EXPECT_EQ(1u, m.resets);
    EXPECT_EQ(0x6881u, sw(CardKind::vel4, onChannel1));
    Bytes opened = AnswerApdu(CardKind::vel4, m, open.data(), open.size());
    EXPECT_EQ(Bytes({0x01, 0x90, 0x00}), opened);
    EXPECT_EQ(0x9000u, sw(CardKind::vel4, onChannel1));
    EXPECT_EQ(0x6A81u, sw(CardKind::vel4, open)); // one logical channel only
    m = CardRuntime();
    EXPECT_EQ(0x6A82u, sw(CardKind::vel3, fido)); // a VEL3 card has no FIDO application
    EXPECT_FALSE(m.foreignOnChannel0);
    EXPECT_EQ(0x9000u, sw(CardKind::vel3, vel));
    EXPECT_EQ(0x6700u, sw(CardKind::vel3, {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F})); // Lc beyond the data
    EXPECT_EQ(0x6700u, sw(CardKind::other, {0x00}));
    EXPECT_EQ(0x6700u, sw(CardKind::vel4, {0x00, 0xA4, 0x04, 0x00, 0x20, 0x80})); // AID cut short

    softcard::Card card;
    card.model = "FIDO";
    EXPECT_EQ(CardKind::fidoBadge, KindOf(card));
    card.model = "VEL4";
    card.atr = {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};
    EXPECT_EQ(CardKind::vel4, KindOf(card));
    card.atr.back() = 0x01;
    EXPECT_EQ(CardKind::other, KindOf(card));
}

} // namespace
