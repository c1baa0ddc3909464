// pcsc_ctl: what the software card's control program does not cover of the
// PC/SC view: a card's memory (channel 0 taken by another application, a
// logical channel left open, as a browser leaves them), results injected
// into PC/SC calls, and a look at the open connections. Changes are made
// under the same locks as the stand-in's and written atomically.
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "runtime_state.h"
#include "state.h"
#include "state_file.h"
#include "text_records.h"

using namespace softcard;

namespace {

const char kUsage[] =
    "usage : pcsc_ctl [--state FICHIER] COMMANDE ...\n"
    "  show                         connexions ouvertes et mémoire des cartes\n"
    "  take-channel0 LECTEUR        une autre application occupe le canal 0 de la carte\n"
    "  open-channel LECTEUR         le canal logique 1 de la carte reste ouvert\n"
    "  inject FONCTION N RESULTAT   RESULTAT au N-ième prochain appel de FONCTION (SCard...)\n"
    "État : VEL_SOFTCARD_STATE, sinon l'emplacement par défaut ; la mémoire PC/SC est à côté (.pcsc).\n";

int Fail(const std::string &message, int code = 1)
{
    std::fprintf(stderr, "pcsc_ctl : %s\n", message.c_str());
    return code;
}

bool LoadRuntime(const std::string &path, pcsc::Runtime &rt, std::string &error)
{
    std::string text;
    if (readWholeFile(path, text) == ReadResult::failed) {
        error = "lecture de " + path + " impossible";
        return false;
    }
    return pcsc::ParseRuntime(text, rt, error);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    const std::string path = takeStatePath(a);
    const std::string runtimePath = path + ".pcsc";
    if (a.empty() || a[0] == "--help") {
        std::fputs(kUsage, a.empty() ? stderr : stdout);
        return a.empty() ? 1 : 0;
    }
    std::string error;
    const std::string &cmd = a[0];
    if (cmd == "show" && a.size() == 1) {
        pcsc::Runtime rt;
        if (!LoadRuntime(runtimePath, rt, error))
            return Fail(error, 2);
        for (const pcsc::Connection &c : rt.connections)
            std::printf("connexion processus %lu n° %lu \"%s\" %s%s\n", c.pid, c.id, c.reader.c_str(),
                        c.exclusive ? "exclusive" : "partagée", c.transaction ? ", transaction" : "");
        for (const pcsc::CardRuntime &c : rt.cards)
            std::printf("carte %s (insertion %lu) : canal 0 %s, canal 1 %s, %lu réinitialisation(s)\n",
                        c.card.c_str(), c.insertion, c.foreignOnChannel0 ? "occupé" : "normal",
                        c.channel1Open ? "ouvert" : "fermé", c.resets);
        return 0;
    }
    if ((cmd == "take-channel0" || cmd == "open-channel") && a.size() == 2) {
        State state;
        if (!loadStateFile(path, state, error))
            return Fail(error, 2);
        const PlacedCard *card = state.cardIn(a[1]);
        if (!card)
            return Fail("pas de carte dans le lecteur : " + a[1]);
        FileLock lock(runtimePath);
        pcsc::Runtime rt;
        if (!lock.held() || !LoadRuntime(runtimePath, rt, error))
            return Fail(error.empty() ? "verrou impossible" : error, 2);
        pcsc::CardRuntime &m = rt.CardMemory(card->name, card->insertion);
        if (cmd == "take-channel0")
            m.foreignOnChannel0 = true;
        else
            m.channel1Open = true;
        if (!replaceFileAtomically(runtimePath, pcsc::RuntimeToText(rt), error))
            return Fail(error, 2);
        return 0;
    }
    if (cmd == "inject" && a.size() == 4) {
        unsigned long long n, result;
        if (a[1].compare(0, 5, "SCard") != 0 || !parseNumber(a[2], 0xFFFFFFFFull, n) || n == 0 ||
            !parseNumber(a[3], 0xFFFFFFFFull, result))
            return Fail("inject SCardFONCTION N RESULTAT (N à partir de 1)");
        FileLock lock(path);
        State state;
        if (!lock.held() || !loadStateFile(path, state, error))
            return Fail(error.empty() ? "verrou impossible" : error, 2);
        Injection inj;
        inj.function = a[1];
        inj.call = (unsigned long)n;
        inj.result = (unsigned long)result;
        state.injections.push_back(inj);
        if (!replaceFileAtomically(path, stateToText(state), error))
            return Fail(error, 2);
        return 0;
    }
    return Fail("commande inconnue ou arguments attendus (pcsc_ctl --help)");
}
