// The tables of the built-in copy in file order: name, record count, title
// and field title.
#ifndef VLTAB_TESTS_BUILTIN_SHAPE_H
#define VLTAB_TESTS_BUILTIN_SHAPE_H

#include <cstdint>

namespace vltab_test {

struct TableShape {
    const char *name;
    uint16_t records;
    const char *title;
    const char *fieldTitle;
};

inline const TableShape kBuiltinTables[] = {
    {"NOM_TABLE", 29, "Noms des tables", "Nom de la table"},
    {"NOM_CHAMP", 29, "Noms des champs", "Nom du champ"},
    {"G00", 136, "Codes langues", "Langue(s)"},
    {"G01", 6, "Catégories cartes", "Catégorie carte"},
    {"G02", 5, "Types de cartes VEL", "Type de carte VEL"},
    {"G03", 39, "Codes civilité", "Code civilité"},
    {"G04", 3, "Niveaux de responsabilité", "Niveau de responsabilité"},
    {"G05", 13, "Tableaux des Pharmaciens", "Tableau Pharmacien"},
    {"G06", 39, "Codes civilité abrégés", "Code civilité"},
    {"G07", 4, "Types d'identifiant structure", "Type d'identifiant structure"},
    {"G08", 9, "Types d'identifiant porteur", "Type d'identifiant porteur"},
    {"G09", 118, "Codes départements", "Département"},
    {"G11", 9, "Natures de qualification", "Nature de qualification"},
    {"G12", 92, "Spécialités", "Spécialité"},
    {"G13", 2, "Orientations particulières", "Orientation(s) particulière(s)"},
    {"G14", 13, "Situations professionnelles", "Situation professionnelle"},
    {"G15", 15, "Professions", "Profession"},
    {"G16", 4, "Professions en formation", "Future profession"},
    {"G17", 4, "Modes d'exercice", "Mode d'exercice"},
    {"G18", 10, "Attributions complémentaires", "Attribution(s) complémentaire(s)"},
    {"G19", 34, "Secteurs d'activité", "Secteur d'activité"},
    {"G20", 13, "Spécialisations", "Spécialisation"},
    {"G21", 13, "Formes juridiques", "Forme juridique"},
    {"G100", 55, "Spécialités Assurance Maladie", "Spécialité Assurance Maladie"},
    {"G101", 5, "Codes conventionnels", "Code conventionnel"},
    {"G102", 20, "Codes zones tarifaires", "Zone tarifaire"},
    {"G103", 5, "Codes Indemnités kilométriques", "Indemnité kilométrique"},
    {"G104", 8, "Codes Agréments", "Agrément(s)"},
    {"G999", 2, "Informations fichier", "Informations fichier"},
};

} // namespace vltab_test

#endif
