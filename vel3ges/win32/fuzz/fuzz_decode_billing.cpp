// Any bytes through DecodeBillingObject: never a read or write outside the
// input or the eight situations, and a count that fits what was scanned.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CardDecoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> input(data, data + size);
    vel::BillingSituation table[vel::kMaxBillingSituations];
    uint16_t count = 0;
    vel::DecodeBillingObject(input.empty() ? nullptr : input.data(), input.size(), table, count);
    if (count > size / 2)
        std::abort(); // every situation takes at least two bytes
    return 0;
}
