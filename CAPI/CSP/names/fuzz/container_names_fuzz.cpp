// Fuzzes the readers of requested container names and token labels with
// any bytes: each gets an exactly-sized copy (a NUL-terminated text, or a
// label without NUL), so any overrun is seen under the sanitizers; the
// parts they return are checked against the text they came from.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "acquire_request.h"
#include "container_names.h"

namespace {

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char *request = text.data();

    // Small outputs too, so the "does not fit" paths are reached.
    for (size_t room : {size_t(1), size_t(8), size_t(255)}) {
        std::vector<char> reader(room, 'R');
        if (csp::names::ReaderFromRequest(request, reader.data(), room)) {
            const size_t n = strnlen(reader.data(), room);
            Require(n < room);
            Require(n == 0 || std::strncmp(request + 4, reader.data(), n) == 0);
        }
        std::vector<char> computer(room, 'C');
        if (csp::names::ComputerNameFromContainer(request, computer.data(), room)) {
            const size_t n = strnlen(computer.data(), room);
            Require(n < room);
            Require(n == 0 || std::strstr(request, computer.data()) != nullptr);
        }
    }

    // The whole request, as each kind of acquire reads it inside the security authority.
    for (uint32_t flags :
         {uint32_t(0), csp::names::kSilent, csp::names::kSilent | csp::names::kMachineKeyset}) {
        const csp::names::AcquireRequest r = csp::names::ReadAcquireRequest(request, flags, "lsass.exe");
        Require(!r.container.empty() && r.reader.size() < csp::names::kReaderRoom &&
                r.computer.size() < csp::names::kComputerRoom);
        Require(r.reserved.compare(0, std::strlen(csp::names::kWinlogon), csp::names::kWinlogon) == 0);
    }

    std::vector<char> label(data, data + size); // no NUL: read within its bytes only
    uint8_t guid[16];
    if (!csp::names::SmartCardGuidFromLabel(label.data(), label.size(), guid)) {
        for (uint8_t b : guid)
            Require(b == 0);
    } else {
        for (uint8_t b : guid)
            Require((b >> 4) <= 9 && (b & 0xF) <= 9);
    }
    return 0;
}
