// Fuzzer: the ATR, answer and reader-name rules read only within their
// buffers whatever lengths they are given; a registry value name taken for
// a "CertPropSvc stopped" record gives back that same name. Input: a claimed ATR length, up
// to 36 ATR bytes, a claimed response length, then list text (lines) that
// also serves as a reader multi-string and a slot description.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "atr_rules.h"
#include "card_answers.h"
#include "reader_names.h"
#include "service_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t claimedAtr = data[0];
    size_t claimedResponse = data[1];
    data += 2;
    size -= 2;
    // The ATR lives in a buffer of exactly the reader state's size.
    uint8_t atr[zeb::kMaxAtr] = {};
    size_t atrBytes = size < zeb::kMaxAtr ? size : zeb::kMaxAtr;
    std::memcpy(atr, data, atrBytes);
    const char *rest = reinterpret_cast<const char *>(data + atrBytes);
    size_t restSize = size - atrBytes;

    std::vector<std::string> list;
    std::string line;
    for (size_t i = 0; i < restSize; ++i) {
        if (rest[i] == '\n') {
            list.push_back(line);
            line.clear();
        } else {
            line += rest[i];
        }
    }
    if (!line.empty())
        list.push_back(line);

    std::string hex = zeb::AtrToHex(atr, claimedAtr);
    if (hex.size() > 2 * zeb::kMaxAtr)
        __builtin_trap();
    zeb::CardVersionOfAtr(atr, claimedAtr);
    zeb::IsFidoBadgeAtr(atr, claimedAtr, list);
    zeb::IsProtectedContactAtr(atr, claimedAtr, list);

    std::vector<uint8_t> response(rest, rest + (restSize < 256 ? restSize : 256));
    zeb::Response r;
    r.buffer = response.data();
    r.bufferSize = response.size();
    r.reported = claimedResponse;
    r.StatusOrZero();
    r.ByteOrZero(0);
    r.ByteOrZero(1);

    std::vector<char> multi(rest, rest + restSize);
    std::vector<std::string> names = zeb::ParseReaderList(multi.data(), multi.size());
    if (names.size() > zeb::kMaxReaders)
        __builtin_trap();
    for (const std::string &n : names)
        if (n.size() >= zeb::kMaxReaderName)
            __builtin_trap();

    for (const std::string &n : list) {
        unsigned long pid = 0;
        if (zeb::ParseServiceRecordName(n, &pid) && zeb::ServiceRecordName(pid) != n)
            __builtin_trap();
    }
    return 0;
}
