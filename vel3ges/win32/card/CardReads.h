// Reading the card's data objects into the records of g_card: holder name,
// card identification, professional information, practice situations and
// billing situations.
#ifndef VEL3GES_CARD_CARDREADS_H
#define VEL3GES_CARD_CARDREADS_H

#include <cstdint>

#include "pkcs11.h"

namespace vel {

// Each clears its record, reads its object on hSession and decodes it; the
// read flag is set only when a value came back and was decoded.
void ReadNameRecord();
void ReadIdRecord();
void ReadInfoRecord();
// Number of consecutive objects "VEL_ACTIVITY_01_PS", "..02.." present (0..16).
uint16_t CountActivityObjects(CK_SESSION_HANDLE session);
// Activity record `index` (0..15) from "VEL_ACTIVITY_<index+1>_PS".
void ReadActivityRecord(CK_SESSION_HANDLE session, unsigned index);
// The billing situations of "VEL_SIT_FACT"; sets NbSitFactExistantes and
// billingRead (a value came back and was decoded) and writes their trace lines.
void ReadBillingSituations(CK_SESSION_HANDLE session);

} // namespace vel

#endif
