// Decoding the card's data objects: the exact records of the test card, the
// encodings, and short or hostile objects (every read stays inside the object).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CardDecoders.h"
#include "card_fixture.h"

using namespace vel;
using namespace vel::fixture;

namespace {

std::string F(const char *field, size_t width)
{
    return std::string(field, width);
}

template <typename Record> Record Zeroed()
{
    Record r;
    std::memset(&r, 0, sizeof r);
    return r;
}

// The decoders get a heap copy of exactly the object's length, so that
// AddressSanitizer sees any read past it.
struct Heap {
    std::vector<uint8_t> *bytes;
    explicit Heap(const Bytes &b) : bytes(new std::vector<uint8_t>(b)) {}
    ~Heap() { delete bytes; }
    const uint8_t *data() const { return bytes->empty() ? nullptr : bytes->data(); }
    size_t size() const { return bytes->size(); }
};

} // namespace

TEST(DecodeName, TestCardRecord)
{
    Heap obj(NameObject());
    NameRecord r = Zeroed<NameRecord>();
    ASSERT_EQ(DecodeResult::Ok, DecodeNameObject(obj.data(), obj.size(), r));
    EXPECT_EQ("31", F(r.civility, 2));
    EXPECT_EQ(std::string("DUPONT") + std::string(21, '\0'), F(r.nameText1, 27));
    EXPECT_EQ(std::string("JEAN") + std::string(23, '\0'), F(r.nameText2, 27));
    EXPECT_STREQ("DUPONT", std::string(r.nameParts[0], 27).c_str());
    EXPECT_STREQ("JEAN", std::string(r.nameParts[1], 27).c_str());
    EXPECT_STREQ("MARIE", std::string(r.nameParts[2], 27).c_str());
    EXPECT_STREQ("JEAN", std::string(r.shownName, 27).c_str());
}

TEST(DecodeName, PartsAndLongForm)
{
    // A, 0xFF, B, 0xFF, C gives the parts A, B and C.
    NameRecord r = Zeroed<NameRecord>();
    Heap abc(Tlv(0xE4, Tlv(0x83, {'A', 0xFF, 'B', 0xFF, 'C'})));
    DecodeNameObject(abc.data(), abc.size(), r);
    EXPECT_EQ('A', r.nameParts[0][0]);
    EXPECT_EQ('B', r.nameParts[1][0]);
    EXPECT_EQ('C', r.nameParts[2][0]);

    // 30 bytes without 0xFF: part 1 takes 27, part 2 starts at the 29th byte.
    std::string thirty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    r = Zeroed<NameRecord>();
    Heap longPart(Tlv(0xE4, Tlv(0x83, Text(thirty))));
    DecodeNameObject(longPart.data(), longPart.size(), r);
    EXPECT_EQ(thirty.substr(0, 27), F(r.nameParts[0], 27));
    EXPECT_EQ("23", std::string(r.nameParts[1], 2));
    EXPECT_EQ('\0', r.nameParts[1][2]);

    // Long form 0x81 L.
    Bytes content = Tlv(0x84, Text("LONG"));
    Bytes obj{0xE4, 0x81, static_cast<uint8_t>(content.size())};
    obj.insert(obj.end(), content.begin(), content.end());
    r = Zeroed<NameRecord>();
    Heap lf(obj);
    EXPECT_EQ(DecodeResult::Ok, DecodeNameObject(lf.data(), lf.size(), r));
    EXPECT_EQ("LONG", std::string(r.shownName, 4));
}

TEST(DecodeName, TextsAreCutAtTheirWidth)
{
    NameRecord r = Zeroed<NameRecord>();
    Heap obj(Tlv(0xE4, Cat({Tlv(0x81, Bytes(40, 'X')), Tlv(0x84, Bytes(40, 'Y'))})));
    DecodeNameObject(obj.data(), obj.size(), r);
    EXPECT_EQ(std::string(27, 'X'), F(r.nameText1, 27));
    EXPECT_EQ(std::string(27, '\0'), F(r.nameText2, 27));
    EXPECT_EQ(std::string(27, 'Y'), F(r.shownName, 27));
}

TEST(DecodeId, TestCardRecordAndNibbles)
{
    Heap obj(IdObject());
    IdRecord r = Zeroed<IdRecord>();
    ASSERT_EQ(DecodeResult::Ok, DecodeIdObject(obj.data(), obj.size(), r));
    EXPECT_EQ("01234567890", F(r.leadingNumber, 11));
    EXPECT_EQ("8025000001", F(r.cardNumber, 10));
    EXPECT_EQ("00", F(r.cardVariant, 2));
    EXPECT_EQ("20240115", F(r.issueDate, 8));
    EXPECT_EQ("20270630", F(r.endDate, 8));

    // A half-byte above 9 becomes a blank; hex pairs are upper case.
    r = Zeroed<IdRecord>();
    Heap odd(Tlv(0xE3, Cat({Tlv(0x83, {0x2F, 0xA4, 0x01, 0x15}), Tlv(0x82, {0x8b})})));
    DecodeIdObject(odd.data(), odd.size(), r);
    EXPECT_EQ("2  40115", F(r.issueDate, 8));
    EXPECT_EQ("8B", F(r.cardVariant, 2));
}

TEST(DecodeId, ShortFixedCountFieldsStopAtTheValue)
{
    // A two-byte card number: four digits, the rest stays zero (nothing read
    // past the element).
    Heap obj(Tlv(0xE3, Tlv(0x81, {0x12, 0x34})));
    IdRecord r = Zeroed<IdRecord>();
    EXPECT_EQ(DecodeResult::Ok, DecodeIdObject(obj.data(), obj.size(), r));
    EXPECT_EQ(std::string("1234") + std::string(6, '\0'), F(r.cardNumber, 10));
}

TEST(DecodeInfo, TestCardRecordAndFlags)
{
    Heap obj(InfoObject());
    InfoRecord r = Zeroed<InfoRecord>();
    ASSERT_EQ(DecodeResult::Ok, DecodeInfoObject(obj.data(), obj.size(), r));
    EXPECT_EQ("00", F(r.cardType, 2));
    EXPECT_EQ("ONONNNNN", F(r.cardFlags, 8));
    EXPECT_EQ("810012345678", std::string(r.nationalId, 12));
    EXPECT_EQ("10", F(r.professionCode, 2));
    EXPECT_EQ("00", F(r.professionCategory, 2));
    EXPECT_EQ("DUPONT", std::string(r.practiceName, 6));
    EXPECT_EQ("SM26      ", F(r.qualification, 10));
    EXPECT_EQ("97", F(r.qualification + 36, 2));

    // One byte: card type 01 and eight N.
    r = Zeroed<InfoRecord>();
    Heap one(Tlv(0xED, Tlv(0x80, {0x01})));
    DecodeInfoObject(one.data(), one.size(), r);
    EXPECT_EQ("01", F(r.cardType, 2));
    EXPECT_EQ("NNNNNNNN", F(r.cardFlags, 8));
}

TEST(DecodeInfo, OverlongTextsAndPairsStayInTheirFields)
{
    Heap obj(Tlv(0xED, Cat({Tlv(0x81, Bytes(60, '1')), Tlv(0x82, {10, 21, 40}), Tlv(0x84, Bytes(50, 'P')),
                            Tlv(0x85, Bytes(60, 'Q'))})));
    InfoRecord r = Zeroed<InfoRecord>();
    DecodeInfoObject(obj.data(), obj.size(), r);
    EXPECT_EQ(std::string(31, '1'), F(r.nationalId, 31));
    EXPECT_EQ("10", F(r.professionCode, 2));
    EXPECT_EQ(std::string(2, '\0'), F(r.professionCategory, 2));
    EXPECT_EQ(std::string(27, 'P'), F(r.practiceName, 27));
    EXPECT_EQ(std::string(38, 'Q'), F(r.qualification, 38));
}

TEST(DecodeActivity, TestCardRecords)
{
    Heap a1(Activity1());
    ActivityRecord r;
    ASSERT_EQ(DecodeResult::Ok, DecodeActivityObject(a1.data(), a1.size(), r));
    EXPECT_EQ("00", F(r.at(ActivityRecord::Mode), 2));
    EXPECT_EQ("01", F(r.at(ActivityRecord::SpecialityCode), 2));
    EXPECT_EQ("03", F(r.at(ActivityRecord::SpecialityKind), 2));
    EXPECT_EQ('4', r.bytes[ActivityRecord::StructureIdType]);
    EXPECT_EQ("12345678901234", F(r.at(ActivityRecord::StructureId), 14));
    EXPECT_EQ("SA07", F(r.at(ActivityRecord::Sector), 4));
    EXPECT_EQ("CABINET DUPONT", F(r.at(ActivityRecord::StructureName), 14));
    EXPECT_EQ(1, r.logicalLink());
    EXPECT_EQ(' ', r.bytes[ActivityRecord::ReplacementId]);

    Heap a2(Activity2());
    ASSERT_EQ(DecodeResult::Ok, DecodeActivityObject(a2.data(), a2.size(), r));
    EXPECT_EQ("04", F(r.at(ActivityRecord::Mode), 2));
    EXPECT_EQ("24", F(r.at(ActivityRecord::SpecialityCode), 2));
    EXPECT_EQ("05", F(r.at(ActivityRecord::SpecialityKind), 2));
    EXPECT_EQ("DA", F(r.at(ActivityRecord::PharmacistSection), 2));
    EXPECT_EQ(2, r.logicalLink());
    EXPECT_EQ("SA33", F(r.at(ActivityRecord::Sector), 4));
    EXPECT_EQ(kReplacementId, F(r.at(ActivityRecord::ReplacementId), 31));
}

TEST(DecodeActivity, EdgeCases)
{
    ActivityRecord r;
    // An empty activity object is ignored, and the record is zeroed anyway.
    std::memset(r.bytes, 'Z', sizeof r.bytes);
    Heap empty(Bytes{0xEE, 0x00});
    EXPECT_EQ(DecodeResult::Ignored, DecodeActivityObject(empty.data(), empty.size(), r));
    EXPECT_EQ(std::string(ActivityRecord::Size, '\0'), F(r.bytes, ActivityRecord::Size));

    // A structure name longer than the room left stops at its field's end.
    Heap longName(Tlv(0xEE, Tlv(0x84, Bytes(120, 'N'))));
    DecodeActivityObject(longName.data(), longName.size(), r);
    EXPECT_EQ(std::string(40, 'N') + std::string(ActivityRecord::Size - 75, '\0'),
              F(r.at(35), ActivityRecord::Size - 35));

    // A tag-0x81 value of any length writes hex pairs up to the speciality kind only.
    Heap longHex(Tlv(0xEE, Tlv(0x81, Bytes(100, 0xAB))));
    DecodeActivityObject(longHex.data(), longHex.size(), r);
    EXPECT_EQ("ABABAB", F(r.at(2), 6));
    EXPECT_EQ(std::string(ActivityRecord::Size - 8, '\0'), F(r.at(8), ActivityRecord::Size - 8));
}

// A text element longer than its field is cut at the field's width: the
// logical link (set before it) and the replacement identifier stay as they were.
TEST(DecodeActivity, LongFieldsStopAtTheirWidth)
{
    struct Case {
        uint8_t tag;
        size_t valueLength;
        size_t pos, width;
    };
    const Case cases[] = {
        {0x84, 45, ActivityRecord::StructureName, 40},    // a 45-byte structure name
        {0x82, 10, ActivityRecord::PharmacistSection, 2}, // a 10-byte pharmacist section
        {0x86, 60, ActivityRecord::Sector, 4},
        {0x84, 120, ActivityRecord::StructureName, 40},
    };
    for (const Case &c : cases) {
        Bytes elements = Tlv(0x83, {0x05});
        Bytes longOne = Tlv(c.tag, Bytes(c.valueLength, 'X'));
        elements.insert(elements.end(), longOne.begin(), longOne.end());
        Heap obj(Tlv(0xEE, elements));
        ActivityRecord r;
        DecodeActivityObject(obj.data(), obj.size(), r);
        std::string field = F(r.at(c.pos), c.width);
        if (c.tag == 0x86)
            field[0] = 'X'; // the sector's first letter is always 'S'
        EXPECT_EQ(std::string(c.width, 'X'), field) << std::hex << int(c.tag);
        if (c.pos + c.width != ActivityRecord::LogicalLink) {
            EXPECT_EQ('\0', r.bytes[c.pos + c.width]) << std::hex << int(c.tag);
        }
        EXPECT_EQ(5, r.logicalLink()) << std::hex << int(c.tag);
        EXPECT_EQ('\0', r.bytes[ActivityRecord::ReplacementId]) << std::hex << int(c.tag);
    }

    // The structure identifier's long copy ends with the replacement identifier.
    Heap longId(Tlv(0xEE, Tlv(0x85, Bytes(200, 'R'))));
    ActivityRecord r;
    DecodeActivityObject(longId.data(), longId.size(), r);
    EXPECT_EQ(std::string(31, 'R'), F(r.at(ActivityRecord::ReplacementId), 31));
    EXPECT_EQ(std::string(ActivityRecord::Size - 110, '\0'), F(r.at(110), ActivityRecord::Size - 110));
}

TEST(DecodeBilling, TestCardSituations)
{
    Heap obj(BillingObject());
    BillingSituation t[8];
    uint16_t count = 99;
    ASSERT_EQ(DecodeResult::Ok, DecodeBillingObject(obj.data(), obj.size(), t, count));
    ASSERT_EQ(3, count);
    EXPECT_EQ(1, t[0].LienLogiqueSitPS);
    EXPECT_EQ("1234567890", F(t[0].IdFacturation, 10));
    EXPECT_EQ("011101", F(t[0].InfosConventionnelles, 6));
    EXPECT_EQ("020000", F(t[0].Agrements, 6));
    EXPECT_EQ(0x11, t[0].AutorisationsSignature);
    EXPECT_EQ(2, t[1].LienLogiqueSitPS);
    EXPECT_EQ("9876543210", F(t[1].IdFacturation, 10));
    EXPECT_EQ("502820", F(t[1].InfosConventionnelles, 6));
    EXPECT_EQ(9, t[2].LienLogiqueSitPS);
    EXPECT_EQ(std::string("11") + std::string(8, '\0'), F(t[2].IdFacturation, 10));
    EXPECT_EQ(0x10, t[2].AutorisationsSignature);
}

TEST(DecodeBilling, TenSituationsStoreEight)
{
    Bytes content;
    for (int i = 0; i < 10; ++i) {
        Bytes s = Tlv(0xA0, Cat({Tlv(0x80, {static_cast<uint8_t>(i)}), Tlv(0x84, {0x01})}));
        content.insert(content.end(), s.begin(), s.end());
    }
    Bytes obj{0x00, 0x81, static_cast<uint8_t>(content.size())};
    obj.insert(obj.end(), content.begin(), content.end());
    Heap h(obj);
    BillingSituation t[8];
    uint16_t count = 0;
    DecodeBillingObject(h.data(), h.size(), t, count);
    EXPECT_EQ(10, count);
    EXPECT_EQ(7, t[7].LienLogiqueSitPS);
}

TEST(DecodeBilling, MalformedLengthsGiveNoSituation)
{
    Bytes ok = BillingObject();
    struct Case {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"one byte", {0xE0}},
        {"wrong tag", {0xE1, 0x00}},
        {"form 0x80", {0xE0, 0x80, 0x00}},
        {"form 0x83", {0xE0, 0x83, 0x00, 0x00, 0x00}},
        {"0x81 without its byte", {0xE0, 0x81}},
        {"0x82 without its bytes", {0xE0, 0x82, 0x00}},
        {"length past the value", {0xE0, 0x82, 0x01, 0x00, 0xA0, 0x00}},
        {"short form past the value", {0xE0, 0x05, 0xA0, 0x00}},
    };
    for (const Case &c : cases) {
        Heap h(c.bytes);
        BillingSituation t[8];
        uint16_t count = 5;
        EXPECT_EQ(DecodeResult::Ignored, DecodeBillingObject(h.data(), h.size(), t, count)) << c.what;
        EXPECT_EQ(0, count) << c.what;
    }
}

TEST(Decoders, ElementRunningPastTheObjectIsCut)
{
    // Each object announces a length that fits, but its last element claims
    // more bytes than the object holds.
    NameRecord n = Zeroed<NameRecord>();
    Heap name(Bytes{0xE4, 0x05, 0x84, 0x20, 'A', 'B', 'C'});
    EXPECT_EQ(DecodeResult::Truncated, DecodeNameObject(name.data(), name.size(), n));
    EXPECT_EQ("ABC", std::string(n.shownName, 3));
    EXPECT_EQ('\0', n.shownName[3]);

    IdRecord id = Zeroed<IdRecord>();
    Heap idObj(Bytes{0xE3, 0x04, 0x81, 0x0A, 0x12, 0x34});
    EXPECT_EQ(DecodeResult::Truncated, DecodeIdObject(idObj.data(), idObj.size(), id));
    EXPECT_EQ("1234", std::string(id.cardNumber, 4));

    BillingSituation t[8];
    uint16_t count = 0;
    Heap bill(Bytes{0xE0, 0x05, 0xA0, 0x30, 0x80, 0x01, 0x07, 0x00});
    DecodeBillingObject(bill.data(), bill.size(), t, count);
    EXPECT_EQ(1, count);
    EXPECT_EQ(7, t[0].LienLogiqueSitPS);

    // A length byte as the object's last byte, a lone tag, a zero tag.
    InfoRecord info = Zeroed<InfoRecord>();
    Heap lone(Bytes{0xED, 0x03, 0x80});
    EXPECT_EQ(DecodeResult::Truncated, DecodeInfoObject(lone.data(), lone.size(), info));
    Heap stop(Bytes{0xED, 0x08, 0x00, 0x00, 0x84, 0x02, 'N', 'O', 0, 0});
    DecodeInfoObject(stop.data(), stop.size(), info);
    EXPECT_EQ('\0', info.practiceName[0]);
}

TEST(Decoders, WrongTagOrLengthIsIgnoredAndTheRecordUntouched)
{
    NameRecord n;
    std::memset(&n, 'k', sizeof n);
    Heap wrongTag(Bytes{0xE3, 0x03, 0x84, 0x01, 'A'});
    EXPECT_EQ(DecodeResult::Ignored, DecodeNameObject(wrongTag.data(), wrongTag.size(), n));
    Heap tooLong(Bytes{0xE4, 0x09, 0x84, 0x01, 'A'});
    EXPECT_EQ(DecodeResult::Ignored, DecodeNameObject(tooLong.data(), tooLong.size(), n));
    EXPECT_EQ(DecodeResult::Ignored, DecodeNameObject(nullptr, 0, n));
    EXPECT_EQ('k', n.shownName[0]);
}

TEST(Decoders, ScanStopsTwoBytesShortOfTheAnnouncedEnd)
{
    // An element starting at offset L (the announced end minus two) is not read.
    InfoRecord r = Zeroed<InfoRecord>();
    Heap obj(Bytes{0xED, 0x05, 0x82, 0x01, 0x0A, 0x83, 0x00});
    DecodeInfoObject(obj.data(), obj.size(), r);
    EXPECT_EQ("10", F(r.professionCode, 2));
    Heap late(Bytes{0xED, 0x02, 0x82, 0x01, 0x0A});
    r = Zeroed<InfoRecord>();
    DecodeInfoObject(late.data(), late.size(), r);
    EXPECT_EQ(std::string(2, '\0'), F(r.professionCode, 2));
}
