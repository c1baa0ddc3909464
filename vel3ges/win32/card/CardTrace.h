// The record that every PKCS#11 call of the card manager leaves in the trace
// and diagnostic panes, and the one table of result texts.
#ifndef VEL3GES_CARD_CARDTRACE_H
#define VEL3GES_CARD_CARDTRACE_H

#include <cstdint>
#include <ctime>
#include <string>

#include "pkcs11.h"

namespace vel {

// The card manager's own numbers of the PKCS#11 functions in its trace.
enum CallNumber : uint16_t {
    CallGetFunctionList = 1,
    CallGetInfo = 2,
    CallInitialize = 3,
    CallGetSlotList = 4,
    CallGetSlotInfo = 5,
    CallGetTokenInfo = 6,
    CallGetMechanismList = 7,
    CallGetMechanismInfo = 8,
    CallInitPIN = 9,
    CallSetPIN = 10,
    CallOpenSession = 11,
    CallGetSessionInfo = 12,
    CallLogin = 13,
    CallLogout = 14,
    CallFindObjectsInit = 15,
    CallFindObjects = 16,
    CallFindObjectsFinal = 17,
    CallFinalize = 18,
    CallCloseSession = 19,
    CallGetAttributeValue = 20,
    CallDigestInit = 21,
    CallDigestUpdate = 22,
    CallDigestFinal = 23,
    CallEncryptInit = 24,
    CallEncryptUpdate = 25,
    CallEncryptFinal = 26,
    CallSignInit = 27,
    CallSignUpdate = 28,
    CallSignFinal = 29,
    CallSign = 30,
    CallVerifyInit = 31,
    CallVerifyUpdate = 32,
    CallVerifyFinal = 33,
    CallVerify = 34,
    CallGenerateRandom = 35,
    CallCloseAllSessions = 36,
};

// Calendar time stored before each traced call; the record shows it.
extern std::time_t callTime;
inline void StampCallTime()
{
    callTime = std::time(nullptr);
}

// The text of a result code (never null, constant).
const char *CkrToText(CK_RV rv);
// The name written for a call number ("Numéro d'API inconnue" outside 1..36).
const char *CallName(uint16_t callNumber);
// "%02u-%s-%04u %02u:%02u:%02u" in local time, French month abbreviations.
std::string FormatLogTimestamp(std::time_t t);

// The number of the call whose record was written last: the call that
// failed when a routine hands a library result back.
extern uint16_t lastTracedCall;

// Head of a call record: blank line, start-line push, timestamp and name to
// the trace pane, one summary line to the diagnostic pane, the session line.
void TraceServiceHeader(uint16_t callNumber, CK_RV rv);
// The header followed by "   CK_RV = %s": the record of most calls.
void TraceCall(uint16_t callNumber, CK_RV rv);
// Keeps a call's result in lastRv, then writes its record; returns the result.
CK_RV TraceResult(uint16_t callNumber, CK_RV rv);

// One "*" per character of a PIN or unblock code, at most `maxStars`.
std::string StarCopy(const char *secret, size_t maxStars);

} // namespace vel

#endif
