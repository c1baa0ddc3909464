// What the tray's PC/SC tests share: a private state file, the control
// programs of the software card and of the PC/SC stand-in, the test cards.
#ifndef ZEB_PCSC_TEST_SUPPORT_H
#define ZEB_PCSC_TEST_SUPPORT_H

#include <string>

#include "test_process.h"

namespace zeb_test {

using vel_test::Scaled;

const char kReader0[] = "Lecteur Ovrane VEL 0";
const char kReader1[] = "Lecteur Ovrane VEL 1";
const char kBadgeAtr[] = "3B8A800146494430424144474500";

// A private folder for this program's state file (VEL_SOFTCARD_STATE).
void UsePrivateState(const char *tag);
int RunProgram(const std::string &program, const std::string &args);
int Ctl(const std::string &args);       // softcard_ctl
int PcscCtl(const std::string &args);   // pcsc_ctl
// The quoted Windows path of a PC/SC test card image ("vel4-default").
std::string CardImage(const char *image);
std::string Quoted(const char *text);

} // namespace zeb_test

#endif
