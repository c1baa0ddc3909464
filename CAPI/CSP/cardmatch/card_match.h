// Which card a container request names, and whether a container still
// stands for the card in its slot. No platform calls: built and tested in
// every tree.
#ifndef VEL_CSP_CARD_MATCH_H
#define VEL_CSP_CARD_MATCH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cardmatch {

// A request names a card when it contains the container name of any of the
// card's certificates (the tray binds each certificate under its own
// subject's name; a request may carry a client-name suffix after it).
//   request    the requested container text (NULL names no card)
//   certNames  the container names of the card's certificates, in the
//              library's order
bool RequestNamesCard(const char *request, const std::vector<std::string> &certNames);

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
