// The card data as text: the identity texts of the main dialog, the holder
// block (upper data pane), the situations block (lower data pane), and the
// token-flag and mechanism lines of the trace pane.
#ifndef VEL3GES_CARDDATA_CARDPRESENTATION_H
#define VEL3GES_CARDDATA_CARDPRESENTATION_H

#include <cstdint>

namespace vel {

// Rebuilds the four identity texts of g_card from its records and read
// flags; when no pane is on display, refreshes the identification statics.
void BuildIdentityTexts();
// BuildIdentityTexts, then the holder block to the upper data pane.
void WriteHolderInfo();
// Rewrites the lower data pane: one block per practice situation, each with
// its linked billing situation; records each block's first line.
void WriteSituations();
// The block of billing situation `index` to the lower data pane; adds the
// number of lines written to `lineCounter`.
void WriteBillingSituation(unsigned index, unsigned &lineCounter);
// Names of the token flags set, to the trace pane; sets cardPresent and userPinLocked.
void TraceTokenFlags(unsigned long flags);
// "   Mécanisme : ..." to the trace pane.
void TraceMechanism(unsigned long mechanism);

} // namespace vel

#endif
