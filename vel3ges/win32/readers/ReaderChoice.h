// "Changer lecteur": the holder picks a reader in "Choix d'un lecteur" and
// the card manager starts again on it.
#ifndef VEL3GES_READERS_READERCHOICE_H
#define VEL3GES_READERS_READERCHOICE_H

#include <cstddef>
#include <string>
#include <vector>

#include "../host/DialogHost.h"

namespace vel {

// Command 1024, over the program's host: ChooseReader(ProgramHost::Get()).
void ChooseReader(DialogHost &host);

// The names the reader dialog lists, in list order, stopping at the first
// reader without a name: entry i of the list is reader i.
std::vector<std::string> ListedReaderNames(const std::vector<ReaderEntry> &readers);

// The slot of the entry selected in the dialog; `chosen` is left alone when
// nothing (or nothing valid) is selected.
void PickReader(const std::vector<ReaderEntry> &readers, int selection, CK_SLOT_ID &chosen);

} // namespace vel

#endif
