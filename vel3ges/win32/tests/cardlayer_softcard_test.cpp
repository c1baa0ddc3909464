// The card layer against the software card: the default card read into the
// exact records and data-log text, the number of library calls a whole read
// takes, the PIN services through the flag sequence to blocked and back, and
// the results for a missing, removed, blocked or unrecognised card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "CardConnection.h"
#include "CardObjects.h"
#include "CardPresentation.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "PaneWriter.h"
#include "card_test_support.h"
#include "pane_lines.h"
#include "loaded_library.h"
#include "timeout_scale.h"

using namespace vel;
using softcard_test::control;

namespace {

std::string gState;
const char kReader[] = "\"Lecteur Ovrane VEL 0\"";

class SoftCard : public ::testing::Test {
protected:
    ScriptedUi ui;
    void SetUp() override
    {
        softcard_test::removeFile(gState); // the default state: one reader, the default card
        softcard_test::removeFile(gState + ".log");
        ASSERT_EQ(CKR_OK, softcard_test::functions()->C_Initialize(nullptr));
        ResetForTest(ui);
        BindFunctionList(softcard_test::functions());
    }
    void TearDown() override
    {
        softcard_test::functions()->C_Finalize(nullptr);
        SetCardUi(nullptr);
    }
    // Library calls in the software card's call log since it was switched on.
    static std::vector<std::string> LoggedCalls()
    {
        std::vector<std::string> calls;
        std::string log = softcard_test::readFile(gState + ".log"), line;
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find('\n', start);
            line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? log.size() : end + 1;
            size_t open = line.find("] "), paren = line.find('(');
            if (line.empty() || line[0] != '[' || open == std::string::npos || paren == std::string::npos)
                continue;
            calls.push_back(line.substr(open + 2, paren - open - 2));
        }
        return calls;
    }
    std::string SecretsText() { return ui.AllText() + softcard_test::readFile(gState + ".log"); }
};

} // namespace

TEST_F(SoftCard, DefaultCardReadWholeWithTheCallCount)
{
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection)); // public session, PIN not presented
    ui.pinAnswers = {{AnswerRetry, "1234"}};
    ASSERT_EQ(CKR_OK, LoginWithPrompt(g_connection));

    ASSERT_EQ(0, control("log on"));
    ReadWholeCard();
    std::vector<std::string> calls = LoggedCalls();
    ASSERT_EQ(0, control("log off"));

    EXPECT_TRUE(g_card.infoRead && g_card.nameRead && g_card.idRead && g_card.billingRead);
    ASSERT_EQ(3, g_card.activityCount);
    ASSERT_EQ(3, g_card.NbSitFactExistantes);
    // Identity: 3 objects x 5 calls; count: 4 passes x 3; situations: 3 x 5; billing: 5.
    EXPECT_EQ(3u * 5 + 4 * 3 + 3 * 5 + 5, calls.size());
    EXPECT_EQ(3 + 4 + 3 + 1, std::count(calls.begin(), calls.end(), "C_FindObjectsInit"));
    EXPECT_EQ(3 * 2 + 3 * 2 + 2, std::count(calls.begin(), calls.end(), "C_GetAttributeValue"));

    WriteHolderInfo();
    EXPECT_EQ("Madame MARTIN JEANNE", g_card.holderLine);
    EXPECT_EQ("8 10001234567", g_card.nationalIdLine);
    EXPECT_EQ("Velcarte (VEL) n° 2500012345 de test", g_card.cardLine);
    EXPECT_EQ("expire fin 06/2027", g_card.dateLine);
    ExpectLines({"*** Identification du porteur",
                 "    Madame MARTIN JEANNE",
                 "    8 10001234567",
                 " ",
                 "*** Identification de la carte :",
                 "Velcarte (VEL) n° 2500012345 de test",
                 " ",
                 "Profession : Médecin",
                 "Nom d'exercice : MARTIN",
                 "Spécialité RPPS",
                 "    1- Qualifié en Médecine Générale (SM)",
                 "    2- Anatomie et cytologie pathologiques",
                 "    3- Radio - diagnostic et Imagerie médicale",
                 " ",
                 "Nature de qualification ADELI",
                 "    1- Spécialité ordinale(SM)",
                 "    2- Qualifié généraliste",
                 "    3- Capacité(CAPA)",
                 " ",
                 "Orientation(s) particulière(s)",
                 "    Homéopathie",
                 "    Acupuncture",
                 " ",
                 "Spécialisation : Cadre de santé",
                 " ",
                 "Attribution(s) complémentaire(s)",
                 "    Médecin agréé spécialiste",
                 "    Médecine légale",
                 "    Expertises de Sécurité Sociale",
                 "    Collège des 3G"},
                ui.Lines(PaneDataUpper));

    WriteSituations();
    ExpectLines({"*** Situations d'exercice et de facturation",
                 " ",
                 "  * Exercice Libéral, exploitant ou commerçant",
                 " ",
                 "   Type d'identifiant de structure",
                 "   - CABINET DU DOCTEUR MARTIN",
                 "   - SIRET 12345678900017",
                 "   Anatomie et cytologie pathologiques",
                 "   Qualifié généraliste",
                 "   Secteur d'activité RPPS : Cabinet individuel",
                 " ",
                 "   Facturation",
                 "   Identifiant : 7512345678",
                 "   Spécialité Assurance Maladie : Médecine générale",
                 "      - Conventionné",
                 "      - Zone A",
                 "      - Indemnités kilométriques plaine",
                 "   Code Agrément : Pas d'agrément",
                 "   Autorisations de signature",
                 "     - autorisé à signer les FSE",
                 "     - autorisé à signer les lots",
                 " ",
                 "  * Exercice Salarié",
                 " ",
                 "   Type d'identifiant de structure",
                 "   - HOPITAL DE TEST",
                 "   - FINESS 750712184     ",
                 "   Radio - diagnostic et Imagerie médicale",
                 "   Spécialité ordinale(SM)",
                 "   Secteur d'activité RPPS : Etablissement public de santé",
                 " ",
                 "   Facturation",
                 "   Identifiant : 7598765432",
                 "   Spécialité Assurance Maladie : Médecine générale",
                 "      - Etablissement ou Centre de Santé",
                 "      - Indemnités kilométriques plaine",
                 "   Code Agrément : Agrément D ou agrément DDASS",
                 "   Autorisations de signature",
                 "     - autorisé à signer les FSE",
                 "     - non autorisé à signer les lots",
                 " ",
                 "  * Exercice Remplaçant",
                 "   Anatomie et cytologie pathologiques",
                 "   Qualifié généraliste",
                 "   Identifiant du remplacé/remplaçant : 810009876543                   ",
                 " ",
                 "   Facturation",
                 "   Identifiant : 7511122233",
                 "   Spécialité Assurance Maladie : Médecine générale",
                 "      - Conventionné",
                 "      - Indemnités kilométriques plaine",
                 "   Code Agrément : Non défini",
                 "   Autorisations de signature",
                 "     - non autorisé à signer les FSE",
                 "     - non autorisé à signer les lots",
                 " "},
                ui.Lines(PaneDataLower));
    EXPECT_EQ(2u, g_card.situationLine[0]);
    EXPECT_EQ(22u, g_card.situationLine[1]);
    EXPECT_EQ(41u, g_card.situationLine[2]);
}

TEST_F(SoftCard, PinFlagSequenceToBlockedAndBackByUnblock)
{
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
    ASSERT_EQ(0, control("log on"));
    ui.pinAnswers = {{AnswerRetry, "1111"}, {AnswerRetry, "2222"}, {AnswerRetry, "3333"}, {AnswerGoOn, ""}};
    EXPECT_EQ(kHolderUnblocks, LoginWithPrompt(g_connection));
    ASSERT_EQ(4u, ui.pinRequests.size());
    EXPECT_EQ(kPromptNormal, ui.pinRequests[0].kind);
    EXPECT_EQ(kPromptCountLow, ui.pinRequests[1].kind);
    EXPECT_EQ(kPromptFinalTry, ui.pinRequests[2].kind);
    EXPECT_EQ(kPromptPinLocked, ui.pinRequests[3].kind);
    EXPECT_EQ(kPinWrong, ui.pinRequests[3].status);

    CK_TOKEN_INFO info;
    lastRv = 0;
    ReadTokenInfo(g_connection.slotID, &info);
    EXPECT_TRUE(g_card.userPinLocked);

    // A wrong unblock code first: the service stops at the SO login.
    ServiceUnblockPin("87654321", "9087");
    EXPECT_EQ(CKR_PIN_INCORRECT, lastRv);
    ServiceUnblockPin("12345678", "9087");
    EXPECT_EQ(CKR_OK, lastRv);
    ReadTokenInfo(g_connection.slotID, &info);
    EXPECT_FALSE(g_card.userPinLocked);

    // Change it back, then log in with the prompt.
    ServiceChangePin("9087", "1234");
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ(1u, userLoggedIn);
    ui.pinRequests.clear();
    ui.pinAnswers = {{AnswerRetry, "1234"}};
    EXPECT_EQ(CKR_OK, LoginWithPrompt(g_connection));
    EXPECT_EQ(kPromptNormal, ui.pinRequests[0].kind);

    // No PIN nor unblock code in the panes or the library's call log.
    // (The card's serial number 2500012345 holds "1234": left out of the search.)
    std::string all = SecretsText();
    for (size_t at; (at = all.find("2500012345")) != std::string::npos;)
        all.replace(at, 10, "<serial>");
    for (const char *secret : {"1111", "2222", "3333", "1234", "9087", "12345678", "87654321"})
        EXPECT_EQ(std::string::npos, all.find(secret))
            << secret << " in: " << all.substr(all.find(secret) > 80 ? all.find(secret) - 80 : 0, 120);
    ASSERT_EQ(0, control("log off"));
}

TEST_F(SoftCard, ChangePinWithWrongOldPinCostsOneTry)
{
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
    ServiceChangePin("0000", "4321");
    EXPECT_EQ(CKR_PIN_INCORRECT, lastRv);
    CK_TOKEN_INFO info;
    lastRv = 0;
    ReadTokenInfo(g_connection.slotID, &info);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_COUNT_LOW); // two tries left, not one
    EXPECT_FALSE(info.flags & CKF_USER_PIN_FINAL_TRY);
    ui.pinAnswers = {{AnswerRetry, "1234"}}; // the PIN did not change
    EXPECT_EQ(CKR_OK, LoginWithPrompt(g_connection));
}

TEST_F(SoftCard, SignAndVerifyWithBothKeys)
{
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
    ui.pinAnswers = {{AnswerRetry, "1234"}};
    ASSERT_EQ(CKR_OK, LoginWithPrompt(g_connection));
    for (bool signature : {false, true}) {
        CK_BYTE *cert = nullptr;
        CK_ULONG certLength = 0;
        ReadCardCertificate(hSession, &cert, &certLength, signature, false);
        ASSERT_NE(nullptr, cert);
        std::free(cert);
        EXPECT_EQ(1u, lastCertificateId.length);
        for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS}) {
            int mode = m == CKM_RSA_PKCS ? 2 : 1;
            CK_BYTE sig[1024];
            CK_ULONG sigLength = sizeof sig;
            SignSample(hSession, &sigLength, sig, m, mode);
            ASSERT_EQ(CKR_OK, lastRv) << m;
            EXPECT_EQ(256u, sigLength);
            VerifySample(hSession, sigLength, sig, m, mode);
            EXPECT_EQ(CKR_OK, lastRv) << m;
            // A buffer too small: refused, and the card is left ready to sign.
            sigLength = 100;
            SignSample(hSession, &sigLength, sig, m, mode);
            EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
        }
    }
    CK_BYTE sig[1024];
    CK_ULONG sigLength = sizeof sig;
    SignSample(hSession, &sigLength, sig, CKM_SHA256_RSA_PKCS, 1);
    EXPECT_EQ(CKR_OK, lastRv);
}

TEST_F(SoftCard, MissingReaderAndMissingCard)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader));
    EXPECT_EQ(kPromptCountLow, FindTokenSlot(g_connection));
    ui.cardAnswers = {AnswerGiveUp};
    EXPECT_EQ(kHolderGaveUp, ConnectToken(g_connection));

    ASSERT_EQ(0, control(std::string("remove-reader ") + kReader));
    EXPECT_EQ(kPromptNormal, FindTokenSlot(g_connection));
    ui.readerAnswers = {AnswerGiveUp};
    EXPECT_EQ(kHolderGaveUp, ConnectToken(g_connection));
}

TEST_F(SoftCard, RemovedCardAsksForTheCard)
{
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
    CK_SLOT_INFO slot;
    ReadSlotInfo(g_connection.slotID, &slot);
    std::memcpy(g_connection.wantedReader, slot.slotDescription, sizeof g_connection.wantedReader);
    ASSERT_EQ(0, control(std::string("remove ") + kReader));
    // The session is gone with the card; the chosen reader has no token.
    ui.cardAnswers = {AnswerGiveUp};
    EXPECT_EQ(kHolderGaveUp, ConnectToken(g_connection));
    // Put back: the same reader gives a session again.
    ASSERT_EQ(0, control(std::string("insert ") + kReader + " vel3-default"));
    EXPECT_EQ(kPromptFinalTry, ConnectToken(g_connection));
}

TEST_F(SoftCard, BlockedCard)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader));
    ASSERT_EQ(0, control(std::string("insert ") + kReader + " vel3-blocked"));
    ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
    CK_TOKEN_INFO info;
    lastRv = 0;
    ReadTokenInfo(g_connection.slotID, &info);
    EXPECT_TRUE(g_card.userPinLocked);
    ui.pinAnswers = {{AnswerDoNotUnblock, ""}};
    EXPECT_EQ(kPinFirstRequest, LoginWithPrompt(g_connection)); // declined to unblock
    ASSERT_EQ(1u, ui.pinRequests.size());
    EXPECT_EQ(kPromptPinLocked, ui.pinRequests[0].kind);
}

TEST_F(SoftCard, UnrecognisedCard)
{
    ASSERT_EQ(0, control(std::string("remove ") + kReader));
    ASSERT_EQ(0, control(std::string("insert ") + kReader + " unknown"));
    ASSERT_EQ(0, control("log on"));
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, ConnectToken(g_connection));
    std::vector<std::string> calls = LoggedCalls();
    // Re-tried a bounded number of times, then given up.
    EXPECT_EQ(1 + kMaxReopenRetries, std::count(calls.begin(), calls.end(), "C_OpenSession"));
    ASSERT_EQ(0, control("log off"));
}

// The slot of the reader called `name`, or kNoSlot.
CK_SLOT_ID SlotOfReader(const std::string &name)
{
    CK_FUNCTION_LIST *f = softcard_test::functions();
    CK_SLOT_ID slots[20];
    CK_ULONG count = 20;
    if (f->C_GetSlotList(CK_FALSE, slots, &count) != CKR_OK)
        return kNoSlot;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info{};
        if (f->C_GetSlotInfo(slots[i], &info) == CKR_OK &&
            PaddedFieldText(info.slotDescription, sizeof info.slotDescription) == name)
            return slots[i];
    }
    return kNoSlot;
}

// The reader the holder chose, as the scan keeps it: its slot and description.
void ChooseReaderNamed(const std::string &name)
{
    g_connection.slotID = SlotOfReader(name);
    ASSERT_NE(kNoSlot, g_connection.slotID) << name;
    CK_SLOT_INFO info{};
    ASSERT_EQ(CKR_OK, softcard_test::functions()->C_GetSlotInfo(g_connection.slotID, &info));
    std::memcpy(g_connection.wantedReader, info.slotDescription, sizeof g_connection.wantedReader);
}

std::string Quoted(const std::string &name)
{
    return "\"" + name + "\"";
}

// A reader chosen by the holder, then readers unplugged, plugged or filled:
// the session goes to the chosen reader while it is plugged in (matched on
// its whole name), else to the first slot with a card, the choice dropped.
TEST_F(SoftCard, ChosenReaderIsOpenedWhilePluggedInElseTheFirstCard)
{
    const std::string scm = "SCM Microsystems Inc. SCR33x USB Smart Card Reader ";
    const std::string vel0 = "Lecteur Ovrane VEL 0", vel1 = "Lecteur Ovrane VEL 1";
    struct Case {
        const char *what;
        std::vector<std::string> readers; // after the default one, each with a card
        std::string chosen;
        std::vector<std::string> then; // control commands after the choice
        CK_RV rv;
        std::string sessionReader; // "" for none
        bool choiceDropped;
    } cases[] = {
        {"two identical readers, the second chosen",
         {scm + "0", scm + "1"},
         scm + "1",
         {},
         kPromptFinalTry,
         scm + "1",
         false},
        {"two identical readers, the first chosen",
         {scm + "0", scm + "1"},
         scm + "0",
         {},
         kPromptFinalTry,
         scm + "0",
         false},
        {"the chosen reader unplugged",
         {vel1},
         vel1,
         {"remove-reader " + Quoted(vel1)},
         kPromptFinalTry,
         vel0,
         true},
        {"every reader unplugged, then one plugged with a card",
         {vel1},
         vel1,
         {"remove-reader " + Quoted(vel0), "remove-reader " + Quoted(vel1), "add-reader " + Quoted("Autre"),
          "insert " + Quoted("Autre") + " vel3-default"},
         kPromptFinalTry,
         "Autre",
         true},
        {"the chosen reader unplugged, another plugged under its slot id",
         {vel1},
         vel1,
         {"remove-reader " + Quoted(vel1), "add-reader " + Quoted("Autre"),
          "insert " + Quoted("Autre") + " vel3-blocked"},
         kPromptFinalTry,
         vel0,
         true},
        {"the chosen reader emptied",
         {vel1},
         vel1,
         {"remove " + Quoted(vel1)},
         CKR_TOKEN_NOT_PRESENT,
         "",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        for (const std::string &r : c.readers) {
            ASSERT_EQ(0, control("add-reader " + Quoted(r)));
            ASSERT_EQ(0, control("insert " + Quoted(r) + (r == c.readers[0] ? " vel3-cl" : " vel3-blocked")));
        }
        ChooseReaderNamed(c.chosen);
        const CK_SLOT_ID chosenSlot = g_connection.slotID;
        for (const std::string &command : c.then)
            ASSERT_EQ(0, control(command)) << command;

        EXPECT_EQ(c.rv, ConnectToken(g_connection));
        EXPECT_EQ(c.choiceDropped, g_connection.wantedReaderGone);
        if (c.sessionReader.empty()) {
            EXPECT_EQ(chosenSlot, g_connection.slotID);
            continue;
        }
        CK_SESSION_INFO session{};
        ASSERT_EQ(CKR_OK, softcard_test::functions()->C_GetSessionInfo(hSession, &session));
        EXPECT_EQ(SlotOfReader(c.sessionReader), session.slotID);
        EXPECT_EQ(session.slotID, g_connection.slotID);
    }
}

// No card in any reader: the reader the card prompt names is the one wanted
// (chosen, or used last) while it is plugged in, else the first listed.
TEST_F(SoftCard, AwaitedReaderIsTheWantedOneWhilePluggedElseTheFirst)
{
    const std::string vel0 = "Lecteur Ovrane VEL 0", vel1 = "Lecteur Ovrane VEL 1";
    struct Case {
        const char *what;
        std::string wanted; // "" none
        std::vector<std::string> then;
        std::string named; // "" none
    } cases[] = {
        {"nothing wanted", "", {}, vel0},
        {"the second wanted", vel1, {}, vel1},
        {"the first wanted", vel0, {}, vel0},
        {"the wanted one unplugged", vel1, {"remove-reader " + Quoted(vel1)}, vel0},
        {"every reader unplugged",
         vel1,
         {"remove-reader " + Quoted(vel0), "remove-reader " + Quoted(vel1)},
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        ASSERT_EQ(0, control("remove " + Quoted(vel0)));
        ASSERT_EQ(0, control("add-reader " + Quoted(vel1)));
        if (!c.wanted.empty())
            ChooseReaderNamed(c.wanted);
        for (const std::string &command : c.then)
            ASSERT_EQ(0, control(command)) << command;
        CK_SLOT_INFO info{};
        ASSERT_EQ(!c.named.empty(), AwaitedReader(g_connection, info));
        if (!c.named.empty()) {
            EXPECT_EQ(c.named, PaddedFieldText(info.slotDescription, sizeof info.slotDescription));
        }
    }
}

// Readers plugged and unplugged, cards put in and taken out, readers
// chosen, in a random order (seed printed; VEL_SOAK_SEED replays one): after
// each change a connection as the scan makes it, and at each of these quiet
// points the session where the holder expects it. The choice is dropped as
// the scan drops it, when its reader is found unplugged.
TEST_F(SoftCard, SoakOfReadersCardsAndChoices)
{
    const char *given = std::getenv("VEL_SOAK_SEED");
    const unsigned seed =
        given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::printf("soak seed %u (VEL_SOAK_SEED=%u replays it)\n", seed, seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };

    const std::string scm = "SCM Microsystems Inc. SCR33x USB Smart Card Reader ";
    const std::vector<std::string> names = {"Lecteur Ovrane VEL 0", "Lecteur Ovrane VEL 1", scm + "0",
                                            scm + "1"};
    const std::vector<std::string> cards = {"vel3-default", "vel3-cl", "vel3-blocked", "vel3-1024"};
    std::map<std::string, std::string> readers = {{names[0], "vel3-default"}}; // reader -> card ("" empty)
    std::string chosen;                                                        // "" none

    const int kSteps = 40;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(vel_test::ScaledMs(60000));
    for (int step = 0; step < kSteps && std::chrono::steady_clock::now() < deadline; ++step) {
        // One change.
        std::vector<std::string> plugged, unplugged, empty, full, freeCards = cards;
        for (const std::string &n : names)
            (readers.count(n) ? plugged : unplugged).push_back(n);
        for (const auto &r : readers) {
            (r.second.empty() ? empty : full).push_back(r.first);
            freeCards.erase(std::remove(freeCards.begin(), freeCards.end(), r.second), freeCards.end());
        }
        std::string what;
        switch (pick(5)) {
        case 0:
            if (!unplugged.empty()) {
                std::string n = unplugged[pick(unplugged.size())];
                what = "add-reader " + Quoted(n);
                readers[n] = "";
            }
            break;
        case 1:
            if (!plugged.empty()) {
                std::string n = plugged[pick(plugged.size())];
                what = "remove-reader " + Quoted(n);
                readers.erase(n);
            }
            break;
        case 2:
            if (!empty.empty() && !freeCards.empty()) {
                std::string n = empty[pick(empty.size())], card = freeCards[pick(freeCards.size())];
                what = "insert " + Quoted(n) + " " + card;
                readers[n] = card;
            }
            break;
        case 3:
            if (!full.empty()) {
                std::string n = full[pick(full.size())];
                what = "remove " + Quoted(n);
                readers[n] = "";
            }
            break;
        default:
            if (!plugged.empty()) {
                chosen = plugged[pick(plugged.size())];
                what = "choose " + chosen;
                ChooseReaderNamed(chosen);
            }
            break;
        }
        if (what.empty())
            continue;
        SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
        if (what.rfind("choose ", 0) != 0) {
            ASSERT_EQ(0, control(what));
        }

        // A connection as the scan makes it: a slot kept only while a reader is chosen.
        if (chosen.empty())
            g_connection.slotID = kNoSlot;
        ui.readerAnswers = {AnswerGiveUp};
        ui.cardAnswers = {AnswerGiveUp};
        const CK_RV rv = ConnectToken(g_connection);

        // The quiet point.
        bool anyCard = false;
        for (const auto &r : readers)
            anyCard = anyCard || !r.second.empty();
        const bool chosenPlugged = !chosen.empty() && readers.count(chosen) != 0;
        if (readers.empty() || !anyCard) {
            EXPECT_EQ(kHolderGaveUp, rv);
        } else if (chosenPlugged && readers[chosen].empty()) {
            EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, rv);
            EXPECT_EQ(SlotOfReader(chosen), g_connection.slotID);
        } else {
            ASSERT_EQ(kPromptFinalTry, rv);
            CK_SESSION_INFO session{};
            ASSERT_EQ(CKR_OK, softcard_test::functions()->C_GetSessionInfo(hSession, &session));
            EXPECT_EQ(session.slotID, g_connection.slotID);
            if (chosenPlugged) {
                EXPECT_EQ(SlotOfReader(chosen), session.slotID);
            }
            CK_TOKEN_INFO token{};
            EXPECT_EQ(CKR_OK, softcard_test::functions()->C_GetTokenInfo(session.slotID, &token));
        }
        EXPECT_EQ(!chosen.empty() && !chosenPlugged && anyCard, g_connection.wantedReaderGone);
        if (g_connection.wantedReaderGone)
            chosen.clear();
        if (HasFailure())
            break;
    }
}

int main(int argc, char **argv)
{
    gState = softcard_test::usePrivateState("cardlayer");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
