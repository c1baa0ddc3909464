// Which card a container request names, whether a container still stands
// for the card in its slot, and what a container knows of its card between
// two checks. No platform calls: built and tested in every tree.
#ifndef VEL_CSP_CARD_MATCH_H
#define VEL_CSP_CARD_MATCH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace csp::cardmatch {

// How a request takes a card. A request names a card when it contains the
// container name of any of the card's certificates (the tray binds each
// certificate under its own subject's name; a request may carry a
// client-name suffix after it); else a request for the default container
// takes it under its first certificate's name.
enum class CardChoice {
    None,      // not this card
    ByName,    // the request names it: the container keeps the request's text
    ByDefault, // the default container: the container takes the card's own name
};

// A certificate's container name: false when it names nothing (its subject
// cannot be read). Each call past the first certificate is a card call.
using NameAt = std::function<bool(size_t index, std::string &name)>;

// The names are asked for in the library's order and only while needed: the
// first certificate's decides for a request holding it and for the default
// container; the others are read one by one until one is in the request.
//   request      the requested container text (NULL names no card)
//   wantDefault  the request asks for the default container
//   count        the card's certificates
CardChoice ChooseCard(const char *request, bool wantDefault, size_t count, const NameAt &nameAt);

// What a container's card has become, judged from the certificates it was
// built with and what its slot shows now.
enum class CardFate {
    Same,    // its certificates again, byte for byte: the same card
    Unknown, // no card, or one that did not answer whole: nothing is known
    Changed, // another card: the container stands for nothing any more
};

using Der = std::vector<uint8_t>;

constexpr size_t kNotSeen = static_cast<size_t>(-1);

struct CardReview {
    CardFate fate = CardFate::Unknown;
    // Same: where each kept certificate is in the slot's list now (its
    // object handle there is the one to use); kNotSeen for an empty one.
    std::vector<size_t> at;
};

// kept: the DER values the container holds (empty ones are certificates the
// card does not have); seen: the certificates the slot shows now, in the
// library's order; seenWhole: the slot answered, and every certificate of
// its list was read. The same card shows each kept certificate again; a card
// that answered whole without one of them is another card (a blank one
// included). A container that kept no certificate at all never matches.
CardReview ReviewCard(const std::vector<Der> &kept, const std::vector<Der> &seen, bool seenWhole);

// What a container knows of its card, read and written from any thread.
// Another card seen once is final; an absent card is not: the same card
// back makes the container stand again.
class CardStanding {
public:
    enum State : int {
        Stands, // the card it was built on, as last seen
        Absent, // last seen out (or not answering): its calls fail meanwhile
        Gone,   // another card was seen in its place: it serves nothing more
    };
    State Now() const { return static_cast<State>(state_.load()); }
    // The outcome of a check: a usable session or the same card (Same), no
    // card (Unknown), another card (Changed). Returns the new state.
    State Note(CardFate fate);

private:
    std::atomic<int> state_{Stands};
};

} // namespace csp::cardmatch

#endif
