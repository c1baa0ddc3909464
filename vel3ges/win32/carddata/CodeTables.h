// The card manager's built-in code tables: French labels of the codes that
// the card stores (civilities, card types, professions, specialities,
// qualifications, practice and billing codes). Read-only, in table order.
#ifndef VEL3GES_CARDDATA_CODETABLES_H
#define VEL3GES_CARDDATA_CODETABLES_H

#include <cstddef>

namespace vel {

struct CodeRow {
    const char *code;
    const char *label;
};

struct CodeTable {
    const CodeRow *rows;
    size_t count;
};

struct TariffRow {
    const char *code;    // tariff zone, 2 characters
    const char *subCode; // convention code, 1 character ("*" is an ordinary character)
    const char *label;
};

extern const CodeTable kCivilityTable;
extern const CodeTable kCardTypeTable;
extern const CodeTable kPracticeModeTable;
extern const CodeTable kStructureIdTypeTable;
extern const CodeTable kProfessionTable;
extern const CodeTable kProfessionInTrainingTable;
extern const CodeTable kQualificationKindTable;
extern const CodeTable kOrientationTable;
extern const CodeTable kDiplomaTable;
extern const CodeTable kAttributionTable;
extern const CodeTable kPharmacistSectionTable;
extern const CodeTable kConventionTable;
extern const CodeTable kMileageZoneTable;
extern const CodeTable kApprovalTable;
extern const CodeTable kSpecialityTable;
extern const CodeTable kQualificationTable;
extern const CodeTable kActivitySectorTable;
extern const CodeTable kInsuranceSpecialityTable;

extern const TariffRow kTariffZoneRows[];
extern const size_t kTariffZoneCount;

// The label of the first row whose code equals the first min(n, length of
// the code) characters of `field`, or null when none matches. `field` holds
// at least n characters (it need not be zero-terminated).
const char *LookupCode(const CodeTable &table, const char *field, size_t n);

// The tariff-zone label for a 2-character zone and a 1-character convention code.
const char *LookupTariffZone(const char *zone, const char *conventionCode);

// A field counts as empty when its first character is a zero byte or a blank.
inline bool FieldEmpty(const char *field)
{
    return field[0] == '\0' || field[0] == ' ';
}

} // namespace vel

#endif
