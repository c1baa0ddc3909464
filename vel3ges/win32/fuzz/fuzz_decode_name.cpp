// Any bytes through DecodeNameObject: never a read or write outside the input or the record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CardDecoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A heap copy of exactly the input's length, so that any over-read is caught.
    std::vector<uint8_t> input(data, data + size);
    vel::NameRecord record;
    std::memset(&record, 0, sizeof record);
    vel::DecodeNameObject(input.empty() ? nullptr : input.data(), input.size(), record);
    return 0;
}
