#include "CardPresentation.h"

#include <cstring>
#include <string>

#include "CardRecords.h"
#include "CodeTables.h"
#include "PaneWriter.h"

namespace vel {

namespace {

// A fixed-width field as text: at most `width` characters, stopping at a zero byte.
std::string FieldText(const char *field, size_t width)
{
    size_t n = 0;
    while (n < width && field[n] != '\0')
        ++n;
    return std::string(field, n);
}

bool SameCode(const char *field, const char *code)
{
    return std::memcmp(field, code, 2) == 0;
}

} // namespace

void BuildIdentityTexts()
{
    CardData &c = g_card;
    c.holderLine.clear();
    if (c.nameRead) {
        if (const char *civility = LookupCode(kCivilityTable, c.name.civility, 2)) {
            c.holderLine += civility;
            c.holderLine += ' ';
        }
        c.holderLine += FieldText(c.info.practiceName, sizeof c.info.practiceName);
        c.holderLine += ' ';
        c.holderLine += FieldText(c.name.shownName, sizeof c.name.shownName);
    }

    c.nationalIdLine.clear();
    if (c.infoRead) {
        c.nationalIdLine += c.info.nationalId[0];
        c.nationalIdLine += ' ';
        c.nationalIdLine += FieldText(c.info.nationalId + 1, 30);
    }

    c.cardLine.clear();
    c.dateLine.clear();
    if (c.idRead) {
        if (const char *type = LookupCode(kCardTypeTable, c.info.cardType, 2)) {
            c.cardLine = type;
            c.cardLine += " n° ";
            c.cardLine += FieldText(c.id.cardNumber, sizeof c.id.cardNumber);
        }
        const char *v = c.id.cardVariant;
        if (v[0] == '8' && (v[1] == '0' || v[1] == '1' || v[1] == '2'))
            c.cardLine += " de test";
        if (c.newCard) {
            const char *d = c.id.issueDate;
            c.dateLine =
                "émise le " + std::string(d + 6, 2) + "/" + std::string(d + 4, 2) + "/" + std::string(d, 4);
        } else {
            const char *d = c.id.endDate;
            c.dateLine = "expire fin " + std::string(d + 4, 2) + "/" + std::string(d, 4);
        }
        // Zero bytes of an unread date do not belong in a text.
        c.dateLine = c.dateLine.c_str();
    }

    CardUi *ui = GetCardUi();
    if (ui && ui->ShownPane() == PaneNone) {
        ui->ShowIdentification(false);
        ui->ShowIdentification(true);
    }
}

void WriteHolderInfo()
{
    BuildIdentityTexts();
    const CardData &c = g_card;
    const InfoRecord &info = c.info;
    const PaneType pane = PaneDataUpper;

    AppendPaneLine(pane, "*** Identification du porteur");
    AppendPaneLine(pane, "    %s", c.holderLine.c_str());
    AppendPaneLine(pane, "    %s", c.nationalIdLine.c_str());
    AppendPaneLine(pane, " ");
    AppendPaneLine(pane, "*** Identification de la carte :");
    AppendPaneLine(pane, "%s", c.cardLine.c_str());
    AppendPaneLine(pane, " ");

    if (SameCode(info.cardType, "01")) {
        const char *label = LookupCode(kProfessionInTrainingTable, info.professionCategory, 2);
        AppendPaneLine(pane, "Future profession : %s", label ? label : "");
    } else if (SameCode(info.cardType, "00")) {
        const char *label = LookupCode(kProfessionTable, info.professionCode, 2);
        AppendPaneLine(pane, "Profession : %s", label ? label : "");
    }
    if (SameCode(info.cardType, "03"))
        AppendPaneLine(pane, "Metier : %s", FieldText(info.professionCategory, 2).c_str());
    AppendPaneLine(pane, "Nom d'exercice : %s",
                   FieldText(info.practiceName, sizeof info.practiceName).c_str());

    const char *q = info.qualification;
    AppendPaneLine(pane, "Spécialité RPPS");
    int number = 1;
    if (const char *label = LookupCode(kQualificationTable, q + qual::Code, 10))
        AppendPaneLine(pane, "    %d- %s", number++, label);
    for (size_t pos : {qual::Speciality1, qual::Speciality2})
        if (const char *label = LookupCode(kSpecialityTable, q + pos, 2))
            AppendPaneLine(pane, "    %d- %s", number++, label);

    AppendPaneLine(pane, " ");
    AppendPaneLine(pane, "Nature de qualification ADELI");
    number = 1;
    for (size_t pos : {qual::Kind1, qual::Kind2, qual::Kind3})
        if (const char *label = LookupCode(kQualificationKindTable, q + pos, 2))
            AppendPaneLine(pane, "    %d- %s", number++, label);

    AppendPaneLine(pane, " ");
    AppendPaneLine(pane, "Orientation(s) particulière(s)");
    for (size_t pos : {qual::Orientation1, qual::Orientation2})
        if (const char *label = LookupCode(kOrientationTable, q + pos, 2))
            AppendPaneLine(pane, "    %s", label);

    AppendPaneLine(pane, " ");
    if (const char *label = LookupCode(kDiplomaTable, q + qual::Diploma, 2)) {
        AppendPaneLine(pane, "%s : %s", "Spécialisation", label);
        AppendPaneLine(pane, " ");
    }
    AppendPaneLine(pane, "Attribution(s) complémentaire(s)");
    for (size_t pos : qual::Attribution)
        if (const char *label = LookupCode(kAttributionTable, q + pos, 2))
            AppendPaneLine(pane, "    %s", label);
}

void WriteSituations()
{
    CardData &c = g_card;
    const PaneType pane = PaneDataLower;
    if (CardUi *ui = GetCardUi()) {
        unsigned lines = ui->PaneLineCount(pane);
        if (lines > 0)
            ui->TrimPane(pane, 0, lines - 1);
    }
    AppendPaneLine(pane, "*** Situations d'exercice et de facturation");
    AppendPaneLine(pane, " ");
    unsigned counter = 2;
    // Every line written moves the counter, so that each block's first line is known.
#define LINE(...) (AppendPaneLine(pane, __VA_ARGS__), ++counter)

    unsigned count = c.activityCount < kMaxActivities ? c.activityCount : kMaxActivities;
    unsigned stored =
        c.NbSitFactExistantes < kMaxBillingSituations ? c.NbSitFactExistantes : kMaxBillingSituations;
    for (unsigned i = 0; i < count; ++i) {
        const ActivityRecord &a = c.activities[i];
        c.situationLine[i] = counter;
        const char *mode = a.at(ActivityRecord::Mode);
        if (const char *label = LookupCode(kPracticeModeTable, mode, 2))
            LINE("  * Exercice %s", label);
        bool replacing = SameCode(mode, "04");
        if (!replacing) {
            LINE(" ");
            LINE("   %s", "Type d'identifiant de structure");
            if (!FieldEmpty(a.at(ActivityRecord::StructureName)))
                LINE("   - %s", FieldText(a.at(ActivityRecord::StructureName), 40).c_str());
            if (const char *label =
                    LookupCode(kStructureIdTypeTable, a.at(ActivityRecord::StructureIdType), 1))
                LINE("   - %s %s", label, FieldText(a.at(ActivityRecord::StructureId), 14).c_str());
        }
        const char *speciality = a.at(ActivityRecord::SpecialityCode);
        if (!FieldEmpty(speciality))
            if (const char *label = LookupCode(kSpecialityTable, speciality, 2))
                LINE("   %s", label);
        const char *kind = a.at(ActivityRecord::SpecialityKind);
        if (!FieldEmpty(kind))
            if (const char *label = LookupCode(kQualificationKindTable, kind, 2))
                LINE("   %s", label);
        const char *sector = a.at(ActivityRecord::Sector);
        if (!replacing && !FieldEmpty(sector))
            if (const char *label = LookupCode(kActivitySectorTable, sector, 4))
                LINE("   %s : %s", "Secteur d'activité RPPS", label);
        const char *section = a.at(ActivityRecord::PharmacistSection);
        if (!FieldEmpty(section))
            if (const char *label = LookupCode(kPharmacistSectionTable, section, 2))
                LINE("   %s : %s", "Tableau Pharmacien", label);
        if (!FieldEmpty(a.at(ActivityRecord::ReplacementId)))
            LINE("   Identifiant du remplacé/remplaçant : %s",
                 FieldText(a.at(ActivityRecord::ReplacementId), 31).c_str());
        LINE(" ");
        for (unsigned j = 0; j < stored; ++j) {
            if (c.billing[j].LienLogiqueSitPS == a.logicalLink()) {
                WriteBillingSituation(j, counter);
                break;
            }
        }
    }
#undef LINE
}

void WriteBillingSituation(unsigned index, unsigned &lineCounter)
{
    if (index >= kMaxBillingSituations)
        return;
    const BillingSituation &s = g_card.billing[index];
    const PaneType pane = PaneDataLower;
#define LINE(...) (AppendPaneLine(pane, __VA_ARGS__), ++lineCounter)
    const char *conv = s.InfosConventionnelles;
    LINE("   Facturation");
    LINE("   Identifiant : %s", FieldText(s.IdFacturation, sizeof s.IdFacturation).c_str());
    if (const char *label = LookupCode(kInsuranceSpecialityTable, conv, 2))
        LINE("   %s : %s", "Spécialité Assurance Maladie", label);
    if (const char *label = LookupCode(kConventionTable, conv + 2, 1))
        LINE("      - %s", label);
    if (const char *label = LookupTariffZone(conv + 3, conv + 2))
        LINE("      - %s", label);
    if (const char *label = LookupCode(kMileageZoneTable, conv + 5, 1))
        LINE("      - %s", label);
    if (const char *label = LookupCode(kApprovalTable, s.Agrements, 2))
        LINE("   %s : %s", "Code Agrément", label);
    LINE("   Autorisations de signature");
    LINE("     - %sautorisé à signer les FSE", (s.AutorisationsSignature & kMaySignFse) ? "" : "non ");
    LINE("     - %sautorisé à signer les lots", (s.AutorisationsSignature & kMaySignBatches) ? "" : "non ");
    LINE(" ");
#undef LINE
}

void TraceTokenFlags(unsigned long flags)
{
    static const struct {
        unsigned long bit;
        const char *name;
    } names[] = {
        {0x2, "CKF_WRITE_PROTECTED"},
        {0x4, "CKF_LOGIN_REQUIRED"},
        {0x100, "CKF_PROTECTED_AUTHENTICATION_PATH"},
        {0x200, "CKF_DUAL_CRYPTO_OPERATIONS"},
        {0x400, "CKF_TOKEN_INITIALIZED"},
        {0x10000, "CKF_USER_PIN_COUNT_LOW"},
        {0x20000, "CKF_USER_PIN_FINAL_TRY"},
        {0x40000, "CKF_USER_PIN_LOCKED"},
        {0x80000, "CKF_USER_PIN_TO_BE_CHANGED"},
        {0x100000, "CKF_SO_PIN_COUNT_LOW"},
        {0x200000, "CKF_SO_PIN_FINAL_TRY"},
        {0x400000, "CKF_SO_PIN_LOCKED"},
        {0x800000, "CKF_SO_PIN_TO_BE_CHANGED"},
    };
    g_card.cardPresent = true;
    for (const auto &n : names)
        if (flags & n.bit)
            AppendPaneLine(PaneTrace, "    %s", n.name);
    g_card.userPinLocked = (flags & 0x40000) != 0;
}

void TraceMechanism(unsigned long mechanism)
{
    const char *name;
    switch (mechanism) {
    case 1:
        name = "RSA_PKCS";
        break;
    case 4:
        name = "MD2_RSA_PKCS";
        break;
    case 5:
        name = "MD5_RSA_PKCS";
        break;
    case 6:
        name = "SHA1_RSA_PKCS";
        break;
    case 64:
        name = "SHA256_RSA_PKCS";
        break;
    default:
        name = "inconnu";
        break;
    }
    AppendPaneLine(PaneTrace, "   Mécanisme : %s", name);
}

} // namespace vel
