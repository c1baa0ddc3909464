// Byte order at the card boundary: CryptoAPI keeps RSA values little-endian,
// the card big-endian. The caller's memory is never reversed in place: every
// reversal writes into a buffer of the provider's own.
#ifndef CSP_KEYS_BYTE_ORDER_H
#define CSP_KEYS_BYTE_ORDER_H

#include <cstddef>
#include <cstdint>

namespace cspkeys {

// Writes the n bytes of src into dst in reverse order.
//   src, dst  n bytes each; they must not overlap (n 0: nothing is touched)
void ReverseInto(const uint8_t *src, size_t n, uint8_t *dst);

// Turns the card's big-endian signature into CryptoAPI's little-endian one of
// exactly the modulus length: an answer shorter than the modulus (leading zero
// bytes dropped by the card) is left-padded before the reversal.
//   card        the card's answer, cardLen bytes
//   modulusLen  the key's modulus length in bytes; out holds that many
// Returns kOk, or kNteBadData when the answer is longer than the modulus or
// empty (out is then untouched).
uint32_t SignatureToLittleEndian(const uint8_t *card, size_t cardLen, size_t modulusLen, uint8_t *out);

}  // namespace cspkeys

#endif
