// The tray program's table of up to 20 PKCS#11 slots: what each slot holds
// and which certificates its card put into the user's store. Free of
// Windows headers (native tests).
#ifndef ZEB_SLOT_TABLE_H
#define ZEB_SLOT_TABLE_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "padded_field.h"
#include "pkcs11.h"

namespace zeb {

constexpr unsigned kSlotCount = 20;
constexpr unsigned kMaxCertsPerSlot = 10;

// One certificate put into the store: its issuer and serial number, the key
// by which it is found again for removal.
struct CertRecord {
    std::vector<uint8_t> issuer;
    std::vector<uint8_t> serial;
    bool operator==(const CertRecord &o) const { return issuer == o.issuer && serial == o.serial; }
};

struct SlotInfoEntry {
    CK_SLOT_ID slotId = 0;
    CK_SLOT_INFO slotInfo{};
    // Event-driven mode: the whole name of the reader the entry belongs to,
    // which the description may hold only the first 64 characters of. Empty
    // while the entry is known by its description alone (filled from the
    // PKCS#11 slots, or unused).
    std::string reader;
    CK_TOKEN_INFO tokenInfo{};
    CK_TOKEN_INFO heldToken{};      // the card whose certificates the records hold
    CK_SESSION_HANDLE hSession = 0; // kept open after a failed propagation; 0: none
    std::array<std::unique_ptr<CertRecord>, kMaxCertsPerSlot> certs;
    CK_ULONG nbCerts = 0;
    uint8_t bSynchro = 0;         // the slot's certificates are propagated
    uint8_t bIgnoredWebAuthn = 0; // propagation inhibited (WebAuthn exclusive mode)
    uint8_t changed = 0;          // changed since the last (re-)initialisation

    // Back to the zeroed entry, records included (the caller removed their
    // certificates from the store first).
    void Clear();
};

// True when the token seen now is the card the entry propagated: same label,
// serial number, manufacturer and model.
bool SameToken(const CK_TOKEN_INFO &stored, const CK_TOKEN_INFO &now);

// True when the entry belongs to the reader `name`: by its reader's whole
// name once it has one, else by its slot description (vel::PaddedFieldEquals).
bool EntryNamesReader(const SlotInfoEntry &entry, const char *name);

// True when `entry` still holds certificates (or a propagated mark) of a
// card that is not in any of `readersWithCard` (reader names) any more.
bool HeldWithoutCard(const SlotInfoEntry &entry, const std::vector<std::string> &readersWithCard);

// True when an entry's records may be kept for the card found now: the
// entry is propagated, holds records, and they came from that same card.
//   known  the card now in the reader could be read (`now` is valid)
bool KeepsSameCard(const SlotInfoEntry &entry, bool known, const CK_TOKEN_INFO &now);

// True when an entry of `table` other than `self` still holds a record of
// the same certificate (the store copy then belongs to that card too).
bool HeldElsewhere(const SlotInfoEntry *table, size_t count, const SlotInfoEntry *self,
                   const CertRecord &record);

} // namespace zeb

#endif
