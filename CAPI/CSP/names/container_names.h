// The parts a container request or a token label carries: the reader of a
// "\\.\reader\container" request, the client computer of a name ending with
// "CName(...)", the card identifier in a token label. They read text that
// comes from callers and cards. No platform calls: built, tested and fuzzed
// in every tree.
#ifndef VEL_CSP_CONTAINER_NAMES_H
#define VEL_CSP_CONTAINER_NAMES_H

#include <cstddef>
#include <cstdint>

namespace csp::names {

// The reader of a "\\.\reader\container" request: the text after the four
// characters "\\.\" up to the next backslash, when that text is not empty.
//   container  the request (NULL: no reader)
//   out/size   receives the reader, or an empty text when there is none
// False when the reader does not fit (the request is then refused).
bool ReaderFromRequest(const char *container, char *out, size_t size);

// The client computer of a name ending with ')': the text between the first
// "CName(" and that last ')'.
//   out/size  receives it, or an empty text when the name carries none
// False when it does not fit (or size is 0).
bool ComputerNameFromContainer(const char *name, char *out, size_t size);

// The card identifier (PP_SMARTCARD_GUID) from the token label: the decimal
// digits after the label's first '-' up to a blank, a NUL or the label's
// end, read as packed BCD into the last bytes of a zeroed 16-byte value.
//   label/labelLength  the label's bytes (blank-padded, no NUL needed)
// False (guid zeroed) when there is no '-', or the digits are none, odd in
// number, more than 32, or not all decimal.
bool SmartCardGuidFromLabel(const char *label, size_t labelLength, uint8_t (&guid)[16]);

} // namespace csp::names

#endif
