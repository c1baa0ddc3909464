// Fuzzer: the runtime text of the PC/SC stand-in takes any bytes without
// overrunning, and whatever it accepts writes back to text it accepts again,
// unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    pcsc::Runtime rt;
    if (pcsc::ParseRuntime(text, rt, error)) {
        std::string written = pcsc::RuntimeToText(rt);
        pcsc::Runtime again;
        if (!pcsc::ParseRuntime(written, again, error) || pcsc::RuntimeToText(again) != written)
            __builtin_trap();
    }
    return 0;
}
