// What the PC/SC stand-in adds to the software card's state, shared by every
// process: the open card connections (for sharing, "in use" and
// transactions) and what each inserted card remembers between commands
// (which application channel 0 holds, whether logical channel 1 is open,
// how many resets it saw). Kept as text in "<state>.pcsc" beside the state
// file; this part only parses and writes the text. Platform-free.
#ifndef PCSC_RUNTIME_STATE_H
#define PCSC_RUNTIME_STATE_H

#include <string>
#include <vector>

namespace pcsc {

struct Connection {
    unsigned long pid = 0; // owning process
    unsigned long id = 0;  // the handle's number inside that process
    std::string reader;
    unsigned long insertion = 0; // the card it was made on
    bool exclusive = false;      // exclusive or direct
    bool transaction = false;    // holds the reader's transaction
};

// One inserted card's memory; a new insertion starts afresh (power-up).
struct CardRuntime {
    std::string card; // card name in the software card's state
    unsigned long insertion = 0;
    bool foreignOnChannel0 = false; // another application took channel 0
    bool channel1Open = false;
    unsigned long resets = 0;
};

struct Runtime {
    std::vector<Connection> connections;
    std::vector<CardRuntime> cards;

    // The memory of that insertion of that card, made on first use.
    CardRuntime &CardMemory(const std::string &name, unsigned long insertion);
    const CardRuntime *FindCard(const std::string &name, unsigned long insertion) const;
    Connection *FindConnection(unsigned long pid, unsigned long id);
    bool ReaderInUse(const std::string &reader, unsigned long insertion, bool *exclusive) const;
    // The connection holding the reader's transaction, if any.
    const Connection *TransactionHolder(const std::string &reader) const;
};

// Empty text is an empty runtime. False with a message on malformed text.
bool ParseRuntime(const std::string &text, Runtime &out, std::string &error);
std::string RuntimeToText(const Runtime &rt);

} // namespace pcsc

#endif
