// Fuzzer: the state file and card image parsers take any bytes without
// overrunning, and whatever they accept writes back to text they accept again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "card.h"
#include "state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    softcard::State state;
    if (softcard::parseState(text, state, error)) {
        softcard::State again;
        if (!softcard::parseState(softcard::stateToText(state), again, error))
            __builtin_trap();
    }
    softcard::Card card;
    if (softcard::parseCard(text, card, error)) {
        softcard::Card again;
        if (!softcard::parseCard(softcard::cardToText(card), again, error))
            __builtin_trap();
    }
    return 0;
}
