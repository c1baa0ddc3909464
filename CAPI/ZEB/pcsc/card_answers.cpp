#include "card_answers.h"

namespace zeb {

namespace {
const uint8_t kMf[] = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const uint8_t k5F78[] = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x5F, 0x78};
const uint8_t kAid[] = {0x00, 0xA4, 0x04, 0x00, 0x08, 0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x02};
const uint8_t kClose[] = {0x00, 0x70, 0x80, 0x01, 0x00};
} // namespace

const Apdu kSelectMasterFile = {kMf, sizeof(kMf), 4};
const Apdu kSelect5F78 = {k5F78, sizeof(k5F78), 256};
const Apdu kSelectVelAid = {kAid, sizeof(kAid), 256};
const Apdu kCloseChannel1 = {kClose, sizeof(kClose), 2};

bool Response::StatusWord(uint16_t &sw) const
{
    if (rv != 0 || !buffer || reported < 2 || reported > bufferSize)
        return false;
    sw = uint16_t(buffer[reported - 2] << 8 | buffer[reported - 1]);
    return true;
}

uint16_t Response::StatusOrZero() const
{
    uint16_t sw = 0;
    return StatusWord(sw) ? sw : 0;
}

uint8_t Response::ByteOrZero(size_t i) const
{
    if (rv != 0 || !buffer || reported > bufferSize || i >= reported)
        return 0;
    return buffer[i];
}

bool HealthyAtStartup(uint16_t sw)
{
    return sw == 0x9404;
}

bool HealthyOnResume(uint16_t sw)
{
    return sw == 0x9000 || (sw >> 8) == 0x9F;
}

} // namespace zeb
