#include "card_match.h"
#include "prompt_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace csp::cardmatch;

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

TEST(ReviewCard, OnlyAnotherCardsCertificatesChangeTheCard)
{
    const Der a = {1, 2, 3}, b = {4, 5}, c = {6};
    const size_t none = kNotSeen;
    struct Case {
        const char *what;
        std::vector<Der> kept, seen;
        bool whole;
        CardFate fate;
        std::vector<size_t> at;
    } cases[] = {
        {"same card", {a, b}, {a, b}, true, CardFate::Same, {0, 1}},
        // Put back, its objects listed in another order: each key follows
        // its own certificate, not the position it had.
        {"same card, other order", {a, b}, {b, a}, true, CardFate::Same, {1, 0}},
        {"same card, one kept certificate", {{}, b}, {a, b}, true, CardFate::Same, {none, 1}},
        {"same card, more objects", {a, b}, {c, a, b}, true, CardFate::Same, {1, 2}},
        {"card pulled", {a, b}, {}, false, CardFate::Unknown, {}},
        {"a card that did not answer whole", {a, b}, {a}, false, CardFate::Unknown, {}},
        {"another card", {a, b}, {c}, true, CardFate::Changed, {}},
        {"a blank card", {a, b}, {}, true, CardFate::Changed, {}},
        {"a card sharing one certificate", {a, b}, {a, c}, true, CardFate::Changed, {}},
        {"one byte differs", {a}, {Der{1, 2, 4}}, true, CardFate::Changed, {}},
        {"nothing kept", {{}, {}}, {a}, true, CardFate::Changed, {}},
        {"nothing kept, nothing read", {{}, {}}, {}, false, CardFate::Changed, {}},
    };
    for (const Case &k : cases) {
        const CardReview r = ReviewCard(k.kept, k.seen, k.whole);
        EXPECT_EQ(k.fate, r.fate) << k.what;
        EXPECT_EQ(k.at, r.at) << k.what;
    }
}

TEST(CardStanding, AnAbsentCardComesBackAnotherCardIsFinal)
{
    struct Case {
        const char *what;
        std::vector<CardFate> checks;
        CardStanding::State now;
    } cases[] = {
        {"never checked", {}, CardStanding::Stands},
        {"pulled", {CardFate::Unknown}, CardStanding::Absent},
        {"pulled and put back", {CardFate::Unknown, CardFate::Unknown, CardFate::Same}, CardStanding::Stands},
        {"another card", {CardFate::Changed}, CardStanding::Gone},
        {"another card, then its own back", {CardFate::Changed, CardFate::Same}, CardStanding::Gone},
        {"out, another card, out, its own back",
         {CardFate::Unknown, CardFate::Changed, CardFate::Unknown, CardFate::Same},
         CardStanding::Gone},
    };
    for (const Case &c : cases) {
        CardStanding s;
        for (CardFate f : c.checks)
            s.Note(f);
        EXPECT_EQ(c.now, s.Now()) << c.what;
    }
}

TEST(CardStanding, ThreadsNotingAtOnceNeverUndoAnotherCard)
{
    for (int round = 0; round < 50; ++round) {
        CardStanding s;
        std::thread out([&] {
            for (int i = 0; i < 200; ++i)
                s.Note(i % 2 ? CardFate::Same : CardFate::Unknown);
        });
        std::thread other([&] { s.Note(CardFate::Changed); });
        out.join();
        other.join();
        EXPECT_EQ(CardStanding::Gone, s.Now());
    }
}

TEST(PromptRecord, ACancelAnswersTheOperationsThatWaitedBehindIt)
{
    PromptRecord r;
    const uint32_t before = r.Ticket();
    EXPECT_FALSE(r.CancelledSince(before)) << "no prompt ended";
    // The holder cancels the prompt an operation waited behind.
    r.Ended(true);
    EXPECT_TRUE(r.CancelledSince(before)) << "waited behind the cancel";
    const uint32_t after = r.Ticket();
    EXPECT_FALSE(r.CancelledSince(after)) << "came after it: asks again";
    // Cancelled, then answered: the login was given since.
    r.Ended(false);
    EXPECT_FALSE(r.CancelledSince(before));
    EXPECT_FALSE(r.CancelledSince(after));
    // Answered, then cancelled: the latest answer counts.
    const uint32_t third = r.Ticket();
    r.Ended(true);
    EXPECT_TRUE(r.CancelledSince(third));
    EXPECT_TRUE(r.CancelledSince(before));
}

} // namespace
