// The commands the tray sends to cards and how it judges their answers.
// A response is read only within the receive buffer it was given: a reply
// the PC/SC layer reports longer than that buffer has no status word (so it
// is never healthy) and is never read past the buffer. Platform-free.
#ifndef ZEB_PCSC_CARD_ANSWERS_H
#define ZEB_PCSC_CARD_ANSWERS_H

#include <cstddef>
#include <cstdint>

namespace zeb {

struct Apdu {
    const uint8_t *bytes;
    size_t length;
    size_t receive; // the receive buffer the caller gives for its answer
};

extern const Apdu kSelectMasterFile; // A0 A4 00 00 02 3F 00, 4-byte answer
extern const Apdu kSelect5F78;       // A0 A4 00 00 02 5F 78, 256
extern const Apdu kSelectVelAid;     // 00 A4 04 00 08 80 25 00 00 01 FF 00 02, 256
extern const Apdu kCloseChannel1;    // 00 70 80 01 00, 2

// One transmit's outcome as the caller saw it: the result code, its
// buffer and size, and the length the call reported.
struct Response {
    long rv = 0;
    const uint8_t *buffer = nullptr;
    size_t bufferSize = 0;
    size_t reported = 0;

    // The last two bytes, when the call succeeded and 2 to bufferSize
    // bytes came back. False otherwise (no status word).
    bool StatusWord(uint16_t &sw) const;
    // The status word, 0 when there is none.
    uint16_t StatusOrZero() const;
    // Byte i of the answer when it came back, else 0 (MANAGE CHANNEL's line).
    uint8_t ByteOrZero(size_t i) const;
};

// Start-up check (SELECT 5F78): only 9404 means the card's own
// application is active on channel 0.
bool HealthyAtStartup(uint16_t sw);
// Resume and unlock check (SELECT master file): 9000 or any 9Fxx.
bool HealthyOnResume(uint16_t sw);

} // namespace zeb

#endif
