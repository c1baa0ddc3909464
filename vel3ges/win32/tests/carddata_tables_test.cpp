// The code tables: sizes, order and the rows named in full, the lookup rule,
// and every row reachable by the lookup that the presentation makes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "CodeTables.h"

using namespace vel;

TEST(CodeTables, SizesAndTellingRows)
{
    struct Case {
        const CodeTable *table;
        size_t rows;
        const char *first;
        const char *last;
    } cases[] = {
        {&kCivilityTable, 3, "22", "31"},
        {&kCardTypeTable, 4, "00", "03"},
        {&kPracticeModeTable, 4, "00", "07"},
        {&kStructureIdTypeTable, 5, "0", "4"},
        {&kProfessionTable, 22, "10", "98"},
        {&kProfessionInTrainingTable, 4, "10", "50"},
        {&kQualificationKindTable, 8, "00", "08"},
        {&kOrientationTable, 2, "80", "81"},
        {&kDiplomaTable, 13, "05", "99"},
        {&kAttributionTable, 11, "20", "96"},
        {&kPharmacistSectionTable, 17, "A", "M"},
        {&kConventionTable, 5, "0", "9"},
        {&kMileageZoneTable, 5, "0", "9"},
        {&kApprovalTable, 8, "00", "99"},
        {&kSpecialityTable, 116, "00", "124"},
        {&kQualificationTable, 224, "SCD01", "DSM240"},
        {&kActivitySectorTable, 59, "SA01", "SA59"},
        {&kInsuranceSpecialityTable, 63, "01", "99"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.rows, c.table->count) << c.first;
        EXPECT_STREQ(c.first, c.table->rows[0].code);
        EXPECT_STREQ(c.last, c.table->rows[c.rows - 1].code);
        std::set<std::string> codes;
        for (size_t i = 0; i < c.table->count; ++i) {
            EXPECT_TRUE(codes.insert(c.table->rows[i].code).second) << c.table->rows[i].code;
            EXPECT_NE(nullptr, c.table->rows[i].label);
        }
    }
    EXPECT_EQ(27u, kTariffZoneCount);

    struct Row {
        const CodeTable *table;
        const char *code;
        const char *label;
    } rows[] = {
        {&kSpecialityTable, "00", "Médecine générale(polyvalente en milieu hospitalier)"},
        {&kSpecialityTable, "41", "Radio - diagnostic et Imagerie médicale"},
        {&kSpecialityTable, "43", "Réanimation médicale"},
        {&kSpecialityTable, "82", "Réanimation médicale"},
        {&kSpecialityTable, "113", "Spécialiste en Médecine générale"},
        {&kSpecialityTable, "124", "Chirurgie orale"},
        {&kQualificationTable, "SCD01", "Orthopédie dento - faciale (SCD)"},
        {&kQualificationTable, "PAC00", "Qualification Praticien adjoint contractuel (PAC)"},
        {&kQualificationTable, "SM26", "Qualifié en Médecine Générale (SM)"},
        {&kQualificationTable, "CEX64", "Urologie (CEX)"},
        {&kQualificationTable, "C83", "Chirurgie face et cou (C)"},
        {&kQualificationTable, "CAPA05", "Evaluation et Traitement de la douleur (CAPA)"},
        {&kQualificationTable, "DSM200", "Addictologie (DNQ)"},
        {&kQualificationTable, "DSM240", "Cancérologie, option Imagerie cancérologie (DNQ)"},
        {&kActivitySectorTable, "SA01", "Etablissement public de santé"},
        {&kActivitySectorTable, "SA07", "Cabinet individuel"},
        {&kActivitySectorTable, "SA33", "Pharmacie d'officine"},
        {&kActivitySectorTable, "SA43", "Secteur non défini"},
        {&kActivitySectorTable, "SA59", "Laboratoire de biologie médicale hors catégorie standard"},
        {&kInsuranceSpecialityTable, "01", "Médecine générale"},
        {&kInsuranceSpecialityTable, "21", "Sage - Femme"},
        {&kInsuranceSpecialityTable, "50", "Pharmacien"},
        {&kInsuranceSpecialityTable, "99", "Non définie"},
        {&kAttributionTable, "95", ""},
    };
    for (const Row &r : rows) {
        bool found = false;
        for (size_t i = 0; i < r.table->count; ++i)
            if (std::strcmp(r.table->rows[i].code, r.code) == 0) {
                EXPECT_STREQ(r.label, r.table->rows[i].label) << r.code;
                found = true;
            }
        EXPECT_TRUE(found) << r.code;
    }
    // Every qualification label ends with its family.
    for (size_t i = 0; i < kQualificationTable.count; ++i) {
        std::string code = kQualificationTable.rows[i].code, label = kQualificationTable.rows[i].label;
        std::string family =
            code.rfind("DSM", 0) == 0 ? "DNQ" : code.substr(0, code.find_first_of("0123456789"));
        EXPECT_EQ(" (" + family + ")", label.substr(label.size() - family.size() - 3)) << code;
    }
}

TEST(CodeTables, LookupRule)
{
    // The first row whose code matches min(n, code length) characters.
    EXPECT_STREQ("Pharmacien adjoint, remplaçant ou gérant", LookupCode(kPharmacistSectionTable, "DA", 2));
    EXPECT_STREQ("Pharmacien d'Outre-Mer", LookupCode(kPharmacistSectionTable, "EH", 2));
    EXPECT_STREQ("Gynécologie médicale", LookupCode(kSpecialityTable, "100", 2));
    EXPECT_STREQ("Collège des 3G", LookupCode(kAttributionTable, "97", 2));
    EXPECT_STREQ("Qualifié en Médecine Générale (SM)", LookupCode(kQualificationTable, "SM26      ", 10));
    // C01 does not take a CAPA01 field, nor SM a SCH field.
    EXPECT_STREQ("Addictologie clinique (CAPA)", LookupCode(kQualificationTable, "CAPA01    ", 10));
    EXPECT_EQ(nullptr, LookupCode(kCivilityTable, "\0\0", 2));
    EXPECT_EQ(nullptr, LookupCode(kProfessionTable, "11", 2));
    EXPECT_TRUE(FieldEmpty(" 1") &&
                FieldEmpty("\0"
                           "1") &&
                !FieldEmpty("01"));
}

TEST(CodeTables, TariffZones)
{
    EXPECT_STREQ("Zone A", LookupTariffZone("10", "1"));
    EXPECT_STREQ("Zone A", LookupTariffZone("10", "2"));
    EXPECT_STREQ("Zone C", LookupTariffZone("30", "1"));
    EXPECT_STREQ("Zone B", LookupTariffZone("30", "3"));
    EXPECT_STREQ("Zone D", LookupTariffZone("70", "0"));
    EXPECT_STREQ("Non définie", LookupTariffZone("99", "*"));
    EXPECT_EQ(nullptr, LookupTariffZone("99", "1"));
    EXPECT_EQ(nullptr, LookupTariffZone("40", "1"));
    for (size_t i = 0; i < kTariffZoneCount; ++i)
        EXPECT_STREQ(kTariffZoneRows[i].label,
                     LookupTariffZone(kTariffZoneRows[i].code, kTariffZoneRows[i].subCode));
}

TEST(CodeTables, EveryRowIsReachableByItsLookup)
{
    // The field widths of the presentation's lookups. A row is reachable when
    // a field holding its code (blank-padded to the width) finds that row.
    struct Use {
        const CodeTable *table;
        size_t n;
    } uses[] = {
        {&kCivilityTable, 2},          {&kCardTypeTable, 2},          {&kPracticeModeTable, 2},
        {&kStructureIdTypeTable, 1},   {&kProfessionTable, 2},        {&kProfessionInTrainingTable, 2},
        {&kQualificationKindTable, 2}, {&kOrientationTable, 2},       {&kDiplomaTable, 2},
        {&kAttributionTable, 2},       {&kPharmacistSectionTable, 2}, {&kConventionTable, 1},
        {&kMileageZoneTable, 1},       {&kApprovalTable, 2},          {&kSpecialityTable, 2},
        {&kQualificationTable, 10},    {&kActivitySectorTable, 4},    {&kInsuranceSpecialityTable, 2},
    };
    size_t unreachable = 0;
    for (const Use &u : uses) {
        for (size_t i = 0; i < u.table->count; ++i) {
            std::string field = u.table->rows[i].code;
            field.resize(std::max(field.size(), u.n), ' ');
            bool reached = LookupCode(*u.table, field.c_str(), u.n) == u.table->rows[i].label;
            const char *code = u.table->rows[i].code;
            bool shadowed = (u.table == &kSpecialityTable && std::strlen(code) == 3) ||
                            (u.table == &kPharmacistSectionTable && std::strlen(code) == 2 &&
                             (code[0] == 'D' || code[0] == 'E'));
            if (!reached) {
                ++unreachable;
                // Only the rows that the table order shadows on purpose.
                EXPECT_TRUE(shadowed) << code;
            }
        }
    }
    // 25 three-digit specialities and the 9 two-letter D and E sections.
    EXPECT_EQ(25u + 9u, unreachable);
}
