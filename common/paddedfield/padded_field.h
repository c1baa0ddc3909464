// The blank-padded text fields of PKCS#11 (slot description, token label,
// manufacturer, model, serial number): fixed-size, filled with blanks, never
// terminated, though some libraries leave NULs in them. One reading for every
// deliverable. Platform-free.
#ifndef VEL_PADDED_FIELD_H
#define VEL_PADDED_FIELD_H

#include <cstddef>
#include <string>

namespace vel {

// The length of the text a field holds: up to its first NUL or its end,
// trailing blanks left out. Reads at most `width` bytes; a NULL field is
// empty.
size_t PaddedFieldLength(const unsigned char *field, size_t width);

// That text.
std::string PaddedFieldText(const unsigned char *field, size_t width);

// True when the field holds `name` (NUL-terminated). A name longer than the
// field is compared on the field's width, trailing blanks left out there as
// in the field: that is all a field keeps of it (a reader name of more than
// 64 characters in a slot description). A shorter name is compared whole.
bool PaddedFieldEquals(const unsigned char *field, size_t width, const char *name);

} // namespace vel

#endif
