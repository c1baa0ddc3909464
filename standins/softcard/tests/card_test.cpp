// Card images, the state file text, the objects of a card, and the data
// objects of the test cards as the card manager will frame them.
#include <gtest/gtest.h>

#include "builtin_cards.h"
#include "card.h"
#include "objects.h"
#include "state.h"
#include "text_records.h"

using namespace softcard;

namespace {

Card builtin(const char *name)
{
    Card c;
    std::string error;
    EXPECT_TRUE(parseCard(findBuiltinCard(name)->image, c, error)) << name << ": " << error;
    return c;
}

TEST(CardImage, EveryBuiltinCardParsesAndRoundTrips)
{
    for (size_t i = 0; i < kBuiltinCardCount; ++i) {
        Card c = builtin(kBuiltinCards[i].name);
        Card again;
        std::string error;
        ASSERT_TRUE(parseCard(cardToText(c), again, error)) << error;
        EXPECT_EQ(cardToText(c), cardToText(again)) << kBuiltinCards[i].name;
    }
}

TEST(CardImage, MalformedImagesAreRefusedWithTheirLine)
{
    const std::string head = "vel-card 1\ntoken label=\"VEL3 X\" serial=\"1\"\natr 3B00\n"
                             "pin code=\"1234\" left=3 max=3 minlen=4 maxlen=8\n"
                             "unblock code=\"12345678\" left=10 max=10 minlen=8 maxlen=8\n";
    struct Case {
        const char *why;
        std::string text;
        const char *inMessage;
    } cases[] = {
        {"no unblock code",
         "vel-card 1\ntoken label=\"A\"\natr 3B00\npin code=\"1234\" left=3 max=3 minlen=4 maxlen=8\n",
         "incompl"},
        {"odd hex", head + "data label=\"D\" private=no\n    ABC\n", "ligne 7"},
        {"open quote", head + "data label=\"D private=no\n", "ligne 6"},
        {"more tries left than the maximum",
         "vel-card 1\ntoken label=\"A\"\natr 3B\n"
         "pin code=\"1234\" left=4 max=3 minlen=4 maxlen=8\n",
         "ligne 4"},
        {"label over 32 bytes", "vel-card 1\ntoken label=\"" + std::string(33, 'L') + "\"\n", "ligne 2"},
        {"certificate that is not one", head + "cert label=\"C\" id=01\n    300100\n", "ligne 6"},
        {"unknown keyword", head + "tampon 1\n", "tampon"},
    };
    for (const Case &c : cases) {
        Card card;
        std::string error;
        EXPECT_FALSE(parseCard(c.text, card, error)) << c.why;
        EXPECT_NE(std::string::npos, error.find(c.inMessage)) << c.why << ": " << error;
    }
    Card ok;
    std::string error;
    EXPECT_TRUE(
        parseCard(head + "# un commentaire\ndata label=\"D\" private=yes  # privé\n    0102 03\n", ok, error))
        << error;
    ASSERT_EQ(1u, ok.data.size());
    EXPECT_EQ(Bytes({1, 2, 3}), ok.data[0].value);
}

TEST(StateText, RoundTripAndRefusals)
{
    State s = defaultState();
    s.readers.push_back(Reader{9, "Lecteur \"guillemets\" \\ 2"});
    s.injections.push_back(Injection{"C_Login", 2, 1, 0xA4});
    s.latencyMs = 250;
    s.log = true;
    State back;
    std::string error;
    ASSERT_TRUE(parseState(stateToText(s), back, error)) << error;
    EXPECT_EQ(stateToText(s), stateToText(back));
    EXPECT_EQ("Lecteur \"guillemets\" \\ 2", back.readers[1].name);

    const char *bad[] = {
        "",                                                                        // no header
        "softcard-state 2\n",                                                      // unknown version
        "softcard-state 1\nreader slot=1 name=\"A\"\nreader slot=1 name=\"B\"\n",  // slot twice
        "softcard-state 1\ncard name=\"x\" reader=\"\" insertion=1\nvel-card 1\n", // no end-card
        "softcard-state 1\nreader slot=abc name=\"A\"\n",
    };
    for (const char *text : bad)
        EXPECT_FALSE(parseState(text, back, error)) << text;
}

TEST(Objects, DefaultCardObjectsInOrder)
{
    std::vector<CardObject> objs = buildObjects(builtin("vel3-default"));
    ASSERT_EQ(7u + 2 * 3, objs.size());
    EXPECT_EQ(CKO_DATA, objs[0].objectClass);
    EXPECT_EQ(CKO_CERTIFICATE,
              objs[7].objectClass); // authentication first: the provider names containers after it
    EXPECT_EQ(CKO_PUBLIC_KEY, objs[8].objectClass);
    EXPECT_EQ(CKO_PRIVATE_KEY, objs[9].objectClass);
    EXPECT_TRUE(objs[9].isPrivate);
    EXPECT_EQ(objs[7].find(CKA_ID)->value, objs[9].find(CKA_ID)->value);

    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE byClass[] = {{CKA_TOKEN, &yes, 1}, {CKA_CLASS, &cls, sizeof(cls)}};
    EXPECT_TRUE(matchesTemplate(objs[9], byClass, 2));
    EXPECT_FALSE(matchesTemplate(objs[8], byClass, 2));
    CK_ATTRIBUTE shortValue[] = {{CKA_CLASS, &cls, 1}}; // the wrong length never matches
    EXPECT_FALSE(matchesTemplate(objs[9], shortValue, 1));
    CK_ATTRIBUTE sensitive[] = {{CKA_PRIVATE_EXPONENT, nullptr, 0}};
    EXPECT_FALSE(matchesTemplate(objs[9], sensitive, 1));
    EXPECT_EQ(40u, buildObjects(builtin("vel3-longid"))[7].find(CKA_ID)->value.size());
}

// One level of tag, length, value elements from `start` to `end`; false when
// an element runs past the end or the elements do not end exactly there.
bool elementsFit(const Bytes &v, size_t start, size_t end, int *count)
{
    size_t pos = start;
    *count = 0;
    while (pos < end) {
        if (pos + 2 > end || pos + 2 + v[pos + 1] > end || v[pos + 1] == 0)
            return false;
        pos += 2 + v[pos + 1];
        ++*count;
    }
    return pos == end;
}

TEST(CardData, TheDataObjectsAreFramedAsTheCardManagerReadsThem)
{
    Card c = builtin("vel3-default");
    struct Want {
        const char *label;
        uint8_t tag;
        bool isPrivate;
        int elements;
    } wants[] = {
        {"VEL_NAME_PS", 0xE4, false, 5},       {"VEL_ID_CARD", 0xE3, false, 5},
        {"VEL_INFO_PS", 0xED, false, 6},       {"VEL_ACTIVITY_01_PS", 0xEE, true, 6},
        {"VEL_ACTIVITY_02_PS", 0xEE, true, 7}, {"VEL_ACTIVITY_03_PS", 0xEE, true, 4},
        {"VEL_SIT_FACT", 0xE0, true, 3},
    };
    ASSERT_EQ(7u, c.data.size());
    for (size_t i = 0; i < 7; ++i) {
        const DataObject &d = c.data[i];
        const Want &w = wants[i];
        EXPECT_EQ(w.label, d.label);
        EXPECT_EQ(w.isPrivate, d.isPrivate) << w.label;
        ASSERT_GE(d.value.size(), 2u);
        EXPECT_EQ(w.tag, d.value[0]) << w.label;
        size_t start = d.value[1] == 0x81 ? 3 : 2;
        size_t length = start == 3 ? d.value[2] : d.value[1];
        EXPECT_EQ(d.value.size(), start + length) << w.label;
        int n = 0;
        EXPECT_TRUE(elementsFit(d.value, start, d.value.size(), &n)) << w.label;
        EXPECT_EQ(w.elements, n) << w.label;
    }
    // The qualification block is 38 characters; the replacement's structure
    // element reaches the replaced practitioner's field (72 bytes or more).
    const Bytes &info = c.data[2].value;
    EXPECT_EQ(0x85, info[info.size() - 40]);
    EXPECT_EQ(38, info[info.size() - 39]);
    EXPECT_EQ(0x85, c.data[5].value[2]);
    EXPECT_GE(c.data[5].value[3], 72);
    // Each billing situation: the five sub-elements 80 to 84.
    const Bytes &bill = c.data[6].value;
    for (size_t pos = 2; pos < bill.size(); pos += 2 + bill[pos + 1]) {
        EXPECT_EQ(0xA0, bill[pos]);
        int n = 0;
        EXPECT_TRUE(elementsFit(bill, pos + 2, pos + 2 + bill[pos + 1], &n));
        EXPECT_EQ(5, n);
    }

    Card gap = builtin("vel3-gap");
    EXPECT_EQ("VEL_ACTIVITY_04_PS", gap.data[5].label);
}

} // namespace
