#include "card_match.h"
#include "prompt_record.h"

#include <gtest/gtest.h>

#include <thread>

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
