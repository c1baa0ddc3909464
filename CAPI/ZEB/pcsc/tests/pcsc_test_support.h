// What the tray's PC/SC tests share: a private state file, the control
// programs of the software card and of the PC/SC stand-in, the test cards,
// the "CertPropSvc" service and this process's thread and handle counts.
#ifndef ZEB_PCSC_TEST_SUPPORT_H
#define ZEB_PCSC_TEST_SUPPORT_H

#include <windows.h>

#include <string>

#include "test_process.h"
#include "wait_until.h"

namespace zeb_test {

using vel_test::ScaledMs;

const char kReader0[] = "Lecteur Ovrane VEL 0";
const char kReader1[] = "Lecteur Ovrane VEL 1";
const char kBadgeAtr[] = "3B8A800146494430424144474500";

// A private folder for this program's state file (VEL_SOFTCARD_STATE).
void UsePrivateState(const char *tag);
int RunProgram(const std::string &program, const std::string &args);
int Ctl(const std::string &args);     // softcard_ctl
int PcscCtl(const std::string &args); // pcsc_ctl
// The quoted Windows path of a PC/SC test card image ("vel4-default").
std::string CardImage(const char *image);
std::string Quoted(const char *text);
// The card state file replaced in one step by a copy of `from`, written
// afresh so that its time tells the PC/SC side it changed (a reader of the
// state may hold it open for a moment: retried, bounded). False on failure.
bool ReplaceCardState(const std::string &from, const std::string &state);

// "CertPropSvc" (the stand-in service): its state, and a start that waits
// until it runs (bounded). 0 when it cannot be queried.
DWORD CertPropSvcState();
bool StartCertPropSvc();

// This process's threads, and its open handles found by asking about every
// small handle value (the handle count reads 0 under Wine).
DWORD ThreadCount();
DWORD OpenHandles();
// Of those, the registry keys whose path holds `part`.
DWORD OpenKeysUnder(const wchar_t *part);

} // namespace zeb_test

#endif
