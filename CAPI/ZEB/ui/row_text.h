// Texts of the tray's dialogs that need no window: the reader-state rows
// and the installed package's version. Platform-free.
#ifndef ZEB_UI_ROW_TEXT_H
#define ZEB_UI_ROW_TEXT_H

#include <string>

namespace zeb {

// The row text of a slot: its description (at most 64 bytes, stops at a
// NUL) without trailing blanks, the first character always kept; a
// description starting with NUL gives "Lecteur N° <index + 1>" (Windows-1252).
std::string SlotRowText(const std::string &description, int index);

// The package version "MM.mm.pp" from an installed product name: the name
// is cut at every 'v' and '.' (then also at blanks) and the first three
// pieces after the first are read as numbers (non-numbers read 0). Fewer
// than three pieces: "inconnue".
std::string PackageVersionFromName(const std::string &productName);

} // namespace zeb

#endif
