// Byte order at the card boundary: CryptoAPI keeps RSA values little-endian,
// the card big-endian. The caller's memory is never reversed in place: every
// reversal writes into a buffer of the provider's own.
#ifndef CSP_KEYS_BYTE_ORDER_H
#define CSP_KEYS_BYTE_ORDER_H

#include <cstddef>
#include <cstdint>

namespace csp::keys {

// Writes the n bytes of src into dst in reverse order.
//   src, dst  n bytes each; they must not overlap (n 0: nothing is touched)
void ReverseInto(const uint8_t *src, size_t n, uint8_t *dst);

// Widens a little-endian signature to exactly the modulus length: a card answer
// shorter than the modulus lost leading zero bytes of its big-endian value,
// which are zeros at the little-endian end.
//   value       the signature in little-endian order, len bytes
//   modulusLen  the key's modulus length in bytes; out holds that many
//               (out may be value itself)
// Returns kOk, or kNteBadData when the answer is empty or longer than the
// modulus (out is then untouched).
uint32_t WidenLittleEndian(const uint8_t *value, size_t len, size_t modulusLen, uint8_t *out);

} // namespace csp::keys

#endif
