// Which card a container request names, and whether a container still
// stands for the card in its slot. No platform calls: built and tested in
// every tree.
#ifndef VEL_CSP_CARD_MATCH_H
#define VEL_CSP_CARD_MATCH_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cardmatch {

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
// built with and the ones the slot shows now.
enum class CardFate {
    Same,    // the same card: fresh handles, the caches cleared
    Changed, // another card, or none: the container is unusable
};

using Der = std::vector<uint8_t>;

// kept: the DER values the container holds (empty ones are absent
// certificates); seen: every certificate the slot shows now. The same card
// shows each kept certificate again, byte for byte; a slot that shows
// nothing (card pulled) or whose first kept certificate is missing is
// another card. A container that kept no certificate at all never matches.
CardFate JudgeCard(const std::vector<Der> &kept, const std::vector<Der> &seen);

} // namespace cardmatch

#endif
