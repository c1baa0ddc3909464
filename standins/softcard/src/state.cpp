#include "state.h"

#include <cstdio>

#include "builtin_cards.h"
#include "text_records.h"

namespace softcard {

const char kDefaultReaderName[] = "Lecteur Ovrane VEL 0";

const Reader *State::readerBySlot(unsigned long slotId) const
{
    for (const Reader &r : readers)
        if (r.slotId == slotId)
            return &r;
    return nullptr;
}

const Reader *State::readerByName(const std::string &name) const
{
    for (const Reader &r : readers)
        if (r.name == name)
            return &r;
    return nullptr;
}

PlacedCard *State::cardIn(const std::string &reader)
{
    for (PlacedCard &c : cards)
        if (!c.reader.empty() && c.reader == reader)
            return &c;
    return nullptr;
}

const PlacedCard *State::cardIn(const std::string &reader) const
{
    return const_cast<State *>(this)->cardIn(reader);
}

PlacedCard *State::cardByName(const std::string &name)
{
    for (PlacedCard &c : cards)
        if (c.name == name)
            return &c;
    return nullptr;
}

namespace {

std::string at(const Record &r, const std::string &what)
{
    char buf[48];
    std::snprintf(buf, sizeof(buf), "ligne %d : ", r.line);
    return buf + what;
}

bool number(const Record &r, const char *name, unsigned long long max, unsigned long &out, std::string &error)
{
    unsigned long long v;
    if (!parseNumber(r.get(name), max, v)) {
        error = at(r, std::string("nombre attendu pour ") + name);
        return false;
    }
    out = static_cast<unsigned long>(v);
    return true;
}

} // namespace

bool parseState(const std::string &text, State &state, std::string &error)
{
    std::vector<Record> records;
    if (!parseRecords(text, records, error))
        return false;
    state = State();
    state.nextInsertion = 1;
    if (records.empty() || records[0].keyword != "softcard-state" || records[0].words.size() != 1 ||
        records[0].words[0] != "1") {
        error = "en-tête « softcard-state 1 » absent";
        return false;
    }
    for (size_t i = 1; i < records.size(); ++i) {
        const Record &r = records[i];
        if (r.keyword == "settings") {
            if (!number(r, "latency", 600000, state.latencyMs, error) ||
                !number(r, "next-insertion", 0xFFFFFFFFull, state.nextInsertion, error))
                return false;
            state.log = r.get("log") == "on";
        } else if (r.keyword == "reader") {
            Reader rd;
            if (!number(r, "slot", 0xFFFFFFFEull, rd.slotId, error))
                return false;
            rd.name = r.get("name");
            if (rd.name.empty() || rd.name.size() > 127 || state.readerByName(rd.name) ||
                state.readerBySlot(rd.slotId)) {
                error = at(r, "lecteur sans nom, nom trop long (127) ou lecteur en double");
                return false;
            }
            state.readers.push_back(rd);
        } else if (r.keyword == "inject") {
            Injection inj;
            inj.function = r.get("function");
            if (inj.function.empty() || !number(r, "call", 0xFFFFFFFFull, inj.call, error) ||
                !number(r, "seen", 0xFFFFFFFFull, inj.seen, error) ||
                !number(r, "result", 0xFFFFFFFFull, inj.result, error))
                return false;
            state.injections.push_back(inj);
        } else if (r.keyword == "card") {
            PlacedCard pc;
            pc.name = r.get("name");
            pc.reader = r.get("reader");
            if (!number(r, "insertion", 0xFFFFFFFFull, pc.insertion, error))
                return false;
            size_t end = i + 1;
            while (end < records.size() && records[end].keyword != "end-card")
                ++end;
            if (end == records.size()) {
                error = at(r, "carte sans « end-card »");
                return false;
            }
            std::vector<Record> body(records.begin() + i + 1, records.begin() + end);
            std::string cardError;
            if (!cardFromRecords(body, pc.card, cardError)) {
                error = "carte " + pc.name + " : " + cardError;
                return false;
            }
            if (pc.name.empty() || state.cardByName(pc.name) ||
                (!pc.reader.empty() && (!state.readerByName(pc.reader) || state.cardIn(pc.reader)))) {
                error = at(r, "carte sans nom, en double, ou dans un lecteur inconnu ou occupé");
                return false;
            }
            state.cards.push_back(pc);
            i = end;
        } else {
            error = at(r, "mot-clé inconnu : " + r.keyword);
            return false;
        }
    }
    return true;
}

std::string stateToText(const State &state)
{
    char buf[160];
    std::string out = "softcard-state 1\n";
    std::snprintf(buf, sizeof(buf), "settings latency=%lu log=%s next-insertion=%lu\n", state.latencyMs,
                  state.log ? "on" : "off", state.nextInsertion);
    out += buf;
    for (const Reader &r : state.readers) {
        std::snprintf(buf, sizeof(buf), "reader slot=%lu name=", r.slotId);
        out += buf + quote(r.name) + "\n";
    }
    for (const Injection &inj : state.injections) {
        std::snprintf(buf, sizeof(buf), " call=%lu seen=%lu result=0x%08lX\n", inj.call, inj.seen,
                      inj.result);
        out += "inject function=" + quote(inj.function) + buf;
    }
    for (const PlacedCard &c : state.cards) {
        std::snprintf(buf, sizeof(buf), " insertion=%lu\n", c.insertion);
        out += "card name=" + quote(c.name) + " reader=" + quote(c.reader) + buf;
        out += cardToText(c.card);
        out += "end-card\n";
    }
    return out;
}

State defaultState()
{
    State s;
    s.readers.push_back(Reader{1, kDefaultReaderName});
    PlacedCard pc;
    pc.name = "vel3-default";
    pc.reader = kDefaultReaderName;
    pc.insertion = 1;
    std::string error;
    const BuiltinCard *b = findBuiltinCard("vel3-default");
    if (b && parseCard(b->image, pc.card, error))
        s.cards.push_back(pc);
    s.nextInsertion = 2;
    return s;
}

} // namespace softcard
