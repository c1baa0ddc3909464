// Small pieces shared by the self-test, the certificate reading and the
// reader choice: the hex lines of the trace pane and the pane-or-identity
// hiding that opens every card operation.
#ifndef VEL3GES_HOST_OPERATIONSUPPORT_H
#define VEL3GES_HOST_OPERATIONSUPPORT_H

#include <cstddef>
#include <cstdint>

namespace vel {

class DialogHost;

// Lines of six blanks then "%02x " per byte, `perLine` bytes a line, to the
// trace pane.
void TraceHexDump(unsigned perLine, size_t count, const uint8_t *bytes);

// Hides the pane on display (none is on display afterwards), or else the
// identification statics.
void HidePaneOrIdentification(DialogHost &host);

// The four read flags cleared, the upper data pane back to its four header
// lines and the identity texts rebuilt (empty): the card's data is gone.
void ForgetCardIdentity();
// The same, and the situations and their pane emptied too: nothing of the
// card is left.
void ForgetCardData();

} // namespace vel

#endif
