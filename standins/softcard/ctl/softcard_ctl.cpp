// softcard_ctl: the hands on the software card. Adds, removes and swaps
// readers and cards, sets the test settings (latency, injected results, call
// log) and shows the state, for tests and for a person at a shell. Every
// change is made under the lock that the library takes too, and written
// atomically, so running programs see it at their next call.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builtin_cards.h"
#include "platform.h"
#include "state.h"
#include "state_file.h"
#include "text_records.h"

using namespace softcard;

namespace {

const char kUsage[] =
    "usage : softcard_ctl [--state FICHIER] COMMANDE ...\n"
    "  show                          lecteurs, cartes et réglages\n"
    "  cards                         cartes de test intégrées\n"
    "  add-reader NOM [SLOT]         ajoute un lecteur (slot : le plus grand + 1)\n"
    "  remove-reader NOM             retire un lecteur (sa carte reste connue, hors lecteur)\n"
    "  insert LECTEUR CARTE          insère une carte : une carte hors lecteur de ce nom,\n"
    "                                une carte intégrée, ou un fichier image (.card)\n"
    "  remove LECTEUR                retire la carte (elle garde ses codes et compteurs)\n"
    "  swap LECTEUR1 LECTEUR2        échange les cartes de deux lecteurs\n"
    "  forget CARTE                  oublie une carte hors lecteur\n"
    "  export CARTE FICHIER          écrit l'image de la carte (codes et compteurs actuels)\n"
    "  latency MS                    durée ajoutée à chaque appel\n"
    "  inject FONCTION N RESULTAT    RESULTAT au N-ième prochain appel de FONCTION\n"
    "  inject clear                  retire les résultats injectés\n"
    "  log on|off|show|clear         journal des appels\n"
    "  reset                         un lecteur avec la carte par défaut, réglages à zéro\n"
    "État : VEL_SOFTCARD_STATE, sinon l'emplacement par défaut.\n";

int fail(const std::string &message, int code = 1)
{
    std::fprintf(stderr, "softcard_ctl : %s\n", message.c_str());
    return code;
}

bool isFileName(const std::string &s)
{
    return s.find('/') != std::string::npos || s.find('\\') != std::string::npos ||
           (s.size() > 5 && s.compare(s.size() - 5, 5, ".card") == 0);
}

std::string stem(const std::string &path)
{
    size_t cut = path.find_last_of("/\\");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".card") == 0)
        name.resize(name.size() - 5);
    return name;
}

void show(const State &s)
{
    std::printf("latence %lu ms, journal %s\n", s.latencyMs, s.log ? "actif" : "inactif");
    for (const Reader &r : s.readers) {
        const PlacedCard *c = s.cardIn(r.name);
        std::printf("slot %lu  \"%s\"  ", r.slotId, r.name.c_str());
        if (c)
            std::printf("carte %s (insertion %lu, ATR %s, code porteur %u/%u essais, déblocage %u/%u)\n",
                        c->name.c_str(), c->insertion, hexString(c->card.atr).c_str(), c->card.user.left,
                        c->card.user.max, c->card.so.left, c->card.so.max);
        else
            std::printf("vide\n");
    }
    for (const PlacedCard &c : s.cards)
        if (c.reader.empty())
            std::printf("hors lecteur : carte %s\n", c.name.c_str());
    for (const Injection &i : s.injections)
        std::printf("injection : %s, appel %lu (vus %lu) -> 0x%08lX\n", i.function.c_str(), i.call, i.seen,
                    i.result);
}

using Args = std::vector<std::string>;

// One command's change to the state (its arguments counted already); false
// with a message when refused.
using Change = bool (*)(State &s, const Args &a, std::string &error);

bool addReader(State &s, const Args &a, std::string &error)
{
    if (a[1].empty() || a[1].size() > 127 || s.readerByName(a[1])) {
        error = "nom de lecteur vide, trop long (127) ou déjà pris";
        return false;
    }
    unsigned long long slot = 0;
    for (const Reader &r : s.readers)
        slot = r.slotId + 1 > slot ? r.slotId + 1 : slot;
    if (a.size() == 3 && (!parseNumber(a[2], 0xFFFFFFFEull, slot) || s.readerBySlot((unsigned long)slot))) {
        error = "slot invalide ou déjà pris : " + a[2];
        return false;
    }
    s.readers.push_back(Reader{(unsigned long)slot, a[1]});
    return true;
}

bool removeReader(State &s, const Args &a, std::string &error)
{
    for (size_t i = 0; i < s.readers.size(); ++i) {
        if (s.readers[i].name == a[1]) {
            if (PlacedCard *c = s.cardIn(a[1]))
                c->reader.clear();
            s.readers.erase(s.readers.begin() + i);
            return true;
        }
    }
    error = "lecteur inconnu : " + a[1];
    return false;
}

// A card not known to the state yet, from an image file or the built-in cards.
bool newCard(const std::string &source, const std::string &name, PlacedCard &pc, std::string &error)
{
    pc.name = name;
    std::string image;
    if (isFileName(source)) {
        if (readWholeFile(source, image) != ReadResult::ok) {
            error = "image de carte illisible : " + source;
            return false;
        }
    } else if (const BuiltinCard *b = findBuiltinCard(source.c_str())) {
        image = b->image;
    } else {
        error = "carte inconnue : " + source + " (voir « cards »)";
        return false;
    }
    if (!parseCard(image, pc.card, error)) {
        error = source + " : " + error;
        return false;
    }
    return true;
}

bool insertCard(State &s, const Args &a, std::string &error)
{
    if (!s.readerByName(a[1])) {
        error = "lecteur inconnu : " + a[1];
        return false;
    }
    if (s.cardIn(a[1])) {
        error = "le lecteur contient déjà une carte : " + a[1];
        return false;
    }
    const std::string name = isFileName(a[2]) ? stem(a[2]) : a[2];
    PlacedCard *known = s.cardByName(name);
    if (known && !known->reader.empty()) {
        error = "la carte " + name + " est déjà dans le lecteur " + known->reader;
        return false;
    }
    if (!known) {
        PlacedCard pc;
        if (!newCard(a[2], name, pc, error))
            return false;
        s.cards.push_back(pc);
        known = &s.cards.back();
    }
    known->reader = a[1];
    known->insertion = s.nextInsertion++;
    return true;
}

bool removeCard(State &s, const Args &a, std::string &error)
{
    PlacedCard *c = s.cardIn(a[1]);
    if (!c) {
        error = "pas de carte dans le lecteur : " + a[1];
        return false;
    }
    c->reader.clear();
    return true;
}

bool swapCards(State &s, const Args &a, std::string &error)
{
    if (!s.readerByName(a[1]) || !s.readerByName(a[2]) || a[1] == a[2]) {
        error = "deux lecteurs connus et différents attendus";
        return false;
    }
    PlacedCard *c1 = s.cardIn(a[1]), *c2 = s.cardIn(a[2]);
    if (c1) {
        c1->reader = a[2];
        c1->insertion = s.nextInsertion++;
    }
    if (c2) {
        c2->reader = a[1];
        c2->insertion = s.nextInsertion++;
    }
    return true;
}

bool forgetCard(State &s, const Args &a, std::string &error)
{
    for (size_t i = 0; i < s.cards.size(); ++i) {
        if (s.cards[i].name == a[1] && s.cards[i].reader.empty()) {
            s.cards.erase(s.cards.begin() + i);
            return true;
        }
    }
    error = "pas de carte hors lecteur de ce nom : " + a[1];
    return false;
}

bool setLatency(State &s, const Args &a, std::string &error)
{
    unsigned long long ms;
    if (!parseNumber(a[1], 600000, ms)) {
        error = "latency MS (0 à 600000)";
        return false;
    }
    s.latencyMs = (unsigned long)ms;
    return true;
}

const char kInjectUsage[] = "inject FONCTION N RESULTAT (N à partir de 1, RESULTAT décimal ou 0x...)";

// "inject clear", or a function (PKCS#11's, or the PC/SC stand-in's forced
// channel close), the call's rank from 1 and its result.
bool inject(State &s, const Args &a, std::string &error)
{
    if (a.size() == 2 && a[1] == "clear") {
        s.injections.clear();
        return true;
    }
    const bool function =
        a.size() == 4 && (a[1].compare(0, 2, "C_") == 0 || a[1] == "IC_ForceCloseChannel01");
    unsigned long long n, result;
    if (!function || !parseNumber(a[2], 0xFFFFFFFFull, n) || n == 0 ||
        !parseNumber(a[3], 0xFFFFFFFFull, result)) {
        error = kInjectUsage;
        return false;
    }
    Injection inj;
    inj.function = a[1];
    inj.call = (unsigned long)n;
    inj.result = (unsigned long)result;
    s.injections.push_back(inj);
    return true;
}

bool setLog(State &s, const Args &a, std::string &error)
{
    if (a[1] != "on" && a[1] != "off") {
        error = "log on|off|show|clear";
        return false;
    }
    s.log = a[1] == "on";
    return true;
}

bool reset(State &s, const Args &, std::string &)
{
    s = defaultState();
    return true;
}

// The commands that change the state: their arguments' count and, when it is
// wrong, the usage given (empty: the count expected).
struct Command {
    const char *name;
    size_t fewest, most;
    const char *usage;
    Change change;
};

const Command kCommands[] = {
    {"add-reader", 1, 2, "add-reader NOM [SLOT]", addReader},
    {"remove-reader", 1, 1, "", removeReader},
    {"insert", 2, 2, "", insertCard},
    {"remove", 1, 1, "", removeCard},
    {"swap", 2, 2, "", swapCards},
    {"forget", 1, 1, "", forgetCard},
    {"latency", 1, 1, "latency MS (0 à 600000)", setLatency},
    {"inject", 1, 3, kInjectUsage, inject},
    {"log", 1, 1, "log on|off|show|clear", setLog},
    {"reset", 0, 0, "", reset},
};

// The command's change to the state; false with a message when refused.
bool apply(State &s, const Args &a, std::string &error)
{
    for (const Command &c : kCommands) {
        if (a[0] != c.name)
            continue;
        const size_t count = a.size() - 1;
        if (count < c.fewest || count > c.most) {
            error = *c.usage ? c.usage : "arguments attendus pour " + a[0] + " : " + std::to_string(c.fewest);
            return false;
        }
        return c.change(s, a, error);
    }
    error = "commande inconnue : " + a[0];
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    const std::string path = takeStatePath(a);
    if (a.empty() || a[0] == "help" || a[0] == "--help") {
        std::fputs(kUsage, a.empty() ? stderr : stdout);
        return a.empty() ? 1 : 0;
    }
    const std::string &cmd = a[0];
    if (cmd == "cards") {
        for (size_t i = 0; i < kBuiltinCardCount; ++i)
            std::printf("%s\n", kBuiltinCards[i].name);
        return 0;
    }
    if (cmd == "log" && a.size() == 2 && (a[1] == "show" || a[1] == "clear")) {
        std::string logPath = logPathFor(path);
        if (a[1] == "clear") {
            std::remove(logPath.c_str());
            return 0;
        }
        std::string text;
        readWholeFile(logPath, text);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    std::string error;
    State state;
    if (cmd == "show" || cmd == "export") {
        if (!loadStateFile(path, state, error))
            return fail(error, 2);
        if (cmd == "show") {
            show(state);
            return 0;
        }
        PlacedCard *c = a.size() == 3 ? state.cardByName(a[1]) : nullptr;
        if (!c)
            return fail("export CARTE FICHIER : carte inconnue");
        std::string err;
        if (!replaceFileAtomically(a[2], cardToText(c->card), err))
            return fail(err, 2);
        return 0;
    }
    FileLock lock(path);
    if (!lock.held())
        return fail("verrou de " + path + " impossible", 2);
    if (!loadStateFile(path, state, error))
        return fail(error, 2);
    if (!apply(state, a, error))
        return fail(error + "\n" + "(softcard_ctl --help pour l'aide)");
    if (!replaceFileAtomically(path, stateToText(state), error))
        return fail(error, 2);
    return 0;
}
