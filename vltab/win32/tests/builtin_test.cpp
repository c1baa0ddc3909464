// The built-in copy: its shape (size, lines, tables, counts, titles), its
// checksum against itself, and the codes it must share with the card
// manager's tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "builtin.h"
#include "dictionary.h"
#include "builtin_shape.h"
#include "dictionary_text.h"

using namespace vltab;

namespace {

std::string BuiltinText()
{
    return std::string(reinterpret_cast<const char *>(kBuiltinDictionaryText), kBuiltinDictionarySize);
}

const char *Label(const Dictionary &d, const char *table, const char *key1, const char *key2 = "")
{
    const DictionaryTable *t = d.FindTable(table);
    if (!t)
        return nullptr;
    const DictionaryRecord *r = Dictionary::FindRecord(*t, key1, key2, "");
    return r ? r->label : nullptr;
}

TEST(BuiltinCopy, HasTheFormatsShapeLineByLine)
{
    const std::string text = BuiltinText();
    EXPECT_EQ(23964u, text.size());
    size_t lines = 0, longest = 0, start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        ASSERT_NE(std::string::npos, lf) << "last line without LF";
        const std::string line = text.substr(start, lf + 1 - start);
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ('\r', line[line.size() - 2]) << line;
        EXPECT_EQ(5, std::count(line.begin(), line.end(), '\t')) << line;
        // Field 5 gives the label's length in characters.
        const size_t labelStart = line.rfind('\t') + 1;
        const size_t lengthStart = line.rfind('\t', labelStart - 2) + 1;
        EXPECT_EQ(std::to_string(line.size() - 2 - labelStart),
                  line.substr(lengthStart, labelStart - 1 - lengthStart))
            << line;
        longest = std::max(longest, line.size());
        ++lines;
        start = lf + 1;
    }
    EXPECT_EQ(734u, lines);
    EXPECT_EQ(94u, longest);
}

TEST(BuiltinCopy, ChecksAgainstItselfAsAFile)
{
    Dictionary d;
    ASSERT_EQ(kOk, d.Parse(kBuiltinDictionaryText, kBuiltinDictionarySize, Source::File));
    // Its Checksum record is the SHA-1 of all its other lines.
    const std::string text = BuiltinText();
    const size_t checksumLine = text.rfind("G999\tChecksum\t");
    EXPECT_STREQ(("SHA-1 : " + vltab_test::Sha1Hex(text.substr(0, checksumLine))).c_str(),
                 d.StoredChecksum());
    EXPECT_STREQ("Version : 01.07 - 06/11/2001", Label(d, "G999", "Version"));
}

TEST(BuiltinCopy, TablesInOrderWithTheirCountsAndTitles)
{
    Dictionary d;
    ASSERT_EQ(kOk, d.Parse(kBuiltinDictionaryText, kBuiltinDictionarySize, Source::Builtin));
    ASSERT_EQ(29u, d.TableCount());
    for (size_t i = 0; i < 29; ++i) {
        const vltab_test::TableShape &want = vltab_test::kBuiltinTables[i];
        const DictionaryTable &t = d.Table(i);
        EXPECT_STREQ(want.name, t.name);
        EXPECT_EQ(want.records, t.recordCount) << want.name;
        EXPECT_EQ(&t, d.FindTable(want.name)) << want.name;
        EXPECT_STREQ(want.title, Label(d, "NOM_TABLE", want.name)) << want.name;
        EXPECT_STREQ(want.fieldTitle, Label(d, "NOM_CHAMP", want.name)) << want.name;
    }
}

// Codes and labels that the card manager's own tables give: the dictionary
// must never answer otherwise.
TEST(BuiltinCopy, AgreesWithTheCardManagersCodeTables)
{
    struct Row {
        const char *table, *key1, *key2, *label;
    };
    const Row rows[] = {
        {"G03", "22", "", "Madame"},
        {"G03", "23", "", "Mademoiselle"},
        {"G03", "31", "", "Monsieur"},
        {"G01", "00", "", "Velcarte (VEL)"},
        {"G01", "01", "", "Kyrcarte (KYR)"},
        {"G01", "02", "", "Mibcarte (MIB/MUB)"},
        {"G01", "03", "", "Rozcarte (ROZ/RUZ)"},
        {"G17", "00", "", "Libéral, exploitant ou commerçant"},
        {"G17", "01", "", "Salarié"},
        {"G17", "04", "", "Remplaçant"},
        {"G17", "07", "", "Non rétribué"},
        {"G07", "0", "", "Id Cabinet ADELI"},
        {"G07", "3", "", "SIRET"},
        {"G15", "10", "", "Médecin"},
        {"G15", "28", "", "Opticien - Lunetier"},
        {"G15", "98", "", "Manipulateur ERM"},
        {"G16", "40", "", "Chirurgien - Dentiste en formation"},
        {"G11", "00", "", "Spécialité de concours hospitalier(SCH)"},
        {"G11", "08", "", "Capacité(CAPA)"},
        {"G13", "80", "", "Homéopathie"},
        {"G13", "81", "", "Acupuncture"},
        {"G20", "98", "", "Cadre Manipulateur ERM(électro - radiologie médicale)"},
        {"G20", "99", "", "Cadre de santé"},
        {"G18", "20", "", "Expert auprès des tribunaux(expertise judiciaire)"},
        {"G18", "96", "", "Activité libérale de contrôle d'absentéisme"},
        {"G05", "DA", "", "Pharmacien adjoint officine"},
        {"G05", "M", "", "Pharmacien militaire"},
        {"G101", "9", "", "Etablissement ou Centre de Santé"},
        {"G103", "3", "", "Indemnités kilométriques spéciales"},
        {"G104", "01", "", "Agrément D ou agrément DDASS"},
        {"G104", "99", "", "Non défini"},
        {"G102", "40", "0", "Zone A"},
        {"G102", "30", "1", "Zone C"},
        {"G102", "81", "2", "Zone A"},
        {"G102", "99", "7", "Non définie"}, // stored with the wildcard sub-code
        {"G12", "00", "", "Médecine générale(polyvalente en milieu hospitalier)"},
        {"G12", "41", "", "Radio - diagnostic et Imagerie médicale"},
        {"G12", "43", "", "Réanimation médicale"},
        {"G12", "82", "", "Réanimation médicale"},
        {"G19", "SA01", "", "Etablissement public de santé"},
        {"G19", "SA07", "", "Cabinet individuel"},
        {"G19", "SA33", "", "Pharmacie d'officine"},
        {"G100", "01", "", "Médecine générale"},
        {"G100", "21", "", "Sage - Femme"},
        {"G100", "50", "", "Pharmacien"},
        {"G100", "99", "", "Non définie"},
    };
    Dictionary d;
    ASSERT_EQ(kOk, d.Parse(kBuiltinDictionaryText, kBuiltinDictionarySize, Source::Builtin));
    for (const Row &r : rows)
        EXPECT_STREQ(r.label, Label(d, r.table, r.key1, r.key2)) << r.table << " " << r.key1;
    EXPECT_EQ(nullptr, Label(d, "G102", "10", "9"));
}

} // namespace
