// How each kind of card answers the commands a PC/SC caller sends it: the
// two VEL generations, FIDO badges and cards of other families. Answers
// depend on, and may change, the card's memory (runtime_state.h).
// Platform-free.
#ifndef PCSC_CARD_MODEL_H
#define PCSC_CARD_MODEL_H

#include <cstdint>
#include <vector>

#include "runtime_state.h"

namespace softcard {
struct Card;
}

namespace pcsc {

using Bytes = std::vector<uint8_t>;

enum class CardKind { vel3, vel4, fidoBadge, other };

// By the card image: model "FIDO" is a badge; otherwise the VEL ATRs.
CardKind KindOf(const softcard::Card &card);

// The card's answer (data then SW1 SW2) to one command APDU.
Bytes AnswerApdu(CardKind kind, CardRuntime &memory, const uint8_t *apdu, size_t length);

// A reset or power cycle: channel 0 back to the card's own application,
// logical channels closed.
void ResetCard(CardRuntime &memory);

} // namespace pcsc

#endif
