// The trace level a "Traces" registry value gives, decided from its type and
// bytes alone (no platform call): used by log_trace.cpp, tested natively.
#ifndef VEL_TRACE_LEVEL_H
#define VEL_TRACE_LEVEL_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vel::trace {

// Registry value types as the registry numbers them.
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// The level a value of `type` holding `size` bytes at `data` sets: the low
// 16 bits of a little-endian DWORD, for a REG_DWORD of four bytes or a
// REG_BINARY of four bytes (which some tools write for a DWORD). Any other
// value (a text typed by hand, a DWORD of the wrong size, a QWORD...) sets
// nothing: it counts as absent, and the other hive's value, or none, holds.
std::optional<int> LevelOfValue(uint32_t type, const uint8_t *data, size_t size);

} // namespace vel::trace

#endif
