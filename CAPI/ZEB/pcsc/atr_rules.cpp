#include "atr_rules.h"

#include <cstring>

namespace zeb {

const uint8_t kVel3Atr[17] = {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                              0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
const uint8_t kVel4Atr[17] = {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                              0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};

namespace {

size_t Bounded(const uint8_t *atr, size_t length)
{
    return atr ? (length < kMaxAtr ? length : kMaxAtr) : 0;
}

std::string Upper(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return out;
}

bool IsCvAtr(const uint8_t *atr, size_t n)
{
    if (n == 9)
        return atr[5] == 0x09 && (atr[6] == 0x69 || atr[6] == 0x6A) && atr[7] == 0x90;
    if (n == 10)
        return atr[6] == 0x09 && atr[7] == 0xEA && atr[8] == 0x90;
    return false;
}

} // namespace

std::string AtrToHex(const uint8_t *atr, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    size_t n = Bounded(atr, length);
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[atr[i] >> 4];
        out += digits[atr[i] & 0xF];
    }
    return out;
}

unsigned CardVersionOfAtr(const uint8_t *atr, size_t length)
{
    if (!atr || length != sizeof(kVel3Atr))
        return 0;
    if (std::memcmp(atr, kVel3Atr, sizeof(kVel3Atr)) == 0)
        return 3;
    if (std::memcmp(atr, kVel4Atr, sizeof(kVel4Atr)) == 0)
        return 4;
    return 0;
}

bool IsFidoBadgeAtr(const uint8_t *atr, size_t length, const std::vector<std::string> &list)
{
    size_t n = Bounded(atr, length);
    if (n == 0 || list.empty())
        return false;
    std::string hex = AtrToHex(atr, n);
    for (const std::string &entry : list)
        if (Upper(entry) == hex)
            return true;
    return false;
}

bool IsProtectedContactAtr(const uint8_t *atr, size_t length, const std::vector<std::string> &list)
{
    size_t n = Bounded(atr, length);
    if (list.empty())
        return CardVersionOfAtr(atr, n) == 3;
    if (n == 0)
        return false;
    std::string hex = AtrToHex(atr, n);
    for (const std::string &entry : list) {
        std::string e = Upper(entry);
        if (e.size() % 2 == 1) {
            if (e == "CV*" && IsCvAtr(atr, n))
                return true;
            continue;
        }
        if (e == hex)
            return true;
    }
    return false;
}

} // namespace zeb
