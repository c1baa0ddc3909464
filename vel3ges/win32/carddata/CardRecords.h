// The holder's and the card's data as read from the card's data objects:
// fixed-width records of characters (not zero-terminated), their read flags,
// the practice and billing situation tables with their counts, and the
// identity texts built from them. One instance for the whole program.
#ifndef VEL3GES_CARDDATA_CARDRECORDS_H
#define VEL3GES_CARDDATA_CARDRECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vel {

constexpr size_t kNameTextWidth = 27;

// "VEL_NAME_PS"
struct NameRecord {
    char civility[2];                  // tag 0x80, decimal pair
    char nameText1[kNameTextWidth];    // tag 0x81
    char nameText2[kNameTextWidth];    // tag 0x82
    char nameParts[3][kNameTextWidth]; // tag 0x83, parts separated by 0xFF
    char shownName[kNameTextWidth];    // tag 0x84
};

// "VEL_ID_CARD"
struct IdRecord {
    char leadingNumber[11]; // tag 0x80, nibble digits (not shown)
    char cardNumber[10];    // tag 0x81, nibble digits
    char cardVariant[2];    // tag 0x82, hex pair
    char issueDate[8];      // tag 0x83, YYYYMMDD
    char endDate[8];        // tag 0x84, YYYYMMDD
};

// "VEL_INFO_PS"
struct InfoRecord {
    char cardType[2];           // tag 0x80 byte 1, hex pair ("00".."03")
    char cardFlags[8];          // tag 0x80 byte 2, one 'O'/'N' per bit
    char nationalId[31];        // tag 0x81: type (1) + identifier (30)
    char professionCode[2];     // tag 0x82, decimal pair
    char professionCategory[2]; // tag 0x83, decimal pair
    char practiceName[27];      // tag 0x84
    char qualification[38];     // tag 0x85, positions below
};

// Positions inside InfoRecord::qualification.
namespace qual {
constexpr size_t Code = 0; // 10 characters
constexpr size_t Kind1 = 12, Speciality1 = 14, Kind2 = 16, Speciality2 = 18, Kind3 = 20;
constexpr size_t Orientation1 = 22, Orientation2 = 24, Diploma = 26;
constexpr size_t Attribution[4] = {30, 32, 34, 36};
} // namespace qual

// "VEL_ACTIVITY_nn_PS": one practice situation, 126 characters whose
// positions overlap by design (see DecodeActivityObject).
struct ActivityRecord {
    static constexpr size_t Size = 126;
    // Positions of the fields.
    static constexpr size_t Mode = 0;               // 2
    static constexpr size_t SpecialityCode = 4;     // 2
    static constexpr size_t SpecialityKind = 6;     // 2
    static constexpr size_t StructureIdType = 8;    // 1
    static constexpr size_t StructureId = 9;        // 14
    static constexpr size_t Sector = 23;            // 4
    static constexpr size_t StructureName = 35;     // 40
    static constexpr size_t PharmacistSection = 75; // 2
    static constexpr size_t LogicalLink = 77;       // 16-bit number, low byte first
    static constexpr size_t ReplacementId = 79;     // 31
    static constexpr size_t kSectorWidth = 4, kStructureNameWidth = 40, kPharmacistSectionWidth = 2,
                            kReplacementIdWidth = 31;

    char bytes[Size];

    const char *at(size_t pos) const { return bytes + pos; }
    uint16_t logicalLink() const
    {
        return static_cast<uint16_t>(static_cast<uint8_t>(bytes[LogicalLink]) |
                                     static_cast<uint8_t>(bytes[LogicalLink + 1]) << 8);
    }
};

// One billing situation of "VEL_SIT_FACT".
struct BillingSituation {
    uint16_t LienLogiqueSitPS;      // sub-tag 0x80: link to an activity record
    char IdFacturation[10];         // sub-tag 0x81, nibble digits
    char InfosConventionnelles[6];  // sub-tag 0x82, nibble digits
    char Agrements[6];              // sub-tag 0x83, nibble digits
    uint8_t AutorisationsSignature; // sub-tag 0x84: 0x10 FSE, 0x01 batches
};

constexpr size_t kMaxActivities = 16;
constexpr size_t kMaxBillingSituations = 8;

// Signature authorisation bits.
constexpr uint8_t kMaySignFse = 0x10;
constexpr uint8_t kMaySignBatches = 0x01;

struct CardData {
    NameRecord name;
    IdRecord id;
    InfoRecord info;
    ActivityRecord activities[kMaxActivities];
    BillingSituation billing[kMaxBillingSituations];

    bool nameRead;
    bool idRead;
    bool infoRead;
    bool billingRead;
    uint16_t activityCount;       // 0..16
    uint16_t NbSitFactExistantes; // situations found in "VEL_SIT_FACT" (may exceed 8)

    // Identity texts (rebuilt by BuildIdentityTexts).
    std::string holderLine;
    std::string nationalIdLine;
    std::string cardLine;
    std::string dateLine;
    // First line of each situation block in the lower data pane.
    unsigned situationLine[kMaxActivities];

    // Flags shared with the start-up and the PIN operations.
    bool newCard; // token label names generation > 2 and version > 1
    bool cardPresent;
    bool userPinLocked;
};

extern CardData g_card;

// Zeroes the 16 activity records with the activity count, and the billing
// table with its count and read flag: the next card must not show the
// previous card's situations.
void ClearSituations();
// Everything back to the start: records, flags, counts, texts.
void ClearCardData();

} // namespace vel

#endif
