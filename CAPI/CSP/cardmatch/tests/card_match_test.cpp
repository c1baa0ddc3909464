#include "card_match.h"

#include <gtest/gtest.h>

using namespace cardmatch;

namespace {

// The default card's two certificates: authentication first, then signature.
const std::vector<std::string> kCard = {"010UMARTINJEANNE", "010UMARTINJEANNESIGNATURE"};

TEST(RequestNamesCard, AnyCertificateNameInsideTheRequestNamesTheCard)
{
    struct Case {
        const char *request;
        bool named;
    } cases[] = {
        {"010UMARTINJEANNE", true},                    // the first certificate's name
        {"010UMARTINJEANNESIGNATURE", true},           // the second one's, as the tray binds it
        {"010UMARTINJEANNESIGNATURECName(PC1)", true}, // with a client-name suffix
        {"x010UMARTINJEANNEx", true},
        {"010UDURANDPAUL", false},
        {"010UMARTIN", false}, // a part of a name names nothing
        {"", false},
        {nullptr, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.named, RequestNamesCard(c.request, kCard)) << (c.request ? c.request : "NULL");
    EXPECT_FALSE(RequestNamesCard("010UMARTINJEANNE", {})) << "a card without certificates";
}

TEST(JudgeCard, OnlyTheSameCertificatesMakeTheSameCard)
{
    const Der a = {1, 2, 3}, b = {4, 5}, c = {6};
    struct Case {
        const char *what;
        std::vector<Der> kept, seen;
        CardFate fate;
    } cases[] = {
        {"same card", {a, b}, {a, b}, CardFate::Same},
        {"same card, other order", {a, b}, {b, a}, CardFate::Same},
        {"same card, one kept certificate", {a, {}}, {a, b}, CardFate::Same},
        {"card pulled", {a, b}, {}, CardFate::Changed},
        {"another card", {a, b}, {c}, CardFate::Changed},
        {"a card sharing one certificate", {a, b}, {a, c}, CardFate::Changed},
        {"one byte differs", {a}, {Der{1, 2, 4}}, CardFate::Changed},
        {"nothing kept", {{}, {}}, {a}, CardFate::Changed},
    };
    for (const Case &k : cases)
        EXPECT_EQ(k.fate, JudgeCard(k.kept, k.seen)) << k.what;
}

} // namespace
