#include "CardDecoders.h"

#include <algorithm>
#include <cstring>

namespace vel {

void PutDecimalPair(char *dst, uint8_t b)
{
    // b / 10 may exceed 9 (b >= 100): the character then lies past '9', as the
    // card's own readers show it.
    dst[0] = static_cast<char>('0' + b / 10);
    dst[1] = static_cast<char>('0' + b % 10);
}

void PutHexPair(char *dst, uint8_t b)
{
    static const char digits[] = "0123456789ABCDEF";
    dst[0] = digits[b >> 4];
    dst[1] = digits[b & 0x0F];
}

void PutNibbleDigits(char *dst, size_t count, const uint8_t *value, size_t length)
{
    count = std::min(count, 2 * length);
    for (size_t i = 0; i < count; ++i) {
        uint8_t half = (i % 2 == 0) ? value[i / 2] >> 4 : value[i / 2] & 0x0F;
        dst[i] = half <= 9 ? static_cast<char>('0' + half) : ' ';
    }
}

namespace {

// Copies at most `width` bytes of a text value.
void PutText(char *dst, size_t width, const uint8_t *value, size_t length)
{
    std::memcpy(dst, value, std::min(width, length));
}

struct Element {
    uint8_t tag;
    const uint8_t *value;
    size_t length;
};

// Walks the one-level elements of an object: tag, one length byte, value.
// Elements are read while they start before `scanEnd`; every value is cut at
// the object's real end. Returns false when an element ran past the object.
template <typename F>
bool ForEachElement(const uint8_t *obj, size_t objLength, size_t start, size_t scanEnd, F &&onElement)
{
    size_t off = start;
    while (off < scanEnd && off < objLength) {
        uint8_t tag = obj[off];
        if (tag == 0x00)
            return true;
        if (off + 1 >= objLength)
            return false; // no room for the length byte
        size_t n = obj[off + 1];
        size_t valueStart = off + 2;
        size_t room = objLength - valueStart;
        if (n > room) {
            onElement(Element{tag, obj + valueStart, room});
            return false;
        }
        onElement(Element{tag, obj + valueStart, n});
        off = valueStart + n;
    }
    return true;
}

// Object framing shared by the name, identification, information and activity
// objects: object tag, length L (the name object also knows 0x81 L), elements.
// Gives the elements' start and scan end, or false when the object is ignored.
bool Frame(const uint8_t *value, size_t length, uint8_t objectTag, bool longFormAllowed, size_t &start,
           size_t &scanEnd)
{
    if (!value || length < 2 || value[0] != objectTag)
        return false;
    if (longFormAllowed && value[1] == 0x81) {
        if (length < 3)
            return false;
        size_t L = value[2];
        if (L + 1 > length)
            return false;
        start = 3;
        scanEnd = L + 1;
        return true;
    }
    size_t L = value[1];
    if (L > length)
        return false;
    start = 2;
    scanEnd = L;
    return true;
}

DecodeResult Result(bool whole)
{
    return whole ? DecodeResult::Ok : DecodeResult::Truncated;
}

} // namespace

DecodeResult DecodeNameObject(const uint8_t *value, size_t length, NameRecord &out)
{
    size_t start, scanEnd;
    if (!Frame(value, length, 0xE4, true, start, scanEnd))
        return DecodeResult::Ignored;
    bool whole = ForEachElement(value, length, start, scanEnd, [&](const Element &e) {
        switch (e.tag) {
        case 0x80:
            if (e.length > 0)
                PutDecimalPair(out.civility, e.value[0]);
            break;
        case 0x81:
            PutText(out.nameText1, kNameTextWidth, e.value, e.length);
            break;
        case 0x82:
            PutText(out.nameText2, kNameTextWidth, e.value, e.length);
            break;
        case 0x83: {
            // Three parts separated by 0xFF, each at most 27 bytes; a part
            // cut at 27 bytes also skips the byte after it.
            size_t pos = 0, remaining = e.length;
            for (int part = 0; part < 3; ++part) {
                size_t copied = 0;
                while (pos < e.length && remaining > 0 && e.value[pos] != 0xFF && copied < kNameTextWidth) {
                    out.nameParts[part][copied++] = static_cast<char>(e.value[pos++]);
                    --remaining;
                }
                if (pos < e.length && e.value[pos] == 0xFF && remaining > 0)
                    --remaining;
                ++pos;
            }
            break;
        }
        case 0x84:
            PutText(out.shownName, kNameTextWidth, e.value, e.length);
            break;
        default:
            break;
        }
    });
    return Result(whole);
}

DecodeResult DecodeIdObject(const uint8_t *value, size_t length, IdRecord &out)
{
    size_t start, scanEnd;
    if (!Frame(value, length, 0xE3, false, start, scanEnd))
        return DecodeResult::Ignored;
    bool whole = ForEachElement(value, length, start, scanEnd, [&](const Element &e) {
        switch (e.tag) {
        case 0x80:
            PutNibbleDigits(out.leadingNumber, 11, e.value, e.length);
            break;
        case 0x81:
            PutNibbleDigits(out.cardNumber, 10, e.value, e.length);
            break;
        case 0x82:
            if (e.length > 0)
                PutHexPair(out.cardVariant, e.value[0]);
            break;
        case 0x83:
            PutNibbleDigits(out.issueDate, 8, e.value, e.length);
            break;
        case 0x84:
            PutNibbleDigits(out.endDate, 8, e.value, e.length);
            break;
        default:
            break;
        }
    });
    return Result(whole);
}

DecodeResult DecodeInfoObject(const uint8_t *value, size_t length, InfoRecord &out)
{
    size_t start, scanEnd;
    if (!Frame(value, length, 0xED, false, start, scanEnd))
        return DecodeResult::Ignored;
    bool whole = ForEachElement(value, length, start, scanEnd, [&](const Element &e) {
        switch (e.tag) {
        case 0x80:
            if (e.length == 0)
                break;
            PutHexPair(out.cardType, e.value[0]);
            if (e.length == 1) {
                std::memset(out.cardFlags, 'N', sizeof out.cardFlags);
            } else {
                for (int bit = 0; bit < 8; ++bit)
                    out.cardFlags[bit] = (e.value[1] & (0x80 >> bit)) ? 'O' : 'N';
            }
            break;
        case 0x81:
            PutText(out.nationalId, sizeof out.nationalId, e.value, e.length);
            break;
        // One decimal pair per value byte; the field holds one pair.
        case 0x82:
            if (e.length > 0)
                PutDecimalPair(out.professionCode, e.value[0]);
            break;
        case 0x83:
            if (e.length > 0)
                PutDecimalPair(out.professionCategory, e.value[0]);
            break;
        case 0x84:
            PutText(out.practiceName, sizeof out.practiceName, e.value, e.length);
            break;
        case 0x85:
            PutText(out.qualification, sizeof out.qualification, e.value, e.length);
            break;
        default:
            break;
        }
    });
    return Result(whole);
}

DecodeResult DecodeActivityObject(const uint8_t *value, size_t length, ActivityRecord &out)
{
    std::memset(out.bytes, 0, sizeof out.bytes);
    size_t start, scanEnd;
    if (!Frame(value, length, 0xEE, false, start, scanEnd) || value[1] == 0)
        return DecodeResult::Ignored;
    // Copies a text field, cut at its width: a long value must not spill
    // into the fields after it (the billing link, the replacement line).
    auto copyAt = [&](size_t pos, size_t width, const Element &e) {
        std::memcpy(out.bytes + pos, e.value, std::min(e.length, width));
    };
    bool whole = ForEachElement(value, length, start, scanEnd, [&](const Element &e) {
        switch (e.tag) {
        case 0x80:
            if (e.length > 0)
                PutDecimalPair(out.bytes + ActivityRecord::Mode, e.value[0]);
            if (e.length > 1)
                PutHexPair(out.bytes + 2, e.value[1]);
            break;
        case 0x81:
            // Hex pairs of the bytes from position 2 up to the speciality
            // kind: the code and the kind, nothing past them.
            for (size_t i = 0; i < e.length && 2 + 2 * i < ActivityRecord::StructureIdType; ++i)
                PutHexPair(out.bytes + 2 + 2 * i, e.value[i]);
            break;
        case 0x82:
            copyAt(ActivityRecord::PharmacistSection, ActivityRecord::kPharmacistSectionWidth, e);
            break;
        case 0x83:
            if (e.length > 0) {
                out.bytes[ActivityRecord::LogicalLink] = static_cast<char>(e.value[0]);
                out.bytes[ActivityRecord::LogicalLink + 1] = 0;
            }
            break;
        case 0x84:
            copyAt(ActivityRecord::StructureName, ActivityRecord::kStructureNameWidth, e);
            break;
        case 0x85:
            // One copy from position 8 fills the structure identifier and,
            // for values of 72 bytes or more, the replacement identifier
            // (the card orders its elements so that the others come after);
            // it ends with the replacement identifier.
            out.bytes[ActivityRecord::ReplacementId] = ' ';
            copyAt(ActivityRecord::StructureIdType,
                   ActivityRecord::ReplacementId + ActivityRecord::kReplacementIdWidth -
                       ActivityRecord::StructureIdType,
                   e);
            break;
        case 0x86:
            copyAt(ActivityRecord::Sector, ActivityRecord::kSectorWidth, e);
            out.bytes[ActivityRecord::Sector] = 'S';
            break;
        default:
            break;
        }
    });
    return Result(whole);
}

DecodeResult DecodeBillingObject(const uint8_t *value, size_t length,
                                 BillingSituation (&table)[kMaxBillingSituations], uint16_t &count)
{
    count = 0;
    if (!value || length < 2 || (value[0] != 0xE0 && value[0] != 0x00))
        return DecodeResult::Ignored;
    size_t L, lf;
    if (value[1] < 0x80) {
        L = value[1];
        lf = 1;
    } else if (value[1] == 0x81 && length >= 3) {
        L = value[2];
        lf = 2;
    } else if (value[1] == 0x82 && length >= 4) {
        L = static_cast<size_t>(value[2]) << 8 | value[3];
        lf = 3;
    } else {
        return DecodeResult::Ignored;
    }
    if (L + lf > length - 1)
        return DecodeResult::Ignored;

    std::memset(table, 0, sizeof table);
    unsigned found = 0;
    bool whole = ForEachElement(value, length, 1 + lf, L + lf - 1, [&](const Element &e) {
        if (e.tag != 0xA0)
            return;
        unsigned index = found++;
        if (index >= kMaxBillingSituations)
            return;
        BillingSituation &s = table[index];
        // Sub-elements are scanned while they start before offset 1 + length
        // of the element; their values are cut at the element's end.
        size_t subScanEnd = e.length >= 1 ? e.length - 1 : 0;
        ForEachElement(e.value, e.length, 0, subScanEnd, [&](const Element &sub) {
            switch (sub.tag) {
            case 0x80:
                if (sub.length > 0)
                    s.LienLogiqueSitPS = sub.value[0];
                break;
            case 0x81:
                PutNibbleDigits(s.IdFacturation, 10, sub.value, sub.length);
                break;
            case 0x82:
                PutNibbleDigits(s.InfosConventionnelles, 6, sub.value, sub.length);
                break;
            case 0x83:
                PutNibbleDigits(s.Agrements, 6, sub.value, sub.length);
                break;
            case 0x84:
                if (sub.length > 0)
                    s.AutorisationsSignature = sub.value[0];
                break;
            default:
                break;
            }
        });
    });
    count = static_cast<uint16_t>(std::min(found, 0xFFFFu));
    return Result(whole);
}

} // namespace vel
