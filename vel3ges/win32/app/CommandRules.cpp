#include "CommandRules.h"

#include <cstdio>
#include <cstring>

namespace vel {

namespace {
// Token flags (PKCS#11).
constexpr unsigned long kUserPinCountLow = 0x10000, kUserPinFinalTry = 0x20000, kUserPinLocked = 0x40000;
constexpr unsigned long kSoPinCountLow = 0x100000, kSoPinFinalTry = 0x200000, kSoPinLocked = 0x400000;

bool LabelContainsCL(const unsigned char *label, size_t n)
{
    for (size_t i = 0; label && i + 1 < n && label[i] != '\0'; ++i)
        if (label[i] == 'C' && label[i + 1] == 'L')
            return true;
    return false;
}
} // namespace

bool CommandOnByRule(uint32_t bit, const unsigned char *label, size_t labelLength)
{
    switch (bit) {
    case CmdUnused20:
    case CmdTestReader:
    case Cmd8000:
    case Cmd10000:
        return false;
    case CmdReadSituations:
    case CmdReadData:
    case CmdPresentPin:
    case CmdChangePin:
        return !LabelContainsCL(label, labelLength);
    default:
        return true;
    }
}

uint16_t CardStateFromRv(uint32_t rv, bool slotCounted)
{
    switch (rv) {
    case 0:
        return StateReady;
    case 0x32:
        return StateNoReader;
    case 0xA4:
        return StateBlocked;
    case 0x80000001:
        return StateIncident;
    case 0x80000008:
        return slotCounted ? StateNoCard : StateNoReader;
    case 6:
    case 0x50:
    case 0xB1:
    case 0xB3:
    case 0xE0:
    case 0xE1:
        return StateNoCard;
    case 0x80000011:
        return StateBlocked;
    default:
        return StateError;
    }
}

uint16_t ScanResultCode(uint32_t rv)
{
    if (rv == 6 || rv == 0x50)
        return 3;
    if (rv == 0x32)
        return 0;
    if (rv == 0xB1)
        return 1;
    return 2;
}

bool LabelNamesNewCard(const unsigned char *label, size_t labelLength)
{
    if (!label || labelLength == 0 || label[0] == '\0')
        return false;
    char text[31] = {};
    size_t n = labelLength < 30 ? labelLength : 30;
    for (size_t i = 0; i < n && label[i] != '\0'; ++i)
        text[i] = (char)label[i];
    char *cut = std::strpbrk(text, "-_");
    if (!cut)
        return false;
    *cut = '\0';
    int generation = 0, version = 0;
    if (std::sscanf(text, "VEL%dv%d", &generation, &version) != 2)
        return false;
    return generation > 2 && version > 1;
}

unsigned UserPinTries(unsigned long flags)
{
    if (flags & kUserPinLocked)
        return 0;
    if (flags & kUserPinFinalTry)
        return 1;
    if (flags & kUserPinCountLow)
        return 2;
    return 3;
}

unsigned SoPinTries(unsigned long flags)
{
    if (flags & kSoPinLocked)
        return 0;
    if (flags & kSoPinFinalTry)
        return 1;
    if (flags & kSoPinCountLow)
        return 9;
    return 10;
}

int PreviousSectionLine(int first, const unsigned *s, unsigned count)
{
    if (count == 0 || first <= (int)s[0])
        return -1;
    for (unsigned k = 1; k < 16 && k < count; ++k)
        if ((int)s[k] >= first && (int)s[k - 1] < first)
            return (int)s[k - 1];
    return -1;
}

int NextSectionLine(int first, const unsigned *s, unsigned count)
{
    if (count == 0)
        return -1;
    if (first < (int)s[0])
        return (int)s[0];
    for (unsigned k = 0; k + 1 < count && k + 1 < 16; ++k) {
        if (first == (int)s[k] || ((int)s[k] < first && first < (int)s[k + 1]))
            return (int)s[k + 1];
    }
    return -1; // at or after the last block: stay
}

} // namespace vel
