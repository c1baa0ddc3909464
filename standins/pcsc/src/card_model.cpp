#include "card_model.h"

#include <cstring>

#include "card.h"

namespace pcsc {
namespace {

const uint8_t kVel3Atr[] = {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                            0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
const uint8_t kVel4Atr[] = {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                            0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};
// The card's own application and the FIDO application.
const uint8_t kVelAid[] = {0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x02};
const uint8_t kFidoAid[] = {0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01};
const char kFidoVersion[] = "U2F_V2";

bool Equals(const Bytes &b, const uint8_t *ref, size_t n)
{
    return b.size() == n && std::memcmp(b.data(), ref, n) == 0;
}

Bytes Sw(uint16_t word)
{
    return Bytes{uint8_t(word >> 8), uint8_t(word)};
}

Bytes WithSw(Bytes data, uint16_t word)
{
    data.push_back(uint8_t(word >> 8));
    data.push_back(uint8_t(word));
    return data;
}

// The AID of a SELECT by name, when the command is one.
bool SelectAid(const uint8_t *apdu, size_t length, const uint8_t *&aid, size_t &aidLength)
{
    if (length < 5 || apdu[1] != 0xA4 || apdu[2] != 0x04 || size_t(apdu[4]) + 5 > length)
        return false;
    aid = apdu + 5;
    aidLength = apdu[4];
    return true;
}

bool Same(const uint8_t *a, size_t an, const uint8_t *b, size_t bn)
{
    return an == bn && std::memcmp(a, b, an) == 0;
}

// The file-control answer of the master file in the GSM class (GET RESPONSE).
Bytes MasterFileFci()
{
    Bytes fci(0x17, 0);
    fci[2] = 0x3F;
    fci[3] = 0x00;
    fci[6] = 0x01; // master file
    return WithSw(fci, 0x9000);
}

// A VEL card in the GSM class (CLA A0) on channel 0.
Bytes GsmCommand(const uint8_t *apdu, size_t length)
{
    if (apdu[1] == 0xA4) {
        if (length != 7 || apdu[4] != 2)
            return Sw(0x6700);
        uint16_t fid = uint16_t(apdu[5] << 8 | apdu[6]);
        if (fid == 0x3F00)
            return Sw(0x9F17); // selected, 0x17 bytes to fetch
        return Sw(0x9404);     // no such file under the card's application
    }
    if (apdu[1] == 0xC0)
        return MasterFileFci();
    return Sw(0x6D00);
}

Bytes VelCommand(bool vel4, CardRuntime &m, const uint8_t *apdu, size_t length)
{
    uint8_t cla = apdu[0];
    unsigned channel = (cla & 0x80) ? 0 : (cla & 0x03);
    if (channel == 1 && (!vel4 || !m.channel1Open))
        return Sw(0x6881);
    if (cla == 0xA0) {
        if (m.foreignOnChannel0)
            return Sw(0x6E00); // the application on channel 0 knows no GSM class
        return GsmCommand(apdu, length);
    }
    if ((cla & 0xFC) != 0x00)
        return Sw(0x6E00);
    if (apdu[1] == 0x70) { // MANAGE CHANNEL
        if (!vel4 || channel != 0)
            return Sw(0x6881);
        if (apdu[2] == 0x00) { // open: the card picks channel 1
            if (m.channel1Open)
                return Sw(0x6A81);
            m.channel1Open = true;
            return WithSw(Bytes{0x01}, 0x9000);
        }
        if (apdu[2] == 0x80) { // close the channel in P2
            if (apdu[3] != 0x01 || !m.channel1Open)
                return Sw(0x6881);
            m.channel1Open = false;
            return Sw(0x9000);
        }
        return Sw(0x6A86);
    }
    const uint8_t *aid;
    size_t aidLength;
    if (SelectAid(apdu, length, aid, aidLength)) {
        if (Same(aid, aidLength, kVelAid, sizeof(kVelAid))) {
            if (channel == 0)
                m.foreignOnChannel0 = false;
            return Sw(0x9000);
        }
        if (vel4 && Same(aid, aidLength, kFidoAid, sizeof(kFidoAid))) {
            // A VEL4 card carries a FIDO application too: a browser that
            // selects it on channel 0 leaves the card's own one unselected.
            if (channel == 0)
                m.foreignOnChannel0 = true;
            return WithSw(Bytes(kFidoVersion, kFidoVersion + 6), 0x9000);
        }
        return Sw(0x6A82);
    }
    if (apdu[1] == 0xA4)
        return Sw(apdu[2] == 0x04 ? 0x6700 : 0x6A86); // by name with Lc beyond the data
    return Sw(0x6D00);
}

Bytes BadgeCommand(const uint8_t *apdu, size_t length)
{
    const uint8_t *aid;
    size_t aidLength;
    if ((apdu[0] & 0x80) != 0)
        return Sw(0x6E00);
    if (SelectAid(apdu, length, aid, aidLength))
        return Same(aid, aidLength, kFidoAid, sizeof(kFidoAid))
                   ? WithSw(Bytes(kFidoVersion, kFidoVersion + 6), 0x9000)
                   : Sw(0x6A82);
    return Sw(0x6D00);
}

} // namespace

CardKind KindOf(const softcard::Card &card)
{
    if (card.model == "FIDO")
        return CardKind::fidoBadge;
    if (Equals(card.atr, kVel4Atr, sizeof(kVel4Atr)))
        return CardKind::vel4;
    if (Equals(card.atr, kVel3Atr, sizeof(kVel3Atr)))
        return CardKind::vel3;
    return CardKind::other;
}

Bytes AnswerApdu(CardKind kind, CardRuntime &memory, const uint8_t *apdu, size_t length)
{
    if (!apdu || length < 4)
        return Sw(0x6700);
    switch (kind) {
    case CardKind::vel3:
        return VelCommand(false, memory, apdu, length);
    case CardKind::vel4:
        return VelCommand(true, memory, apdu, length);
    case CardKind::fidoBadge:
        return BadgeCommand(apdu, length);
    case CardKind::other:
        break;
    }
    return Sw((apdu[0] & 0x80) ? 0x6E00 : 0x6D00);
}

void ResetCard(CardRuntime &memory)
{
    memory.foreignOnChannel0 = false;
    memory.channel1Open = false;
    ++memory.resets;
}

} // namespace pcsc
