#include "reader_view.h"

namespace pcsc {

const char kPnpReaderName[] = "\\\\?PnP?\\Notification";

namespace {

// Low byte: the reader count; high byte: a digest of the names, so that a
// list replaced by another of the same length still reads as a change. Never
// zero, so that it never reads as a caller that knows nothing.
uint32_t PnpCounter(const softcard::State &state)
{
    uint32_t h = 2166136261u;
    for (const softcard::Reader &r : state.readers) {
        for (unsigned char c : r.name)
            h = (h ^ c) * 16777619u;
        h = (h ^ 0xFF) * 16777619u;
    }
    return (0x80 | ((h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24)) & 0x7F)) << 8 | (state.readers.size() & 0xFF);
}

} // namespace

ReaderSnapshot SnapshotOf(const softcard::State &state, const Runtime &rt, const std::string &reader)
{
    ReaderSnapshot s;
    if (reader == kPnpReaderName) {
        s.known = true;
        s.state = PnpCounter(state) << 16;
        return s;
    }
    if (!state.readerByName(reader)) {
        s.state = kStateUnknown | kStateIgnore;
        return s;
    }
    s.known = true;
    const softcard::PlacedCard *card = state.cardIn(reader);
    if (!card) {
        s.state = kStateEmpty;
        return s;
    }
    bool exclusive = false;
    s.state = kStatePresent | ((card->insertion & 0xFFFF) << 16);
    if (rt.ReaderInUse(reader, card->insertion, &exclusive))
        s.state |= kStateInUse | (exclusive ? uint32_t(kStateExclusive) : 0u);
    s.atr = card->card.atr;
    return s;
}

bool Differs(uint32_t current, uint32_t now)
{
    if (current == 0)
        return true; // a caller that knows nothing is always told
    if ((current & 0xFFFF & ~kStateChanged) != (now & 0xFFFF))
        return true;
    return (current >> 16) != 0 && (current >> 16) != (now >> 16);
}

} // namespace pcsc
