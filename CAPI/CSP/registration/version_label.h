// The installed-version label shown at the foot of the PIN prompts: the
// installed package's name and version, our own version and the processor
// width, read from the installer registry.
#ifndef VEL_CSP_VERSION_LABEL_H
#define VEL_CSP_VERSION_LABEL_H

#include <windows.h>

// " 64b" or " 32b": the width of this build of the provider.
const char *ProviderWidthMark();

//   capacity  in: size of label in bytes; out: the label's length when a
//             product's name was turned into a label
//   label     the label (always NUL-terminated within capacity)
// 1 when the lookup ran (the label may be unchanged), 0 for a NULL pointer or
// an upgrade-code key that cannot be opened.
int getSorveloVersion(DWORD *capacity, char *label);

// The label made from one product name (no registry): the text after "VEL "
// with its width, our version and width, cut so that everything fits.
void LabelFromProductName(const char *productName, char *label, DWORD capacity, DWORD *length);

#endif
