#include "card_match.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cardmatch;

namespace {

// The default card's two certificates: authentication first, then signature.
const std::vector<std::string> kCard = {"010UMARTINJEANNE", "010UMARTINJEANNESIGNATURE"};

TEST(ChooseCard, ACertificateNameInTheRequestOrTheDefaultContainerTakesTheCard)
{
    struct Case {
        const char *request;
        CardChoice choice;
    } cases[] = {
        {"010UMARTINJEANNE", CardChoice::ByName},                    // the first certificate's name
        {"010UMARTINJEANNESIGNATURE", CardChoice::ByName},           // the second one's, as the tray binds it
        {"010UMARTINJEANNESIGNATURECName(PC1)", CardChoice::ByName}, // with a client-name suffix
        {"x010UMARTINJEANNEx", CardChoice::ByName},
        {"010UDURANDPAUL", CardChoice::None},
        {"010UMARTIN", CardChoice::None}, // a part of a name names nothing
        {"", CardChoice::None},
        {nullptr, CardChoice::None},
        {"DEFAULT_CONTAINER", CardChoice::ByDefault},
        {"010UMARTINJEANNE DEFAULT_CONTAINER",
         CardChoice::ByName}, // the name wins: the request's text is kept
    };
    const NameAt names = [](size_t i, std::string &name) {
        name = kCard[i];
        return true;
    };
    for (const Case &c : cases) {
        const bool wantDefault = c.request && std::strstr(c.request, "DEFAULT_CONTAINER");
        EXPECT_EQ(c.choice, ChooseCard(c.request, wantDefault, kCard.size(), names))
            << (c.request ? c.request : "NULL");
    }
    EXPECT_EQ(CardChoice::None, ChooseCard("010UMARTINJEANNE", false, 0, names))
        << "a card without certificates";
}

TEST(ChooseCard, ReadsTheNamesOnlyWhileNeeded)
{
    // Three certificates, the second unreadable: each name asked for is a card call.
    const std::vector<std::string> card = {"AAA", "", "CCC"};
    struct Case {
        const char *what;
        const char *request;
        bool wantDefault;
        CardChoice choice;
        std::vector<size_t> asked;
    } cases[] = {
        {"the first name", "xAAAx", false, CardChoice::ByName, {0}},
        {"the default container", "DEFAULT_CONTAINER", true, CardChoice::ByDefault, {0}},
        {"the third name, past an unreadable one", "CCC", false, CardChoice::ByName, {0, 1, 2}},
        {"no name", "BBB", false, CardChoice::None, {0, 1, 2}},
        {"no request", nullptr, false, CardChoice::None, {}},
    };
    for (const Case &c : cases) {
        std::vector<size_t> asked;
        const NameAt names = [&](size_t i, std::string &name) {
            asked.push_back(i);
            name = card[i];
            return !name.empty(); // an unreadable subject names nothing, not even ""
        };
        EXPECT_EQ(c.choice, ChooseCard(c.request, c.wantDefault, card.size(), names)) << c.what;
        EXPECT_EQ(c.asked, asked) << c.what;
    }
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
