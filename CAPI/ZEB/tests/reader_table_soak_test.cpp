// Randomized soak of the slot table in event-driven mode, without Windows:
// readers plugged in and out at any place of the list (two of them named
// alike over a slot description's 64 characters), cards put in, pulled,
// replaced and moved, duplicate insertions, propagations that fail, tokens
// that cannot be read, removals announced or only seen in the reader list,
// the monitor's first-scan reconciliation, the tray started again (the
// start-up listing by slot descriptions, then the monitor), both WebAuthn
// modes. The table is
// driven through the same rules, in the same order, as the core object
// drives it, with a store of certificates in memory. At every quiet point
// (after each event and the reader-list update that follows it):
//   - the store holds exactly the certificates the entries record;
//   - entry j belongs to reader j (slot id j, the reader's whole name), and
//     the entries past the readers hold nothing;
//   - a reader whose card was propagated has exactly that card's
//     certificates recorded (or, a VEL3 card in WebAuthn mode, the
//     inhibited mark and none); a reader without card, or whose card's
//     propagation failed, holds nothing.
//   VEL_SOAK_SEED    the seed (printed; a failure is replayed with it)
//   VEL_SOAK_EVENTS  events (default 20000)
//   VEL_SOAK_SECONDS time bound (default 20)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "padded_field.h"
#include "reader_entries.h"

using namespace zeb;

namespace {

unsigned long EnvNumber(const char *name, unsigned long fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::strtoul(v, nullptr, 0) : fallback;
}

using Cert = std::pair<std::vector<uint8_t>, std::vector<uint8_t>>; // issuer, serial

struct Card {
    const char *label;
    unsigned version;
    std::vector<uint8_t> serials; // its certificates, by serial number (one issuer)
};
// The fourth card shares its first certificate with the first: a store copy
// belongs to both while both are in.
const Card kCards[] = {
    {"VEL3v2-MARTIN JEANNE", 3, {1, 2}},
    {"VEL3v2-DURAND PAUL", 3, {3, 4}},
    {"VEL4-PETIT LOUISE", 4, {5}},
    {"VEL3v2-MARTIN JEANNE bis", 3, {1, 6}},
};
const size_t kCardCount = sizeof kCards / sizeof kCards[0];
const char *const kReaderNames[] = {
    "Lecteur Ovrane VEL 0",
    "Lecteur Ovrane VEL 1",
    "Lecteur",
    "Lecteur B",
    "Lecteur USB de la station de travail du cabinet medical, poste numero 2",
    // Named alike over their first 64 characters.
    "Lecteur Ovrane VEL sans contact double interface modele professionnel 0",
    "Lecteur Ovrane VEL sans contact double interface modele professionnel 1",
};
const size_t kReaderNameCount = sizeof kReaderNames / sizeof kReaderNames[0];

CK_TOKEN_INFO TokenOf(size_t card)
{
    CK_TOKEN_INFO t{};
    memset(t.label, ' ', sizeof t.label);
    memcpy(t.label, kCards[card].label, std::min(strlen(kCards[card].label), sizeof t.label));
    snprintf(reinterpret_cast<char *>(t.serialNumber), sizeof t.serialNumber, "%015zu", card);
    return t;
}

CertRecord RecordOf(uint8_t serial)
{
    return CertRecord{{0x30, 0x11}, {serial}};
}

// The tray's side: the slot table and the user's store, changed as the
// core object changes them when the reader monitor calls it.
class Tray {
public:
    explicit Tray(bool webauthn) : webauthn_(webauthn) {}

    // InsertCertificatesFromSlot: `fail` makes the card's reading fail.
    void Insert(CK_SLOT_ID slotId, const std::string &reader, size_t card, bool tokenKnown, bool fail)
    {
        unsigned version = kCards[card].version;
        if (!InsertRequestUsable(slotId, reader.c_str(), version))
            return;
        EntryChoice choice = ChooseInsertEntry(table_, kSlotCount, reader.c_str());
        if (choice.match == EntryMatch::none)
            return;
        SlotInfoEntry *e = &table_[choice.index];
        ClaimEntry(e, slotId, reader.c_str(), version);
        CK_TOKEN_INFO token{};
        if (tokenKnown)
            token = TokenOf(card);
        InsertDecision d = DecideInsert(*e, tokenKnown, token, version, true, webauthn_);
        if (d.action == InsertAction::keep)
            return;
        if (d.giveBackFirst)
            GiveBack(e);
        PrepareForCard(e, token);
        if (d.action == InsertAction::inhibit) {
            e->bIgnoredWebAuthn = 1;
            e->bSynchro = 1;
            return;
        }
        // CryptPropCert: every certificate, or none when the card fails.
        if (!fail)
            Propagate(e, card);
        else
            GiveBack(e);
    }

    // DeleteCertificatesFromSlot.
    void Remove(const std::string &reader, unsigned version)
    {
        if (!RemoveRequestUsable(reader.c_str(), version))
            return;
        size_t i = FindReaderEntry(table_, kSlotCount, reader.c_str());
        if (i == kSlotCount)
            return;
        if (table_[i].bSynchro || table_[i].nbCerts)
            GiveBack(&table_[i]);
        ReleaseReaderEntry(&table_[i]);
    }

    // SyncSlotInfos.
    size_t Sync(const std::vector<ReaderPresence> &readers)
    {
        std::vector<SlotInfoEntry> gone;
        size_t n = FollowReaders(table_, readers, &gone);
        for (auto &e : gone)
            GiveBack(&e);
        return n;
    }

    // ReconcileWithReaders.
    void Reconcile(const std::vector<std::string> &readers, const std::vector<std::string> &readersWithCard)
    {
        NameEntries(table_, kSlotCount, readers);
        for (auto &e : table_) {
            if (!HeldWithoutCard(e, readersWithCard))
                continue;
            GiveBack(&e);
            e.bIgnoredWebAuthn = 0;
        }
    }

    // The tray closed and started again: every certificate out of the store,
    // then InitSlotList, the slots in the readers' order, each entry known by
    // its slot's description (64 characters of the reader's name) alone.
    //   cards  the card in each reader, -1: none
    void StartAgain(const std::vector<std::string> &readers, const std::vector<int> &cards)
    {
        for (auto &e : table_) {
            GiveBack(&e);
            e.Clear();
        }
        store_.clear();
        for (size_t i = 0; i < readers.size() && i < kSlotCount; ++i) {
            SlotInfoEntry &e = table_[i];
            e.slotId = 100 + i;
            memset(e.slotInfo.slotDescription, ' ', sizeof e.slotInfo.slotDescription);
            memcpy(e.slotInfo.slotDescription, readers[i].data(),
                   std::min(readers[i].size(), sizeof e.slotInfo.slotDescription));
            if (cards[i] < 0)
                continue;
            CK_TOKEN_INFO token = TokenOf(cards[i]);
            e.tokenInfo = token;
            if (webauthn_ && kCards[cards[i]].version == 3) {
                e.bIgnoredWebAuthn = 1; // marked synchronised by the monitor's insertion
                continue;
            }
            e.heldToken = token;
            Propagate(&e, cards[i]);
        }
    }

    const SlotInfoEntry &Entry(size_t i) const { return table_[i]; }
    const std::set<Cert> &Store() const { return store_; }

private:
    void Propagate(SlotInfoEntry *e, size_t card)
    {
        for (uint8_t serial : kCards[card].serials) {
            CertRecord r = RecordOf(serial);
            store_.insert({r.issuer, r.serial});
            e->certs[e->nbCerts++] = std::make_unique<CertRecord>(r);
        }
        e->bSynchro = 1;
    }

    // ZEB_deleteCert: a certificate another entry also records stays.
    void GiveBack(SlotInfoEntry *e)
    {
        for (CK_ULONG k = 0; k < e->nbCerts && k < kMaxCertsPerSlot; ++k) {
            if (!e->certs[k])
                continue;
            if (!HeldElsewhere(table_, kSlotCount, e, *e->certs[k]))
                store_.erase({e->certs[k]->issuer, e->certs[k]->serial});
            e->certs[k].reset();
        }
        e->bSynchro = 0;
        e->nbCerts = 0;
    }

    bool webauthn_;
    SlotInfoEntry table_[kSlotCount];
    std::set<Cert> store_;
};

// The readers and cards as they are; the monitor's calls follow them.
struct Reader {
    std::string name;
    int card = -1;       // the card in it, -1: none
    bool synced = false; // its card's insertion went through (propagated, or marked inhibited)
};

class Soak {
public:
    Soak(unsigned seed, bool webauthn) : rng_(seed), webauthn_(webauthn), tray_(webauthn) {}

    // One event and the monitor's calls; its text in `done`.
    void Step(std::string *done)
    {
        for (;;) {
            switch (Pick(10)) {
            case 0: { // a reader plugged in at any place
                std::string name = UnpluggedName();
                if (name.empty())
                    continue;
                size_t at = Pick(readers_.size() + 1);
                readers_.insert(readers_.begin() + at, Reader{name});
                *done = "plug " + name + " at " + std::to_string(at);
                break;
            }
            case 1: { // a reader unplugged, its card with it
                if (readers_.empty())
                    continue;
                size_t at = Pick(readers_.size());
                Reader r = readers_[at];
                readers_.erase(readers_.begin() + at);
                bool announced = r.card >= 0 && Pick(2) == 0;
                if (announced)
                    tray_.Remove(r.name, kCards[r.card].version);
                *done = "unplug " + r.name + (announced ? " (card removal announced)" : "");
                break;
            }
            case 2:
            case 3: { // a card put into an empty reader
                int reader = ReaderWith(false);
                int card = CardOut();
                if (reader < 0 || card < 0)
                    continue;
                PutIn(reader, card, done);
                break;
            }
            case 4: { // a card pulled
                int reader = ReaderWith(true);
                if (reader < 0)
                    continue;
                Reader &r = readers_[reader];
                tray_.Remove(r.name, kCards[r.card].version);
                *done = "pull " + std::string(kCards[r.card].label) + " from " + r.name;
                r.card = -1;
                r.synced = false;
                break;
            }
            case 5: { // another card in its place before the monitor looked
                int reader = ReaderWith(true);
                int card = CardOut();
                if (reader < 0 || card < 0)
                    continue;
                Reader &r = readers_[reader];
                bool removalSeen = Pick(2) == 0;
                if (removalSeen)
                    tray_.Remove(r.name, kCards[r.card].version);
                r.card = -1;
                r.synced = false;
                PutIn(reader, card, done, removalSeen);
                *done = (removalSeen ? "replace (removal seen): " : "replace (insertion only): ") + *done;
                break;
            }
            case 6: { // the monitor tells the same insertion again, or retries a failed one
                int reader = ReaderWith(true);
                if (reader < 0)
                    continue;
                Reader &r = readers_[reader];
                tray_.Insert(Pick(4), r.name, r.card, Pick(10) != 0, false);
                r.synced = true;
                *done = "insert again " + std::string(kCards[r.card].label) + " in " + r.name;
                break;
            }
            case 7: { // requests naming no reader or no generation change nothing
                tray_.Insert(0, "", Pick(kCardCount), true, false);
                tray_.Remove("", 3);
                if (!readers_.empty())
                    tray_.Remove(readers_[Pick(readers_.size())].name, 0);
                *done = "unusable requests";
                break;
            }
            case 8: { // the monitor's first scan
                Reconcile();
                *done = "reconcile";
                break;
            }
            case 9: { // the tray started again: the start-up listing, then the monitor
                if (Pick(4) != 0)
                    continue; // now and then
                std::vector<std::string> names;
                std::vector<int> cards;
                for (Reader &r : readers_) {
                    names.push_back(r.name);
                    cards.push_back(r.card);
                    r.synced = r.card >= 0;
                }
                tray_.StartAgain(names, cards);
                // A card pulled between the listing and the monitor's first look.
                int pulled = Pick(3) == 0 ? ReaderWith(true) : -1;
                if (pulled >= 0) {
                    readers_[pulled].card = -1;
                    readers_[pulled].synced = false;
                }
                Reconcile();
                for (size_t j = 0; j < readers_.size(); ++j)
                    if (readers_[j].card >= 0)
                        tray_.Insert(100 + j, readers_[j].name, readers_[j].card, true, false);
                *done = "start again" + (pulled >= 0 ? ", a card pulled from " + readers_[pulled].name : "");
                break;
            }
            }
            break;
        }
        std::vector<ReaderPresence> list;
        for (const Reader &r : readers_)
            list.push_back({r.name, r.card >= 0});
        inUse_ = tray_.Sync(list);
    }

    // ReconcileWithReaders as the monitor calls it: every reader, and those with a card.
    void Reconcile()
    {
        std::vector<std::string> all, withCard;
        for (const Reader &r : readers_) {
            all.push_back(r.name);
            if (r.card >= 0)
                withCard.push_back(r.name);
        }
        tray_.Reconcile(all, withCard);
    }

    // The invariants of a quiet point; empty when they hold.
    std::string Check() const
    {
        std::ostringstream out;
        std::set<Cert> recorded;
        for (size_t i = 0; i < kSlotCount; ++i) {
            const SlotInfoEntry &e = tray_.Entry(i);
            if (e.nbCerts > kMaxCertsPerSlot)
                out << "entry " << i << " counts " << e.nbCerts << " records\n";
            for (size_t k = 0; k < kMaxCertsPerSlot; ++k) {
                if ((k < e.nbCerts) != static_cast<bool>(e.certs[k]))
                    out << "entry " << i << " record place " << k << " does not match its count\n";
                if (e.certs[k])
                    recorded.insert({e.certs[k]->issuer, e.certs[k]->serial});
            }
        }
        if (recorded != tray_.Store())
            out << "the store holds " << tray_.Store().size() << " certificates, the entries record "
                << recorded.size() << "\n";
        if (inUse_ != readers_.size())
            out << inUse_ << " entries in use for " << readers_.size() << " readers\n";
        for (size_t j = 0; j < readers_.size(); ++j) {
            const SlotInfoEntry &e = tray_.Entry(j);
            const Reader &r = readers_[j];
            if (e.slotId != j || e.reader != r.name ||
                !vel::PaddedFieldEquals(e.slotInfo.slotDescription, sizeof e.slotInfo.slotDescription,
                                        r.name.c_str()))
                out << "entry " << j << " is not " << r.name << "'s\n";
            std::set<uint8_t> serials;
            for (size_t k = 0; k < e.nbCerts && k < kMaxCertsPerSlot; ++k)
                if (e.certs[k])
                    serials.insert(e.certs[k]->serial.at(0));
            bool inhibited = r.card >= 0 && r.synced && webauthn_ && kCards[r.card].version == 3;
            if (inhibited) {
                if (!e.bSynchro || !e.bIgnoredWebAuthn || e.nbCerts)
                    out << r.name << ": a VEL3 card in WebAuthn mode is marked, not propagated\n";
            } else if (r.card >= 0 && r.synced) {
                std::set<uint8_t> expected(kCards[r.card].serials.begin(), kCards[r.card].serials.end());
                if (!e.bSynchro || serials != expected)
                    out << r.name << ": " << kCards[r.card].label << " propagated, but the entry holds "
                        << serials.size() << " records, synchro " << int(e.bSynchro) << "\n";
            } else if (e.bSynchro || e.nbCerts) {
                out << r.name << ": " << (r.card >= 0 ? "its card failed" : "no card")
                    << ", but the entry holds " << e.nbCerts << " records, synchro " << int(e.bSynchro)
                    << "\n";
            }
        }
        for (size_t i = readers_.size(); i < kSlotCount; ++i) {
            const SlotInfoEntry &e = tray_.Entry(i);
            if (e.slotInfo.slotDescription[0] || !e.reader.empty() || e.nbCerts || e.bSynchro ||
                e.bIgnoredWebAuthn)
                out << "entry " << i << " beyond the readers holds something\n";
        }
        return out.str();
    }

private:
    size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(rng_) : 0; }

    // `slotMayBeUnknown`: the monitor may ask with a slot id of all bits set
    // (it does not: a card it cannot find a slot for is not asked for; the
    // request is refused all the same). Only where the removal was seen.
    void PutIn(int reader, int card, std::string *done, bool slotMayBeUnknown = true)
    {
        Reader &r = readers_[reader];
        r.card = card;
        // The card's reading may fail: nothing is propagated until the
        // monitor retries.
        CK_SLOT_ID slot = slotMayBeUnknown && Pick(30) == 0 ? static_cast<CK_SLOT_ID>(-1) : Pick(4);
        bool fail = Pick(8) == 0;
        tray_.Insert(slot, r.name, card, Pick(10) != 0, fail);
        // A VEL3 card in WebAuthn mode is marked without being read.
        bool inhibited = webauthn_ && kCards[card].version == 3;
        r.synced = slot != static_cast<CK_SLOT_ID>(-1) && (!fail || inhibited);
        *done = "put " + std::string(kCards[card].label) + " in " + r.name +
                (fail ? " (reading fails)" : "") +
                (slot == static_cast<CK_SLOT_ID>(-1) ? " (no slot id)" : "");
    }

    std::string UnpluggedName()
    {
        std::vector<std::string> out;
        for (const char *name : kReaderNames) {
            bool plugged = false;
            for (const Reader &r : readers_)
                plugged = plugged || r.name == name;
            if (!plugged)
                out.push_back(name);
        }
        return out.empty() ? std::string() : out[Pick(out.size())];
    }

    int ReaderWith(bool card)
    {
        std::vector<int> out;
        for (size_t i = 0; i < readers_.size(); ++i)
            if ((readers_[i].card >= 0) == card)
                out.push_back(static_cast<int>(i));
        return out.empty() ? -1 : out[Pick(out.size())];
    }

    int CardOut()
    {
        std::vector<int> out;
        for (size_t c = 0; c < kCardCount; ++c) {
            bool in = false;
            for (const Reader &r : readers_)
                in = in || r.card == static_cast<int>(c);
            if (!in)
                out.push_back(static_cast<int>(c));
        }
        return out.empty() ? -1 : out[Pick(out.size())];
    }

    std::mt19937 rng_;
    bool webauthn_;
    Tray tray_;
    std::vector<Reader> readers_;
    size_t inUse_ = 0;
};

TEST(ReaderTableSoak, TheTableAndTheStoreFollowEveryStreamOfReaderEvents)
{
    unsigned seed = static_cast<unsigned>(EnvNumber("VEL_SOAK_SEED", std::random_device{}()));
    unsigned long events = EnvNumber("VEL_SOAK_EVENTS", 20000);
    unsigned long seconds = EnvNumber("VEL_SOAK_SECONDS", 20);
    printf("reader table soak: seed %u (VEL_SOAK_SEED), %lu events, %lu s at most\n", seed, events, seconds);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    // Both modes, each from a fresh start, half of the events each.
    std::mt19937 seeds(seed);
    unsigned long done = 0;
    for (bool webauthn : {false, true}) {
        Soak soak(seeds(), webauthn);
        std::deque<std::string> last; // what led to a failure
        for (unsigned long i = 0; i < events / 2 && std::chrono::steady_clock::now() < end; ++i, ++done) {
            std::string step;
            soak.Step(&step);
            last.push_back(step);
            if (last.size() > 12)
                last.pop_front();
            std::string broken = soak.Check();
            if (!broken.empty()) {
                std::string history;
                for (const std::string &s : last)
                    history += "  " + s + "\n";
                FAIL() << "seed " << seed << (webauthn ? ", WebAuthn mode" : "") << ", event " << i << ":\n"
                       << broken << "after:\n"
                       << history;
            }
        }
    }
    printf("reader table soak: %lu events checked\n", done);
    EXPECT_GT(done, 0u);
}

} // namespace
