// The state every process shares: the readers, the cards (in a reader or
// out), and the test settings (latency, call log, injected results).
// Kept as text in one file; this part only parses and writes the text.
#ifndef SOFTCARD_STATE_H
#define SOFTCARD_STATE_H

#include <string>
#include <vector>

#include "card.h"

namespace softcard {

struct Reader {
    unsigned long slotId = 0;
    std::string name;
};

struct PlacedCard {
    std::string name;            // the name it was inserted under
    std::string reader;          // reader name; empty when the card is out
    unsigned long insertion = 0; // changes at every insertion: sessions of an older one are gone
    Card card;
};

// Result `result` on the `call`-th call of `function` counted from when the
// rule was set (`seen` calls so far); the rule is dropped once it fires.
struct Injection {
    std::string function;
    unsigned long call = 1;
    unsigned long seen = 0;
    unsigned long result = 0;
};

struct State {
    std::vector<Reader> readers; // in slot-list order
    std::vector<PlacedCard> cards;
    std::vector<Injection> injections;
    unsigned long latencyMs = 0;
    bool log = false;
    unsigned long nextInsertion = 1;

    const Reader *readerBySlot(unsigned long slotId) const;
    const Reader *readerByName(const std::string &name) const;
    PlacedCard *cardIn(const std::string &reader);
    const PlacedCard *cardIn(const std::string &reader) const;
    PlacedCard *cardByName(const std::string &name);
};

bool parseState(const std::string &text, State &state, std::string &error);
std::string stateToText(const State &state);

// One reader holding the default card: what a machine with no state file sees.
State defaultState();
extern const char kDefaultReaderName[];

} // namespace softcard

#endif
