#include "CardConnection.h"

#include <cstdlib>
#include <cstring>

#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "CardObjects.h"
#include "CardTrace.h"
#include "padded_field.h"

namespace vel {

CardConnection g_connection;
CK_SESSION_HANDLE &hSession = g_connection.hSession;
CK_FUNCTION_LIST *g_functions = nullptr;
CK_RV lastRv = 0;
uint32_t userLoggedIn = 0;

void BindFunctionList(CK_FUNCTION_LIST *functions)
{
    g_functions = functions;
    g_connection.functionList = functions;
}

void ResetCardLayer()
{
    CardUi *prompts = g_connection.prompts;
    g_connection = CardConnection{};
    g_connection.prompts = prompts;
    g_functions = nullptr;
    lastRv = 0;
    userLoggedIn = 0;
    callTime = 0;
    ClearLastCertificateId();
    ClearCardData();
}

bool SameReader(const CK_UTF8CHAR *a, const CK_UTF8CHAR *b, size_t width)
{
    const size_t n = PaddedFieldLength(a, width);
    return n == PaddedFieldLength(b, width) && std::memcmp(a, b, n) == 0;
}

namespace {

// Results after which the card or the reader is gone and a fresh session may help.
bool CardOrReaderGone(CK_RV rv)
{
    return rv == CKR_SLOT_ID_INVALID || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED ||
           rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED;
}

bool SessionLost(CK_RV rv)
{
    return rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED ||
           rv == CKR_SESSION_HANDLE_INVALID;
}

} // namespace

bool CardOrSessionGone(CK_RV rv)
{
    return CardOrReaderGone(rv) || SessionLost(rv);
}

bool PinRefused(CK_RV rv)
{
    return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE ||
           rv == CKR_PIN_LOCKED;
}

namespace {

void ForgetSession(CardConnection &c)
{
    c.hSession = kNoSession;
    std::memset(&c.sessionInfo, 0, sizeof c.sessionInfo);
}

// What a new search for the card starts from: no session, no token read.
void ForgetToken(CardConnection &c)
{
    ForgetSession(c);
    std::memset(&c.tokenInfo, 0, sizeof c.tokenInfo);
}

// The start of a connection or a login in `mode`: nothing known of the
// token, the PIN not yet asked.
void StartOver(CardConnection &c, CK_RV mode)
{
    ForgetToken(c);
    c.wantedReaderGone = false;
    c.mode = mode;
    c.pinStatus = kPinFirstRequest;
}

// A fresh read-only session on the chosen slot, not traced.
CK_RV ReopenQuietly(CardConnection &c)
{
    ForgetSession(c);
    return c.functionList->C_OpenSession(c.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &c.hSession);
}

CK_RV OpenTraced(CardConnection &c)
{
    ForgetSession(c);
    StampCallTime();
    return TraceResult(CallOpenSession, c.functionList->C_OpenSession(c.slotID, CKF_SERIAL_SESSION, nullptr,
                                                                      nullptr, &c.hSession));
}

CK_RV GetSlotListTraced(CardConnection &c, CK_BBOOL tokenPresent, CK_SLOT_ID *list, CK_ULONG *count)
{
    return TraceResult(CallGetSlotList, c.functionList->C_GetSlotList(tokenPresent, list, count));
}

// Runs `call` again on a fresh session while `gone` says its result came from
// a card, a reader or a session lost, at most kMaxReopenRetries times.
template <class Call> CK_RV WithReopen(CardConnection &c, bool (*gone)(CK_RV), Call call)
{
    for (int attempt = 0;; ++attempt) {
        CK_RV rv = call();
        if (!gone(rv) || attempt >= kMaxReopenRetries)
            return rv;
        ReopenQuietly(c);
    }
}

// C_GetTokenInfo into the connection, traced, again on a fresh session after
// the card or the reader went.
CK_RV ReadTokenInfoTraced(CardConnection &c)
{
    return WithReopen(c, CardOrReaderGone, [&] {
        std::memset(&c.tokenInfo, 0, sizeof c.tokenInfo);
        StampCallTime();
        return TraceResult(CallGetTokenInfo, c.functionList->C_GetTokenInfo(c.slotID, &c.tokenInfo));
    });
}

} // namespace

CK_RV FindTokenSlot(CardConnection &c)
{
    ForgetToken(c);
    if (!c.functionList)
        return kPromptPinLocked;

    CK_ULONG count = 0;
    CK_RV rv = GetSlotListTraced(c, CK_FALSE, nullptr, &count);
    if (rv != CKR_OK)
        return rv;
    if (count == 0)
        return kPromptNormal;
    c.slotCount = count;

    CK_SLOT_ID *list = static_cast<CK_SLOT_ID *>(std::calloc(count, sizeof(CK_SLOT_ID)));
    if (!list)
        return CKR_DEVICE_MEMORY;
    rv = GetSlotListTraced(c, CK_TRUE, list, &count);
    for (int retry = 0; rv == CKR_BUFFER_TOO_SMALL && retry < 4; ++retry) {
        CK_SLOT_ID *grown =
            count ? static_cast<CK_SLOT_ID *>(std::realloc(list, count * sizeof(CK_SLOT_ID))) : nullptr;
        if (!grown) {
            std::free(list);
            return CKR_DEVICE_MEMORY;
        }
        list = grown;
        rv = GetSlotListTraced(c, CK_TRUE, list, &count);
    }
    if (rv != CKR_OK || count == 0) {
        std::free(list);
        return rv != CKR_OK ? rv : kPromptCountLow;
    }
    // A chosen slot stays only while it still holds a token: a reader
    // unplugged since must not be opened.
    bool chosenListed = false;
    for (CK_ULONG i = 0; i < count; ++i)
        chosenListed = chosenListed || list[i] == c.slotID;
    if (count == 1 || c.slotID == kNoSlot || !chosenListed)
        c.slotID = list[0];
    std::free(list);
    return CKR_OK;
}

CK_RV ReadPinState(CardConnection &c)
{
    const bool pinMode = c.mode == kModePinPrompts;
    c.promptKind = pinMode ? kPromptPin : kPromptNormal;
    CK_RV rv = ReadTokenInfoTraced(c);
    if (rv != CKR_OK)
        return rv;
    CK_FLAGS f = c.tokenInfo.flags;
    if (f & CKF_USER_PIN_FINAL_TRY)
        c.promptKind = pinMode ? kPromptPinFinalTry : kPromptFinalTry;
    else if (f & CKF_USER_PIN_COUNT_LOW)
        c.promptKind = pinMode ? kPromptPinCountLow : kPromptCountLow;
    else if (f & CKF_USER_PIN_LOCKED)
        c.promptKind = kPromptPinLocked;
    return CKR_OK;
}

namespace {

// No slot chosen yet: a session on the first slot with a token, the slot
// found again while the card or the reader goes.
CK_RV OpenOnFirstToken(CardConnection &c)
{
    CK_RV rv = FindTokenSlot(c);
    if (rv != CKR_OK)
        return rv;
    rv = OpenTraced(c);
    for (int retry = 0; CardOrReaderGone(rv) && retry < kMaxReopenRetries; ++retry) {
        CK_RV found = FindTokenSlot(c);
        if (found != CKR_OK)
            return found;
        rv = OpenTraced(c);
    }
    return rv;
}

// The description of `slot` (traced; the reader match keeps the call time
// of the listing). False when it cannot be read.
bool SlotDescription(CardConnection &c, CK_SLOT_ID slot, CK_SLOT_INFO &info)
{
    info = CK_SLOT_INFO{};
    return TraceResult(CallGetSlotInfo, c.functionList->C_GetSlotInfo(slot, &info)) == CKR_OK;
}

bool Listed(const CK_SLOT_ID *list, CK_ULONG count, CK_SLOT_ID slot)
{
    for (CK_ULONG i = 0; i < count; ++i)
        if (list[i] == slot)
            return true;
    return false;
}

// A slot chosen before: a session on the wanted reader's slot. Among the
// slots with a token the one chosen wins when it is that reader (two readers
// of one model may differ only in their last characters, or not at all);
// a wanted reader without a card keeps its slot, so the open says so; a
// wanted reader whose name no slot bears any more is unplugged (its slot id
// may since belong to another reader): it is forgotten and the first slot
// with a token taken, as before any choice.
CK_RV OpenOnWantedReader(CardConnection &c)
{
    CK_SLOT_ID all[20];
    CK_ULONG allCount = 20;
    CK_RV rv = GetSlotListTraced(c, CK_FALSE, all, &allCount);
    if (rv != CKR_OK)
        return rv;
    if (allCount == 0)
        return kPromptNormal;
    if (allCount > 20)
        allCount = 20;
    CK_SLOT_ID withToken[20];
    CK_ULONG count = 20;
    rv = GetSlotListTraced(c, CK_TRUE, withToken, &count);
    if (rv != CKR_OK)
        return rv;
    if (count == 0)
        return kPromptCountLow;
    if (count > 20)
        count = 20;

    const size_t width = sizeof c.wantedReader;
    CK_SLOT_ID found = kNoSlot;
    bool unreadable = false; // a slot whose description could not be read
    auto isWanted = [&](CK_SLOT_ID slot) {
        CK_SLOT_INFO info;
        if (!SlotDescription(c, slot, info)) {
            unreadable = true;
            return false;
        }
        return SameReader(info.slotDescription, c.wantedReader, width);
    };
    for (CK_ULONG i = 0; i < count && found != c.slotID; ++i)
        if ((found == kNoSlot || withToken[i] == c.slotID) && isWanted(withToken[i]))
            found = withToken[i];
    // The wanted reader may be there without a card.
    for (CK_ULONG i = 0; i < allCount && found == kNoSlot; ++i)
        if (!Listed(withToken, count, all[i]) && isWanted(all[i]))
            found = all[i];

    bool gone = false;
    if (found == kNoSlot) {
        const CK_UTF8CHAR none[sizeof c.wantedReader] = {};
        if (!SameReader(c.wantedReader, none, width) && !unreadable)
            gone = true; // its name is on no slot
        else
            gone = !Listed(all, allCount, c.slotID); // no name to go by: the slot id
    }
    if (found != kNoSlot) {
        c.slotID = found;
    } else if (gone) {
        c.wantedReaderGone = true;
        std::memset(c.wantedReader, 0, sizeof c.wantedReader);
        c.slotID = kNoSlot;
        return OpenOnFirstToken(c);
    }
    return OpenTraced(c);
}

} // namespace

CK_RV OpenTokenSession(CardConnection &c)
{
    for (int attempt = 0;; ++attempt) {
        // Evaluated at each attempt: a wanted reader found gone leaves no slot chosen.
        const bool slotChosen = c.slotID != kNoSlot && !c.wantedReaderGone;
        CK_RV rv = slotChosen ? OpenOnWantedReader(c) : OpenOnFirstToken(c);
        if (rv != CKR_OK)
            return rv;
        std::memset(&c.sessionInfo, 0, sizeof c.sessionInfo);
        StampCallTime();
        rv = TraceResult(CallGetSessionInfo, c.functionList->C_GetSessionInfo(c.hSession, &c.sessionInfo));
        if (rv == CKR_OK)
            return c.sessionInfo.state == CKS_RO_PUBLIC_SESSION ? kPromptFinalTry : CKR_OK;
        if (rv == CKR_DEVICE_ERROR && slotChosen) {
            c.slotCount = 0;
            return kPromptNormal;
        }
        if (!SessionLost(rv) || attempt >= kMaxReopenRetries)
            return rv;
    }
}

CK_RV ConnectToken(CardConnection &c)
{
    StartOver(c, kModeStatusPrompts);
    for (;;) {
        CK_RV rv = OpenTokenSession(c);
        uint32_t answer;
        if (rv == kPromptNormal)
            answer = c.prompts ? c.prompts->OnNoReader() : AnswerGiveUp;
        else if (rv == kPromptCountLow)
            answer = c.prompts ? c.prompts->OnNoCard() : AnswerGiveUp;
        else
            return rv;
        if (answer == AnswerGiveUp)
            return kHolderGaveUp;
    }
}

bool AwaitedReader(CardConnection &c, CK_SLOT_INFO &info)
{
    if (!c.functionList)
        return false;
    CK_SLOT_ID slots[20];
    CK_ULONG count = 20;
    if (GetSlotListTraced(c, CK_FALSE, slots, &count) != CKR_OK || count == 0)
        return false;
    if (count > 20)
        count = 20;
    bool described = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO slot;
        if (!SlotDescription(c, slots[i], slot))
            continue;
        if (SameReader(slot.slotDescription, c.wantedReader, sizeof c.wantedReader)) {
            info = slot;
            return true;
        }
        if (!described)
            info = slot;
        described = true;
    }
    return described;
}

CK_RV LoginWithPrompt(CardConnection &c)
{
    StartOver(c, kModePinPrompts);

    CK_RV rv = FindTokenSlot(c);
    if (rv != CKR_OK)
        return rv;
    StampCallTime();
    rv = TraceResult(CallCloseAllSessions, c.functionList->C_CloseAllSessions(c.slotID));
    if (rv != CKR_OK)
        return rv;
    ForgetSession(c);
    StampCallTime();
    rv = c.functionList->C_OpenSession(c.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &c.hSession);
    lastRv = rv;
    TraceServiceHeader(CallOpenSession, rv);
    AppendPaneLine(PaneTrace, "   slotIdentifiant = %d", static_cast<int>(c.slotID));
    AppendPaneLine(PaneTrace, "   CK_RV = %s", CkrToText(rv));
    if (rv != CKR_OK)
        return rv;

    uint32_t kind = c.prompts ? c.prompts->OnChooseLogin() : AnswerGiveUp;
    if (kind == AnswerGiveUp)
        return kHolderGaveUp;
    if (kind == AnswerGoOn)
        c.mode = kModeStatusPrompts;
    else if (kind == AnswerRetry)
        c.mode = kModePinPrompts;
    else
        return kPromptPin;

    // The PIN lives only in this buffer, wiped after every attempt and on return.
    SecretText pin;
    for (;;) {
        pin.Wipe();
        if (c.readPinState) {
            rv = ReadPinState(c);
            if (rv != CKR_OK)
                return rv;
        }
        uint32_t answer = c.prompts->OnPinRequest(static_cast<uint32_t>(c.promptKind),
                                                  static_cast<uint32_t>(c.pinStatus), pin);
        if (answer == AnswerGiveUp)
            return kHolderGaveUp;
        if (answer == AnswerGoOn)
            return kHolderUnblocks;
        if (answer == AnswerDoNotUnblock && c.mode == kModeStatusPrompts)
            return kPinFirstRequest;

        if (c.checkPinLength) {
            c.pinStatus = kPinFirstRequest;
            if (pin.empty()) {
                c.pinStatus = kPinMissing;
                continue;
            }
            rv = ReadTokenInfoTraced(c);
            if (rv != CKR_OK)
                return rv;
            if (pin.size() < c.tokenInfo.ulMinPinLen || pin.size() > c.tokenInfo.ulMaxPinLen) {
                c.pinStatus = kPinLengthOutOfRange;
                continue;
            }
        }

        rv = WithReopen(c, SessionLost, [&] {
            StampCallTime();
            CK_UTF8CHAR *code = reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(pin.c_str()));
            return TraceResult(CallLogin, c.functionList->C_Login(c.hSession, CKU_USER, code, pin.size()));
        });
        switch (rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            return CKR_OK;
        case CKR_PIN_INCORRECT:
            c.pinStatus = kPinWrong;
            break;
        case CKR_PIN_INVALID:
            c.pinStatus = kPinMissing;
            break;
        case CKR_PIN_LEN_RANGE:
            c.pinStatus = kPinLengthOutOfRange;
            break;
        case CKR_PIN_LOCKED:
            c.pinStatus = kPinWrong;
            c.promptKind = kPromptPinLocked;
            break;
        default:
            return rv;
        }
    }
}

} // namespace vel
