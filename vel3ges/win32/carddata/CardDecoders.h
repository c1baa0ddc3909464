// Decoders of the card's data objects into the records of CardRecords.h.
// They take the object's bytes and its real length and never read or write
// outside them; a malformed object decodes to what is safely there.
#ifndef VEL3GES_CARDDATA_CARDDECODERS_H
#define VEL3GES_CARDDATA_CARDDECODERS_H

#include <cstddef>
#include <cstdint>

#include "CardRecords.h"

namespace vel {

enum class DecodeResult {
    Ok,        // decoded
    Ignored,   // wrong object tag or inconsistent length: the record is untouched
    Truncated, // an element ran past the object: decoded up to there
};

DecodeResult DecodeNameObject(const uint8_t *value, size_t length, NameRecord &out);
DecodeResult DecodeIdObject(const uint8_t *value, size_t length, IdRecord &out);
DecodeResult DecodeInfoObject(const uint8_t *value, size_t length, InfoRecord &out);
// Zero-fills `out` first, whatever the input.
DecodeResult DecodeActivityObject(const uint8_t *value, size_t length, ActivityRecord &out);
// Fills `table` (8 entries, cleared first when the object is accepted) and
// sets `count` to the number of situations found (0 when malformed).
DecodeResult DecodeBillingObject(const uint8_t *value, size_t length,
                                 BillingSituation (&table)[kMaxBillingSituations], uint16_t &count);

// The field encodings, exposed for the tests.
void PutDecimalPair(char *dst, uint8_t b);
void PutHexPair(char *dst, uint8_t b);
// Writes `count` nibble digits, or fewer when `length` bytes hold fewer half-bytes.
void PutNibbleDigits(char *dst, size_t count, const uint8_t *value, size_t length);

} // namespace vel

#endif
