#include "runtime_state.h"

#include <cstdio>

#include "text_records.h"

namespace pcsc {

using softcard::parseNumber;
using softcard::parseRecords;
using softcard::quote;
using softcard::Record;

CardRuntime &Runtime::CardMemory(const std::string &name, unsigned long insertion)
{
    for (CardRuntime &c : cards)
        if (c.card == name && c.insertion == insertion)
            return c;
    // One entry per card name: an older insertion's memory is gone.
    for (size_t i = 0; i < cards.size(); ++i)
        if (cards[i].card == name) {
            cards.erase(cards.begin() + i);
            break;
        }
    CardRuntime c;
    c.card = name;
    c.insertion = insertion;
    cards.push_back(c);
    return cards.back();
}

const CardRuntime *Runtime::FindCard(const std::string &name, unsigned long insertion) const
{
    for (const CardRuntime &c : cards)
        if (c.card == name && c.insertion == insertion)
            return &c;
    return nullptr;
}

Connection *Runtime::FindConnection(unsigned long pid, unsigned long id)
{
    for (Connection &c : connections)
        if (c.pid == pid && c.id == id)
            return &c;
    return nullptr;
}

bool Runtime::ReaderInUse(const std::string &reader, unsigned long insertion, bool *exclusive) const
{
    bool used = false, excl = false;
    for (const Connection &c : connections)
        if (c.reader == reader && c.insertion == insertion) {
            used = true;
            excl = excl || c.exclusive;
        }
    if (exclusive)
        *exclusive = excl;
    return used;
}

const Connection *Runtime::TransactionHolder(const std::string &reader) const
{
    for (const Connection &c : connections)
        if (c.reader == reader && c.transaction)
            return &c;
    return nullptr;
}

namespace {

bool Number(const Record &r, const char *name, unsigned long &out, std::string &error)
{
    unsigned long long v;
    if (!parseNumber(r.get(name), 0xFFFFFFFFull, v)) {
        error = "line " + std::to_string(r.line) + ": number expected for " + name;
        return false;
    }
    out = static_cast<unsigned long>(v);
    return true;
}

bool Flag(const Record &r, const char *name, bool &out, std::string &error)
{
    std::string v = r.get(name);
    if (v != "yes" && v != "no") {
        error = "line " + std::to_string(r.line) + ": yes or no expected for " + name;
        return false;
    }
    out = v == "yes";
    return true;
}

} // namespace

bool ParseRuntime(const std::string &text, Runtime &out, std::string &error)
{
    out = Runtime();
    std::vector<Record> records;
    if (!parseRecords(text, records, error))
        return false;
    if (records.empty())
        return true;
    if (records[0].keyword != "pcsc-runtime" || records[0].words.size() != 1 || records[0].words[0] != "1") {
        error = "header \"pcsc-runtime 1\" missing";
        return false;
    }
    for (size_t i = 1; i < records.size(); ++i) {
        const Record &r = records[i];
        if (r.keyword == "connection") {
            Connection c;
            c.reader = r.get("reader");
            if (!Number(r, "pid", c.pid, error) || !Number(r, "id", c.id, error) ||
                !Number(r, "insertion", c.insertion, error) || !Flag(r, "exclusive", c.exclusive, error) ||
                !Flag(r, "transaction", c.transaction, error))
                return false;
            if (c.reader.empty() || out.FindConnection(c.pid, c.id)) {
                error = "line " + std::to_string(r.line) + ": connection without reader or twice";
                return false;
            }
            out.connections.push_back(c);
        } else if (r.keyword == "card") {
            CardRuntime c;
            c.card = r.get("name");
            if (c.card.empty() || !Number(r, "insertion", c.insertion, error) ||
                !Flag(r, "foreign", c.foreignOnChannel0, error) ||
                !Flag(r, "channel1", c.channel1Open, error) || !Number(r, "resets", c.resets, error)) {
                if (error.empty())
                    error = "line " + std::to_string(r.line) + ": card without name";
                return false;
            }
            out.cards.push_back(c);
        } else {
            error = "line " + std::to_string(r.line) + ": unknown keyword " + r.keyword;
            return false;
        }
    }
    return true;
}

std::string RuntimeToText(const Runtime &rt)
{
    std::string out = "pcsc-runtime 1\n";
    char buf[160];
    for (const Connection &c : rt.connections) {
        std::snprintf(buf, sizeof(buf), " pid=%lu id=%lu insertion=%lu exclusive=%s transaction=%s\n", c.pid,
                      c.id, c.insertion, c.exclusive ? "yes" : "no", c.transaction ? "yes" : "no");
        out += "connection reader=" + quote(c.reader) + buf;
    }
    for (const CardRuntime &c : rt.cards) {
        std::snprintf(buf, sizeof(buf), " insertion=%lu foreign=%s channel1=%s resets=%lu\n", c.insertion,
                      c.foreignOnChannel0 ? "yes" : "no", c.channel1Open ? "yes" : "no", c.resets);
        out += "card name=" + quote(c.card) + buf;
    }
    return out;
}

} // namespace pcsc
