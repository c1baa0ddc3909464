// The test cards built into the library and the control program (made at
// build time from the card sources by make-cards.py).
#ifndef SOFTCARD_BUILTIN_CARDS_H
#define SOFTCARD_BUILTIN_CARDS_H

#include <cstddef>

namespace softcard {

struct BuiltinCard {
    const char *name;
    const char *image;
};

extern const BuiltinCard kBuiltinCards[];
extern const size_t kBuiltinCardCount;

const BuiltinCard *findBuiltinCard(const char *name);

} // namespace softcard

#endif
