// What the PC/SC stand-in's tests share: the entry points looked up by name
// in winscard.dll, a private state folder per test program, and the two
// control programs run as the tests' hands.
#ifndef PCSC_TEST_SCARD_FIXTURE_H
#define PCSC_TEST_SCARD_FIXTURE_H

#include <string>
#include <vector>

#include "scard_api.h"
#include "test_process.h"

namespace pcsc_test {

struct Api {
    decltype(&SCardEstablishContext) establish;
    decltype(&SCardReleaseContext) release;
    decltype(&SCardIsValidContext) isValid;
    decltype(&SCardCancel) cancel;
    decltype(&SCardFreeMemory) freeMemory;
    decltype(&SCardListReadersA) listReadersA;
    decltype(&SCardListReadersW) listReadersW;
    decltype(&SCardGetStatusChangeA) statusChangeA;
    decltype(&SCardGetStatusChangeW) statusChangeW;
    decltype(&SCardConnectA) connectA;
    decltype(&SCardConnectW) connectW;
    decltype(&SCardReconnect) reconnect;
    decltype(&SCardDisconnect) disconnect;
    decltype(&SCardBeginTransaction) beginTransaction;
    decltype(&SCardEndTransaction) endTransaction;
    decltype(&SCardStatusA) statusA;
    decltype(&SCardStatusW) statusW;
    decltype(&SCardTransmit) transmit;
    decltype(&SCardGetCardTypeProviderNameA) providerA;
    decltype(&SCardGetCardTypeProviderNameW) providerW;
    const SCARD_IO_REQUEST *t0Pci;
};

// Every export of winscard.dll, by name; the program ends if one is missing.
const Api &Winscard();
// The names looked up, for the test that checks them one by one.
const std::vector<const char *> &ExportNames();

// A private folder holding this program's state file (VEL_SOFTCARD_STATE,
// set before the first PC/SC call); returns the state file's path.
std::string UsePrivateState(const char *tag);
// Runs softcard_ctl / pcsc_ctl with the arguments (one string); exit code.
int SoftcardCtl(const std::string &args);
int PcscCtl(const std::string &args);
// Windows path of a test card image ("vel4-default", "fido-badge").
std::string CardImage(const char *name);
using vel_test::ScaledMs;

const char kReader0[] = "Lecteur Ovrane VEL 0";

// One APDU on a connected handle: the answer, or the empty vector and the
// code in `rv` on failure.
std::vector<unsigned char> Send(SCARDHANDLE card, const std::vector<unsigned char> &apdu, LONG *rv = nullptr,
                                DWORD receive = 258);

} // namespace pcsc_test

#endif
