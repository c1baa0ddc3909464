// The one way the card layer writes a log line: formats it (at most 255
// characters, longer lines are cut) and hands it to the dialog's CardUi.
#ifndef VEL3GES_CARDDATA_PANEWRITER_H
#define VEL3GES_CARDDATA_PANEWRITER_H

#include "CardUi.h"

namespace vel {

// The dialog (or test double) that receives lines and prompts; null drops them.
void SetCardUi(CardUi *ui);
CardUi *GetCardUi();

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void AppendPaneLine(PaneType type, const char *format, ...);

} // namespace vel

#endif
