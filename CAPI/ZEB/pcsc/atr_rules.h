// How the tray tells cards apart by their ATR: the two VEL generations,
// FIDO badges and protected contact cards (both by configurable lists of
// hexadecimal ATR texts). ATRs are read through a bounded view: never more
// than kMaxAtr bytes, whatever length the caller claims. Platform-free.
#ifndef ZEB_PCSC_ATR_RULES_H
#define ZEB_PCSC_ATR_RULES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeb {

// The size of a reader state's ATR buffer.
const size_t kMaxAtr = 36;

// `VEL3 ATR` and `VEL4 ATR`, 17 bytes each.
extern const uint8_t kVel3Atr[17];
extern const uint8_t kVel4Atr[17];

// Each byte as two upper-case hex digits, no separators; at most kMaxAtr bytes.
std::string AtrToHex(const uint8_t *atr, size_t length);

// 3 for the VEL3 ATR, 4 for the VEL4 ATR (exact, length first), else 0.
unsigned CardVersionOfAtr(const uint8_t *atr, size_t length);

// An entry of the list equals the ATR's hex text, in any letter case (no
// wildcard: a star is a character like the others). False for an empty ATR
// or list.
bool IsFidoBadgeAtr(const uint8_t *atr, size_t length, const std::vector<std::string> &list);

// With an empty list: the VEL3 ATR. Otherwise the first matching entry: the
// entry "CV*" (odd length) matches the CV card ATRs (9 bytes: 5 = 09, 6 = 69
// or 6A, 7 = 90; 10 bytes: 6 = 09, 7 = EA, 8 = 90); any other odd entry
// matches nothing; an even entry matches the ATR's hex text in any case.
bool IsProtectedContactAtr(const uint8_t *atr, size_t length, const std::vector<std::string> &list);

} // namespace zeb

#endif
