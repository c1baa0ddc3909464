// The card data as text: identity texts, the holder block, the situations
// block and the billing trace, checked line by line against texts written
// out by hand for the test card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CardConnection.h"
#include "CardDecoders.h"
#include "CardPresentation.h"
#include "CardRecords.h"
#include "PaneWriter.h"
#include "card_fixture.h"
#include "card_test_support.h"
#include "pane_lines.h"

using namespace vel;
using namespace vel::fixture;

namespace {

class Presentation : public ::testing::Test {
protected:
    ScriptedUi ui;
    void SetUp() override { ResetForTest(ui); }
    void TearDown() override { SetCardUi(nullptr); }

    void LoadTestCard()
    {
        Bytes b = NameObject();
        DecodeNameObject(b.data(), b.size(), g_card.name);
        b = IdObject();
        DecodeIdObject(b.data(), b.size(), g_card.id);
        b = InfoObject();
        DecodeInfoObject(b.data(), b.size(), g_card.info);
        g_card.nameRead = g_card.idRead = g_card.infoRead = true;
        b = Activity1();
        DecodeActivityObject(b.data(), b.size(), g_card.activities[0]);
        b = Activity2();
        DecodeActivityObject(b.data(), b.size(), g_card.activities[1]);
        g_card.activityCount = 2;
        b = BillingObject();
        DecodeBillingObject(b.data(), b.size(), g_card.billing, g_card.NbSitFactExistantes);
    }
};

} // namespace

TEST_F(Presentation, IdentityTextsOfTheTestCard)
{
    LoadTestCard();
    BuildIdentityTexts();
    EXPECT_EQ("Monsieur DUPONT JEAN", g_card.holderLine);
    EXPECT_EQ("8 10012345678", g_card.nationalIdLine);
    EXPECT_EQ("Velcarte (VEL) n° 8025000001", g_card.cardLine);
    EXPECT_EQ("expire fin 06/2027", g_card.dateLine);
    // No pane on display: the identification is refreshed (hidden, shown).
    EXPECT_EQ((std::vector<bool>{false, true}), ui.identificationShown);

    g_card.newCard = true;
    ui.shown = PaneTrace;
    BuildIdentityTexts();
    EXPECT_EQ("émise le 15/01/2024", g_card.dateLine);
    EXPECT_EQ(2u, ui.identificationShown.size());
}

TEST_F(Presentation, IdentityTextsEdgeCases)
{
    LoadTestCard();
    // A civility absent from the table: no civility, no leading blank.
    std::memcpy(g_card.name.civility, "99", 2);
    // A test card of type 02 with variant 81.
    std::memcpy(g_card.info.cardType, "02", 2);
    std::memcpy(g_card.id.cardVariant, "81", 2);
    BuildIdentityTexts();
    EXPECT_EQ("DUPONT JEAN", g_card.holderLine);
    EXPECT_EQ("Mibcarte (MIB/MUB) n° 8025000001 de test", g_card.cardLine);

    // A card type absent from the table: only the test mark.
    std::memcpy(g_card.info.cardType, "07", 2);
    BuildIdentityTexts();
    EXPECT_EQ(" de test", g_card.cardLine);

    // Nothing read: every text empty.
    g_card.nameRead = g_card.idRead = g_card.infoRead = false;
    BuildIdentityTexts();
    EXPECT_EQ("", g_card.holderLine + g_card.nationalIdLine + g_card.cardLine + g_card.dateLine);
}

TEST_F(Presentation, HolderBlockOfTheTestCard)
{
    LoadTestCard();
    WriteHolderInfo();
    ExpectLines({"*** Identification du porteur",
                 "    Monsieur DUPONT JEAN",
                 "    8 10012345678",
                 " ",
                 "*** Identification de la carte :",
                 "Velcarte (VEL) n° 8025000001",
                 " ",
                 "Profession : Médecin",
                 "Nom d'exercice : DUPONT",
                 "Spécialité RPPS",
                 "    1- Qualifié en Médecine Générale (SM)",
                 "    2- Radio - diagnostic et Imagerie médicale",
                 "    3- Réanimation médicale",
                 " ",
                 "Nature de qualification ADELI",
                 "    1- Qualifié généraliste",
                 "    2- Spécialité ordinale(SM)",
                 " ",
                 "Orientation(s) particulière(s)",
                 "    Homéopathie",
                 "    Acupuncture",
                 " ",
                 "Spécialisation : Cadre de santé",
                 " ",
                 "Attribution(s) complémentaire(s)",
                 "    Médecin agréé",
                 "    ",
                 "    Collège des 3G"},
                ui.Lines(PaneDataUpper));
}

TEST_F(Presentation, ProfessionLinesFollowTheCardType)
{
    LoadTestCard();
    // Type 01 with a category absent from the table: the line, empty.
    std::memcpy(g_card.info.cardType, "01", 2);
    std::memcpy(g_card.info.professionCategory, "99", 2);
    WriteHolderInfo();
    EXPECT_EQ("Future profession : ", ui.Lines(PaneDataUpper)[7]);

    ui.panes.clear();
    std::memcpy(g_card.info.cardType, "03", 2);
    std::memcpy(g_card.info.professionCategory, "4X", 2);
    WriteHolderInfo();
    EXPECT_EQ("Metier : 4X", ui.Lines(PaneDataUpper)[7]);
    EXPECT_EQ("Nom d'exercice : DUPONT", ui.Lines(PaneDataUpper)[8]);
}

TEST_F(Presentation, SituationsBlockOfTheTestCard)
{
    LoadTestCard();
    ui.panes[PaneDataLower] = {"old 1", "old 2", "old 3"};
    WriteSituations();
    ExpectLines(
        {"*** Situations d'exercice et de facturation", " ", "  * Exercice Libéral, exploitant ou commerçant",
         " ", "   Type d'identifiant de structure", "   - CABINET DUPONT",
         "   - Id Cabinet RPPS 12345678901234", "   Anatomie et cytologie pathologiques",
         "   Qualifié généraliste", "   Secteur d'activité RPPS : Cabinet individuel", " ", "   Facturation",
         "   Identifiant : 1234567890", "   Spécialité Assurance Maladie : Médecine générale",
         "      - Conventionné", "      - Zone A", "      - Indemnités kilométriques plaine",
         "   Code Agrément : Agréments A, B, C, E et F", "   Autorisations de signature",
         "     - autorisé à signer les FSE", "     - autorisé à signer les lots", " ",
         // A replacement (mode 04): no structure and no sector lines;
         // section DA is labelled by the row D.
         "  * Exercice Remplaçant", "   Psychiatrie", "   Concours hospitalier",
         "   Tableau Pharmacien : Pharmacien adjoint, remplaçant ou gérant",
         "   Identifiant du remplacé/remplaçant : 8101234567890123456789012345678", " ", "   Facturation",
         "   Identifiant : 9876543210", "   Spécialité Assurance Maladie : Pharmacien",
         "      - Conventionné avec dépassement", "      - Zone B", "      - Pas d'indemnité kilométrique",
         "   Code Agrément : Non défini", "   Autorisations de signature",
         "     - non autorisé à signer les FSE", "     - non autorisé à signer les lots", " "},
        ui.Lines(PaneDataLower));
    EXPECT_EQ(2u, g_card.situationLine[0]);
    EXPECT_EQ(22u, g_card.situationLine[1]);
    EXPECT_EQ("  * Exercice Remplaçant", ui.Lines(PaneDataLower)[g_card.situationLine[1]]);
}

TEST_F(Presentation, NoSituationWritesTitleOnly)
{
    WriteSituations();
    ExpectLines({"*** Situations d'exercice et de facturation", " "}, ui.Lines(PaneDataLower));
}

TEST_F(Presentation, ClearingSituationsForgetsTheirCounts)
{
    LoadTestCard();
    g_card.billingRead = true;
    ClearSituations();
    EXPECT_EQ(0, g_card.activityCount);
    EXPECT_EQ(0, g_card.NbSitFactExistantes);
    EXPECT_FALSE(g_card.billingRead);
    WriteSituations();
    EXPECT_EQ(2u, ui.Lines(PaneDataLower).size());
}

TEST_F(Presentation, TokenFlagsAndMechanisms)
{
    TraceTokenFlags(0x40000 | 0x400 | 0x4 | 0x1 | 0x800000 | 0x1000);
    ExpectLines({"    CKF_LOGIN_REQUIRED", "    CKF_TOKEN_INITIALIZED", "    CKF_USER_PIN_LOCKED",
                 "    CKF_SO_PIN_TO_BE_CHANGED"},
                ui.Lines(PaneTrace));
    EXPECT_TRUE(g_card.cardPresent);
    EXPECT_TRUE(g_card.userPinLocked);
    TraceTokenFlags(0xFFFFFFFF);
    EXPECT_EQ(4u + 13u, ui.Lines(PaneTrace).size());
    TraceTokenFlags(0);
    EXPECT_FALSE(g_card.userPinLocked);

    ui.panes.clear();
    for (unsigned long m : {1ul, 4ul, 5ul, 6ul, 64ul, 0x250ul})
        TraceMechanism(m);
    ExpectLines({"   Mécanisme : RSA_PKCS", "   Mécanisme : MD2_RSA_PKCS", "   Mécanisme : MD5_RSA_PKCS",
                 "   Mécanisme : SHA1_RSA_PKCS", "   Mécanisme : SHA256_RSA_PKCS", "   Mécanisme : inconnu"},
                ui.Lines(PaneTrace));
}

TEST_F(Presentation, OverlongLinesAreCutAt255)
{
    AppendPaneLine(PaneJournal, "%s", std::string(400, 'x').c_str());
    EXPECT_EQ(std::string(255, 'x'), ui.Lines(PaneJournal)[0]);
}
