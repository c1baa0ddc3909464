#include "pkcs_container.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cardmatch/card_match.h"
#include "certificate_key_type.h"
#include "certificate_rules.h"
#include "container/handle_container.h"
#include "globals/csp_globals.h"
#include "keys/formats/key_blobs.h"
#include "keys/formats/key_codes.h"
#include "log_trace.h"
#include "pkcs_helpers.h"
#include "trace_scope.h"

namespace {

std::atomic<bool> PkcsInitialized{false};

std::mutex threadDataLock;
std::vector<DWORD> threadsWithData;

CK_FUNCTION_LIST_PTR List()
{
    return pFunctionList.load();
}

void TraceNoLogout(CK_SESSION_HANDLE s)
{
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "logout", 0, FALSE, "DO NOT LOGOUT %p, %lu",
               static_cast<void *>(List()), static_cast<unsigned long>(s));
}

char *CopyText(const char *text, int size)
{
    char *copy = static_cast<char *>(csp_alloc(1, size));
    if (copy)
        std::memcpy(copy, text,
                    strnlen(text, static_cast<size_t>(size) - 1)); // csp_alloc zero-fills: NUL-terminated
    return copy;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_SESSION_HANDLE *session)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "openSession", FALSE, "%p, %lu, %d", static_cast<void *>(List()),
                     static_cast<unsigned long>(slot), static_cast<int>(CKF_SERIAL_SESSION));
    const CK_RV rv = List() ? List()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, session)
                            : CKR_CRYPTOKI_NOT_INITIALIZED;
    trace.Return(rv, "%p, %lu, %d", static_cast<void *>(List()), static_cast<unsigned long>(slot),
                 static_cast<int>(CKF_SERIAL_SESSION));
    return rv;
}

void CloseSession(CK_SESSION_HANDLE session)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "closeSession", FALSE, "%p, %lu", static_cast<void *>(List()),
                     static_cast<unsigned long>(session));
    const CK_RV rv = List() ? List()->C_CloseSession(session) : CKR_CRYPTOKI_NOT_INITIALIZED;
    trace.Return(rv, "%p, %lu", static_cast<void *>(List()), static_cast<unsigned long>(session));
}

// An accessor's begin and return lines (level 50) around the value it gives.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
CK_ULONG TracedValue(const char *name, const char *format, CK_ULONG value)
{
    TraceScope trace(LOG_LEVEL_DETAIL, name, FALSE, "%s", "");
    trace.Return(0, format, static_cast<unsigned long>(value));
    return value;
}
#pragma GCC diagnostic pop

// A traced scope's failed return line, written at the exit, with a fixed
// text or with a format of one number.
BOOL Fail(TraceScope &trace, const char *text)
{
    trace.Return(FALSE, "%s", text);
    return FALSE;
}

// format is always one of this file's own texts with one number.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
BOOL FailWith(TraceScope &trace, const char *format, unsigned long value)
{
    trace.Return(FALSE, format, value);
    return FALSE;
}
#pragma GCC diagnostic pop

} // namespace

// ---- PKCSContainer ----

PKCSContainer::~PKCSContainer()
{
    // The session stays open and the holder logged in: sessions end with the
    // library's finalisation.
    csp_free(m_szReaderName);
    csp_free(m_szComputerName);
    csp_free(m_szContainerName);
    csp_free(m_pbCertSignature);
    csp_free(m_pbCertExchange);
}

CK_SLOT_ID PKCSContainer::GetslotID() const
{
    return TracedValue("PKCSContainer::GetslotID", "m_slotID = 0x%08lx", m_slotID);
}

CK_SESSION_HANDLE PKCSContainer::GethSession() const
{
    return TracedValue("PKCSContainer::GethSession", "hSession = 0x%08lx", m_hSession);
}

void PKCSContainer::SethSession(CK_SESSION_HANDLE h)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "PKCSContainer::SethSession", FALSE, "0x%08lx",
                     static_cast<unsigned long>(h));
    m_hSession = h;
    trace.Return(0, "0x%08lx", static_cast<unsigned long>(h));
}

CK_OBJECT_HANDLE PKCSContainer::GethCertfromKeySpec(DWORD dwKeySpec) const
{
    TraceScope trace(LOG_LEVEL_DETAIL, "PKCSContainer::GethCertfromKeySpec", FALSE,
                     "Looking for dwKeySpec : %lu", static_cast<unsigned long>(dwKeySpec));
    CK_OBJECT_HANDLE h = 0;
    if (dwKeySpec == AT_SIGNATURE)
        h = m_hCertSignature;
    else if (dwKeySpec == 0 || dwKeySpec == AT_KEYEXCHANGE)
        h = m_hCertExchange;
    trace.Return(0, "hCert = 0x%08lx", static_cast<unsigned long>(h));
    return h;
}

CK_OBJECT_HANDLE PKCSContainer::GethCertExchange() const
{
    return TracedValue("PKCSContainer::GethCertExchange", "hCert = 0x%08lX", m_hCertExchange);
}

CK_OBJECT_HANDLE PKCSContainer::GethCertSignature() const
{
    return TracedValue("PKCSContainer::GethCertSignature", "hCert = 0x%08lX", m_hCertSignature);
}

CK_OBJECT_HANDLE PKCSContainer::GetKeyHandle(DWORD dwKeySpec) const
{
    return dwKeySpec == AT_KEYEXCHANGE ? m_hKeyExchange : dwKeySpec == AT_SIGNATURE ? m_hKeySignature : 0;
}

DWORD PKCSContainer::GetKeySpecFromUserKey(ULONG64 hKey) const
{
    TraceScope trace(LOG_LEVEL_DETAIL, "PKCSContainer::GetKeySpecFromUserKey", FALSE, "%llu",
                     static_cast<unsigned long long>(hKey));
    DWORD keySpec = 3;
    const char *what = "Other key type";
    if (m_hKeyExchange && hKey == m_hKeyExchange) {
        keySpec = AT_KEYEXCHANGE;
        what = "Handle AUTHENT key";
    } else if (m_hKeySignature && hKey == m_hKeySignature) {
        keySpec = AT_SIGNATURE;
        what = "Handle SIGNATURE key";
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "PKCSContainer::GetKeySpecFromUserKey", 0, FALSE, "%s", what);
    trace.Return(0, "KeyType : %lu", static_cast<unsigned long>(keySpec));
    return keySpec;
}

// The card a new session of the container's slot shows, against the
// certificates the container holds (turn held). Every certificate is read
// whole, or nothing is known.
static cardmatch::CardReview ReviewSlot(const PKCSContainer *c, CK_SESSION_HANDLE session,
                                        CK_OBJECT_HANDLE (&handles)[kMaxCertificates])
{
    CK_ULONG count = kMaxCertificates;
    std::vector<cardmatch::Der> seen;
    bool whole = getAllX509CertificateList(session, handles, &count) == CKR_OK && count <= kMaxCertificates;
    for (CK_ULONG i = 0; whole && i < count; ++i) {
        CK_ULONG length = 0;
        cardmatch::Der der;
        whole = getX509Value(session, handles[i], nullptr, &length) == CKR_OK && length && length < 65536;
        if (whole) {
            der.resize(length);
            whole = getX509Value(session, handles[i], der.data(), &length) == CKR_OK && length == der.size();
        }
        seen.push_back(der);
    }
    const cardmatch::Der exchange(c->m_pbCertExchange, c->m_pbCertExchange + c->m_cbCertExchange);
    const cardmatch::Der sign(c->m_pbCertSignature, c->m_pbCertSignature + c->m_cbCertSignature);
    return cardmatch::ReviewCard({exchange, sign}, seen, whole);
}

BOOL isSessionValid(PKCSContainer *container)
{
    if (!container || !List())
        return FALSE;
    CardOperation operation(container);
    if (container->m_cardStanding.Now() == cardmatch::CardStanding::Gone)
        return FALSE; // another card was seen: nothing brings it back
    CK_SESSION_INFO info = {};
    const CK_RV rv = List()->C_GetSessionInfo(container->m_hSession, &info);
    if (rv == CKR_OK) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isSessionValid", 0, FALSE, "Session correcte");
        container->m_cardStanding.Note(cardmatch::CardFate::Same);
        return TRUE;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isSessionValid", 0, FALSE,
               "Demande de l'etat session impossible: rv=0x%08lx", static_cast<unsigned long>(rv));
    container->m_bPinGiven = FALSE; // the login went with the session
    CK_SESSION_HANDLE session = 0;
    if (OpenSession(container->m_slotID, &session) != CKR_OK) {
        container->m_cardStanding.Note(cardmatch::CardFate::Unknown); // no card in the slot now
        return FALSE;
    }
    CK_OBJECT_HANDLE handles[kMaxCertificates] = {};
    const cardmatch::CardReview review = ReviewSlot(container, session, handles);
    if (review.fate != cardmatch::CardFate::Same) {
        // A session on a card this container does not stand for is not
        // kept: the next check looks at the slot again.
        CloseSession(session);
        container->m_cardStanding.Note(review.fate);
        if (review.fate == cardmatch::CardFate::Changed)
            _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "isSessionValid", 0, FALSE, "%s", "Carte changee");
        return FALSE;
    }
    // The same card: objects may be numbered anew at each insertion. The key
    // handles given out stay; the objects behind them follow their
    // certificates, and the private keys are looked up again.
    container->SethSession(session);
    container->m_hCertExchange = review.at[0] == cardmatch::kNotSeen ? 0 : handles[review.at[0]];
    container->m_hCertSignature = review.at[1] == cardmatch::kNotSeen ? 0 : handles[review.at[1]];
    container->m_hPrivKeySignature = 0;
    container->m_hPrivKeyExchange = 0;
    container->m_cardStanding.Note(cardmatch::CardFate::Same);
    return FALSE;
}

CardCheck RecheckCard(PKCSContainer *container)
{
    if (!container || !List())
        return CardCheck::Unchanged;
    CardOperation operation(container);
    if (isSessionValid(container))
        return CardCheck::Unchanged;
    switch (container->m_cardStanding.Now()) {
    case cardmatch::CardStanding::Stands:
        return CardCheck::Refreshed;
    case cardmatch::CardStanding::Absent:
        return CardCheck::Absent;
    default:
        return CardCheck::Changed;
    }
}

static bool Gone(const PKCSContainer *c)
{
    return c->m_cardStanding.Now() == cardmatch::CardStanding::Gone;
}

// ---- Pkcs ----

namespace Pkcs {

bool IsInitialized()
{
    return PkcsInitialized.load();
}

void SetInitialized(bool initialized)
{
    PkcsInitialized.store(initialized);
}

BOOL GetCardInfoForContainer(CK_SESSION_HANDLE hSession, CK_SLOT_ID slotID, char *strContainerName,
                             DWORD szContainerName, CK_OBJECT_HANDLE *handles, CK_ULONG *count)
{
    const char *name = "Pkcs::GetCardInfoForContainer";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE,
                     "slotID : %lu, strContainerName : %p, szContainerName : %lu",
                     static_cast<unsigned long>(slotID), static_cast<void *>(strContainerName),
                     static_cast<unsigned long>(szContainerName));
    if (!strContainerName || szContainerName == 0 || !List()) {
        return Fail(trace, "Bad Parameters");
    }
    CK_SESSION_HANDLE session = hSession;
    if (!session && OpenSession(slotID, &session) != CKR_OK)
        return FailWith(trace, "Failed to open a session for slotID (%lu)",
                        static_cast<unsigned long>(slotID));
    CK_OBJECT_HANDLE found[kMaxCertificates] = {};
    CK_ULONG foundCount = kMaxCertificates;
    CK_RV rv = getAllX509CertificateList(session, found, &foundCount);
    if (rv != CKR_OK) {
        if (!hSession)
            CloseSession(session);
        return FailWith(trace, "Failed to get certificates (0x%lx)", static_cast<unsigned long>(rv));
    }
    CK_BYTE subject[kNameSize] = {};
    CK_ULONG subjectLength = sizeof subject;
    {
        TraceScope subjectTrace(LOG_LEVEL_DETAIL, "getX509Subject", FALSE, "%p, %lu, %lu, %p, %lu",
                                static_cast<void *>(List()), static_cast<unsigned long>(session),
                                static_cast<unsigned long>(found[0]), static_cast<void *>(subject),
                                static_cast<unsigned long>(subjectLength));
        rv = foundCount ? getX509Subject(session, found[0], subject, &subjectLength)
                        : CKR_OBJECT_HANDLE_INVALID;
        subjectTrace.Return(rv, "%lu", static_cast<unsigned long>(subjectLength));
    }
    if (!hSession)
        CloseSession(session);
    if (rv != CKR_OK || subjectLength > sizeof subject)
        return FailWith(trace, "Failed to get the certificate subject (0x%lx)",
                        static_cast<unsigned long>(rv));
    if (certrules::ContainerNameFromSubject(subject, subjectLength, strContainerName, szContainerName) < 0)
        return Fail(trace, "szContainerName too small");
    if (handles && count) {
        if (*count >= foundCount && foundCount)
            std::memcpy(handles, found, foundCount * sizeof(CK_OBJECT_HANDLE));
        *count = foundCount;
    }
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

// Whether the slot still holds a card.
static bool TokenPresent(CK_SLOT_ID slot)
{
    CK_SLOT_INFO info = {};
    return List() && List()->C_GetSlotInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
}

// The container name of one certificate (one card call); false when its
// subject cannot be read.
static bool CertificateName(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE cert, std::string &name)
{
    CK_BYTE subject[kNameSize] = {};
    CK_ULONG length = sizeof subject;
    char text[kNameSize] = {};
    if (getX509Subject(session, cert, subject, &length) != CKR_OK || length > sizeof subject ||
        certrules::ContainerNameFromSubject(subject, length, text, sizeof text) < 0)
        return false;
    name = text;
    return true;
}

// How the request takes the card in a slot; slotName gets the slot's
// container name (its first certificate's). The other certificates' names
// are read only while none has decided (cardmatch::ChooseCard), on one
// session closed before returning. FALSE: the slot's name cannot be read.
static BOOL ChooseSlotCard(CK_SLOT_ID slotID, const char *request, bool wantDefault,
                           char (&slotName)[kNameSize], cardmatch::CardChoice *choice)
{
    CK_SESSION_HANDLE session = 0;
    if (OpenSession(slotID, &session) != CKR_OK)
        return FALSE;
    CK_OBJECT_HANDLE handles[kMaxCertificates] = {};
    CK_ULONG count = kMaxCertificates;
    const BOOL ok = GetCardInfoForContainer(session, slotID, slotName, kNameSize, handles, &count);
    if (ok) {
        const auto nameAt = [&](size_t i, std::string &name) {
            if (i > 0)
                return CertificateName(session, handles[i], name);
            name = slotName;
            return true;
        };
        *choice =
            cardmatch::ChooseCard(request, wantDefault, std::min<CK_ULONG>(count, kMaxCertificates), nameAt);
    }
    CloseSession(session);
    return ok;
}

BOOL CreateContainerfromSlot(CK_SLOT_ID slotID, const char *strContainer, PKCSContainer **out, CK_RV *cardRv)
{
    const char *name = "Pkcs::CreateContainerfromSlot";
    CK_RV ignored = CKR_OK;
    CK_RV &cardError = cardRv ? *cardRv : ignored;
    cardError = CKR_OK;
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "slotID : %lu, strContainer : 0x%p",
                     static_cast<unsigned long>(slotID), static_cast<const void *>(strContainer));
    if (!out || !List())
        return Fail(trace, "Bad Parameters");
    CK_SESSION_HANDLE session = 0;
    if ((cardError = OpenSession(slotID, &session)) != CKR_OK)
        return FailWith(trace, "Failed to open a session for slotID (%lu)",
                        static_cast<unsigned long>(slotID));
    CK_OBJECT_HANDLE handles[kMaxCertificates] = {};
    CK_ULONG count = kMaxCertificates;
    char containerName[kNameSize] = {};
    if (strContainer) {
        const CK_RV rv = getAllX509CertificateList(session, handles, &count);
        if (rv != CKR_OK) {
            cardError = rv;
            CloseSession(session);
            return FailWith(trace, "Failed to get certificates (0x%lx)", static_cast<unsigned long>(rv));
        }
        if (std::strlen(strContainer) >= sizeof containerName) {
            CloseSession(session);
            return Fail(trace, "Container name too long");
        }
        std::strcpy(containerName, strContainer);
    } else if (!GetCardInfoForContainer(session, slotID, containerName, sizeof containerName, handles,
                                        &count)) {
        cardError = CKR_FUNCTION_FAILED;
        CloseSession(session);
        return Fail(trace, "Failed to get certificate list");
    }
    PKCSContainer *container = new PKCSContainer();
    container->m_slotID = slotID;
    container->m_hSession = session;
    container->m_szContainerName = CopyText(containerName, static_cast<int>(std::strlen(containerName) + 1));
    const char *failure = nullptr;
    unsigned long failureValue = 0;
    if (!container->m_szContainerName)
        failure = "Failed to copy the container name (0x%lx)";
    for (CK_ULONG i = 0; i < count && !failure; ++i) {
        CK_ULONG size = 0;
        CK_RV rv = getX509Value(session, handles[i], nullptr, &size);
        if (rv != CKR_OK) {
            failure = "Failed to get the certificate size (0x%lx)";
            failureValue = rv;
            break;
        }
        BYTE *value = size < 0x100000 ? static_cast<BYTE *>(csp_alloc(1, static_cast<int>(size))) : nullptr;
        if (!value) {
            failure = "Failed to get the certificate value (0x%lx)";
            break;
        }
        rv = getX509Value(session, handles[i], value, &size);
        if (rv != CKR_OK) {
            csp_free(value);
            failure = "Failed to get the certificate value (0x%lx)";
            failureValue = rv;
            break;
        }
        const certrules::KeyTypeResult type = certrules::GetCertificateKeyType(value, size);
        {
            TraceScope keyType(LOG_LEVEL_FUNCTION, "GetCertificateKeyType", TRUE, "%s", "");
            if (type.outcome == certrules::KeyTypeOutcome::NotDecoded)
                keyType.Return(FALSE, "CertCreateCertificateContext error: 0x%08lx",
                               static_cast<unsigned long>(type.error));
            else if (type.outcome == certrules::KeyTypeOutcome::NoKeyUsage)
                keyType.Return(FALSE, "Unable to get key usage");
            else
                keyType.Return(TRUE, "%lu", static_cast<unsigned long>(type.keySpec));
        }
        if (type.outcome != certrules::KeyTypeOutcome::Found) {
            csp_free(value);
            failure = "Failed to get the certificate key type (0x%lx)";
            break;
        }
        BYTE *copy = static_cast<BYTE *>(csp_alloc(1, static_cast<int>(size)));
        if (copy) {
            std::memcpy(copy, value, size);
            if (type.keySpec == AT_KEYEXCHANGE) {
                csp_free(container->m_pbCertExchange);
                container->m_pbCertExchange = copy;
                container->m_cbCertExchange = size;
                container->m_hCertExchange = container->m_hKeyExchange = handles[i];
            } else {
                csp_free(container->m_pbCertSignature);
                container->m_pbCertSignature = copy;
                container->m_cbCertSignature = size;
                container->m_hCertSignature = container->m_hKeySignature = handles[i];
            }
        }
        csp_free(value);
    }
    if (failure) {
        cardError = failureValue;
        delete container;
        CloseSession(session);
        return FailWith(trace, failure, failureValue);
    }
    *out = container;
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

BOOL UpdateContainerTable(HandleContainer *hc, const char *pszContainer, int propagation,
                          const char *readerName, const char *computerName)
{
    const char *name = "Pkcs::UpdateContainerTable";
    BOOL result = FALSE;
    CK_SLOT_ID *slots = nullptr;
    {
        // The slot list is freed after the return line, as it always was.
        TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE,
                         "pszContainer = %s, propagation = %d, readerName = %s, computerName = %s",
                         pszContainer ? pszContainer : "NULL", propagation, readerName ? readerName : "NULL",
                         computerName ? computerName : "NULL");
        if (!hc || !pszContainer || !List())
            return Fail(trace, "Bad Parameters");
        const bool wantDefault = std::strstr(pszContainer, "DEFAULT_CONTAINER") != nullptr;
        slots = static_cast<CK_SLOT_ID *>(csp_alloc(kMaxSlots, sizeof(CK_SLOT_ID)));
        if (!slots) {
            _Log_Trace(LOG_RETURN, LOG_LEVEL_DETAIL, "getSlotListWithToken", CKR_HOST_MEMORY, FALSE,
                       "%d, %d, %d, 0x%08X", 0, 0, 0, static_cast<unsigned>(CKR_HOST_MEMORY));
            return Fail(trace, "");
        }
        CK_ULONG count = kMaxSlots;
        CK_RV rv;
        {
            TraceScope slotList(LOG_LEVEL_DETAIL, "getSlotListWithToken", FALSE, "%p, %p, %lu",
                                static_cast<void *>(List()), static_cast<void *>(slots),
                                static_cast<unsigned long>(count));
            rv = List()->C_GetSlotList(CK_TRUE, slots, &count);
            slotList.Return(rv, "%p, %p, %lu", static_cast<void *>(List()), static_cast<void *>(slots),
                            static_cast<unsigned long>(count));
        }
        if (rv != CKR_OK || count > kMaxSlots) {
            Fail(trace, "");
        } else if (count == 0) {
            Fail(trace, "No card found. Couldn't get any container");
        } else if (readerName && readerName[0]) {
            CK_SLOT_ID slot = 0;
            int found = 0;
            PKCSContainer *container = nullptr;
            if (std::strlen(readerName) >= kReaderNameSize ||
                (computerName && std::strlen(computerName) >= kReaderNameSize)) {
                Fail(trace, "Reader or computer name too long");
            } else if (FindSlot(slots, count, readerName, &slot, &found) != CKR_OK || !found) {
                Fail(trace, "No matching reader found. Couldn't get any container");
            } else if (!CreateContainerfromSlot(slot, nullptr, &container)) {
                // No container to keep the names in: no matching card, as on the name path.
                result = TRUE;
                trace.Return(TRUE, "rv = 0x%08x", 0);
            } else {
                container->m_szReaderName = CopyText(readerName, kReaderNameSize);
                if (computerName)
                    container->m_szComputerName = CopyText(computerName, kReaderNameSize);
                if (!container->m_szReaderName || (computerName && !container->m_szComputerName)) {
                    delete container;
                    Fail(trace, "Out of memory");
                } else {
                    hc->m_pCurrentContainer = container;
                    result = TRUE;
                    trace.Return(TRUE, "rv = 0x%08x", 0);
                }
            }
        } else {
            result = TRUE;
            for (CK_ULONG i = 0; i < count; ++i) {
                char slotName[kNameSize] = {};
                cardmatch::CardChoice choice = cardmatch::CardChoice::None;
                if (!ChooseSlotCard(slots[i], pszContainer, wantDefault, slotName, &choice)) {
                    result = FALSE;
                    Fail(trace, "GetCardInfoForContainer failed");
                    break;
                }
                const bool contained = choice == cardmatch::CardChoice::ByName;
                if (choice != cardmatch::CardChoice::None) {
                    if (contained && std::strlen(pszContainer) >= kNameSize) {
                        result = FALSE; // a name that cannot be kept whole
                        Fail(trace, "Container name too long");
                        break;
                    }
                    PKCSContainer *container = nullptr;
                    CK_RV cardRv = CKR_OK;
                    if (CreateContainerfromSlot(slots[i], contained ? pszContainer : slotName, &container,
                                                &cardRv)) {
                        hc->m_pCurrentContainer = container;
                    } else if (cardRv != CKR_OK && TokenPresent(slots[i])) {
                        // The card is in the reader but failed to answer: a
                        // failure, not the card-absent box.
                        result = FALSE;
                        Fail(trace, "Card error while building the container");
                    }
                    break;
                }
            }
            if (result)
                trace.Return(TRUE, "rv = 0x%08x", 0);
        }
    }
    csp_free(slots);
    return result;
}

BOOL DoSilentLogin(PKCSContainer *container)
{
    const char *name = "Pkcs::DoSilentLogin";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p", static_cast<void *>(container));
    if (!container)
        return Fail(trace, "");
    const CK_RV rv = login(container->m_hSession, nullptr, 0, CRYPT_SILENT);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        trace.Return(TRUE, "Logged successfully: 0x%p", static_cast<void *>(container));
        return TRUE;
    }
    TraceNoLogout(container->m_hSession);
    if (rv == CKR_PIN_INCORRECT)
        return FailWith(trace, "Incorrect Pin: 0x%08lx", static_cast<unsigned long>(rv));
    return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
}

BOOL DoLogin(PKCSContainer *container, DWORD dwFlags)
{
    const char *name = "Pkcs::DoLogin";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%08lx", static_cast<void *>(container),
                     static_cast<unsigned long>(dwFlags));
    if (!container || !List())
        return Fail(trace, "");
    CardOperation operation(container);
    // The holder cancelled the prompt this operation waited behind: that
    // answer is this operation's too.
    if (operation.PromptCancelledMeanwhile())
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(CKR_FUNCTION_CANCELED));
    CK_TOKEN_INFO token = {};
    if (List()->C_GetTokenInfo(container->m_slotID, &token) != CKR_OK || (token.flags & CKF_USER_PIN_LOCKED))
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(dwFlags));
    bool finalTry = false;
    for (;;) {
        PreparePinPrompt(token, dwFlags);
        const CK_RV rv = login(container->m_hSession, nullptr, 0, dwFlags);
        if (rv != CKR_HOST_MEMORY && rv != CKR_CRYPTOKI_NOT_INITIALIZED)
            operation.PromptEnded(rv == CKR_FUNCTION_CANCELED); // else no prompt was shown
        if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
            trace.Return(TRUE, "Logged successfully: 0x%p, 0x%08lx", static_cast<void *>(container),
                         static_cast<unsigned long>(dwFlags));
            return TRUE;
        }
        if (rv != CKR_PIN_INCORRECT || finalTry) {
            TraceNoLogout(container->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        if (List()->C_GetTokenInfo(container->m_slotID, &token) != CKR_OK) {
            TraceNoLogout(container->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        if (token.flags & CKF_USER_PIN_LOCKED)
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(CKR_PIN_LOCKED));
        finalTry = (token.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    }
}

BOOL CheckPinCode(HandleContainer *hc, const char *pin, DWORD dwFlags, CK_RV *rv)
{
    const char *name = "Pkcs::CheckPinCode";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%08lx", static_cast<void *>(hc),
                     static_cast<const void *>(pin), static_cast<unsigned long>(dwFlags));
    if (!hc || !hc->m_pCurrentContainer || !rv || !pin || !List())
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    // The log-out and log-in are one step for every context of the card.
    CardOperation operation(c);
    if (Gone(c)) {
        *rv = CKR_TOKEN_NOT_RECOGNIZED;
        return Fail(trace, "Carte changee");
    }
    const CK_RV out = List()->C_Logout(c->m_hSession);
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "logout", 0, FALSE, "0x%p, 0x%08lx, 0x%08lx, 0x%08lx",
               static_cast<void *>(List()), static_cast<unsigned long>(c->m_hSession),
               static_cast<unsigned long>(dwFlags), static_cast<unsigned long>(out));
    // The session may also be gone with the card that was pulled meanwhile.
    const bool sessionGone = out == CKR_SESSION_HANDLE_INVALID || out == CKR_SESSION_CLOSED ||
                             out == CKR_DEVICE_REMOVED || out == CKR_TOKEN_NOT_PRESENT;
    if (sessionGone && (!c->m_szComputerName || !c->m_szComputerName[0])) {
        // A new session, on the container's own card only: the holder's PIN
        // goes to no other card.
        switch (RecheckCard(c)) {
        case CardCheck::Absent:
            *rv = CKR_TOKEN_NOT_PRESENT;
            return FailWith(trace, "Failed to open a session for slotID (%lu)",
                            static_cast<unsigned long>(c->m_slotID));
        case CardCheck::Changed:
            *rv = CKR_TOKEN_NOT_RECOGNIZED;
            return Fail(trace, "Carte changee");
        default:
            break;
        }
    }
    *rv = login(c->m_hSession, pin, 4, dwFlags);
    if (*rv == CKR_OK || *rv == CKR_USER_ALREADY_LOGGED_IN) {
        trace.Return(TRUE, "%s", "");
        return TRUE;
    }
    if (*rv != CKR_PIN_INCORRECT && *rv != CKR_PIN_LOCKED)
        TraceNoLogout(c->m_hSession);
    return FailWith(trace, "0x%08lx", static_cast<unsigned long>(*rv));
}

BOOL DoSign(HandleContainer *hc, DWORD cbHash, const BYTE *pbHash, DWORD dwKeySpec, BYTE *pbSignature,
            DWORD *pdwSigLen)
{
    const char *name = "Pkcs::DoSign";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, %lu, 0x%p, %lu, 0x%p, 0x%p",
                     static_cast<void *>(hc), static_cast<unsigned long>(cbHash),
                     static_cast<const void *>(pbHash), static_cast<unsigned long>(dwKeySpec),
                     static_cast<void *>(pbSignature), static_cast<void *>(pdwSigLen));
    if (!hc || !hc->m_pCurrentContainer || !pdwSigLen || !List() || (pbSignature && !pbHash))
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    CardOperation operation(c);
    if (Gone(c))
        return Fail(trace, "Carte changee");
    const CK_OBJECT_HANDLE hCert = c->GethCertfromKeySpec(dwKeySpec);
    CK_OBJECT_HANDLE *cache = dwKeySpec == AT_KEYEXCHANGE ? &c->m_hPrivKeyExchange
                              : dwKeySpec == AT_SIGNATURE ? &c->m_hPrivKeySignature
                                                          : nullptr;
    CK_OBJECT_HANDLE hKey = cache ? *cache : 0;
    if (hKey && !pbSignature) {
        trace.Return(TRUE, "%s", "");
        return TRUE;
    }
    if (!hKey) {
        CK_RV infoRv = CKR_OK;
        if (!isUserLogged(c->m_hSession, &infoRv)) {
            if (infoRv != CKR_OK)
                return Fail(trace, "Demande de l'etat session impossible.");
            const BOOL in = (hc->m_dwFlags & CRYPT_SILENT) ? DoSilentLogin(c) : DoLogin(c, hc->m_dwFlags);
            if (!in)
                return Fail(trace, "Impossible de s'authentifier.");
        }
        if (!pbSignature) {
            trace.Return(TRUE, "%s", "");
            return TRUE;
        }
        const CK_RV rv = getPrivateKeyFromX509Cert(c->m_hSession, &hKey, hCert);
        if (rv == kNoKeyFound && (hc->m_dwFlags & CRYPT_SILENT))
            return Fail(trace, "Demande du code PIN impossible (mode CRYPT_SILENT).");
        if (rv != CKR_OK)
            hKey = 0;
        if (cache)
            *cache = hKey;
    }
    const DWORD room = *pdwSigLen;
    BYTE *buffer = room ? static_cast<BYTE *>(csp_alloc(1, static_cast<int>(room))) : nullptr;
    if (!buffer)
        return Fail(trace, "Signature buffer");
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = room;
    CK_RV rv = List()->C_SignInit(c->m_hSession, &mechanism, hKey);
    if (rv == CKR_OK)
        rv = List()->C_Sign(c->m_hSession, const_cast<BYTE *>(pbHash), cbHash, buffer, &length);
    if (rv != CKR_OK || length > room) {
        _Log_Trace(LOG_RETURN, LOG_LEVEL_DETAIL, "sign", rv, FALSE, "0x%p, %lu, %lu, 0x%p, %lu, 0x%08lX",
                   static_cast<void *>(List()), static_cast<unsigned long>(c->m_hSession),
                   static_cast<unsigned long>(hKey), static_cast<void *>(buffer),
                   static_cast<unsigned long>(length), static_cast<unsigned long>(rv));
        TraceNoLogout(c->m_hSession);
        csp_free(buffer);
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    }
    for (CK_ULONG i = 0; i < length; ++i)
        pbSignature[i] = buffer[length - 1 - i];
    *pdwSigLen = length;
    csp_free(buffer);
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

BOOL Decrypt(HandleContainer *hc, ULONG_PTR hKey, const BYTE *pbData, DWORD cbData, BYTE *pbOut,
             DWORD *pdwOutLen, DWORD dwFlags)
{
    const char *name = "Pkcs::Decrypt";
    TraceScope trace(
        LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%p, %lu, 0x%p, 0x%p, 0x%08lx", static_cast<void *>(hc),
        reinterpret_cast<void *>(hKey), static_cast<const void *>(pbData), static_cast<unsigned long>(cbData),
        static_cast<void *>(pbOut), static_cast<void *>(pdwOutLen), static_cast<unsigned long>(dwFlags));
    if (!hc || !hc->m_pCurrentContainer || !pbData || !pbOut || !pdwOutLen || !List())
        return Fail(trace, "");
    PKCSContainer *c = hc->m_pCurrentContainer;
    CardOperation operation(c);
    if (Gone(c))
        return Fail(trace, "Carte changee");
    if (dwFlags & CRYPT_SILENT) {
        if (!DoSilentLogin(c))
            return Fail(trace, "Impossible de s'authentifier.");
    } else {
        CK_RV infoRv = CKR_OK;
        if (!isUserLogged(c->m_hSession, &infoRv)) {
            if (infoRv != CKR_OK)
                return FailWith(trace, "Demande de l'etat session impossible. rv: 0x%08lx",
                                static_cast<unsigned long>(infoRv));
            if (!DoLogin(c, dwFlags))
                return Fail(trace, "Impossible de s'authentifier.");
        }
    }
    if (!c->m_hPrivKeyExchange) {
        CK_OBJECT_HANDLE key = 0;
        const CK_RV rv = getPrivateKeyFromX509Cert(c->m_hSession, &key, c->GethCertExchange());
        if (rv != CKR_OK) {
            TraceNoLogout(c->m_hSession);
            return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
        }
        c->m_hPrivKeyExchange = key;
    }
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = cbData;
    CK_RV rv = List()->C_DecryptInit(c->m_hSession, &mechanism, c->m_hPrivKeyExchange);
    if (rv == CKR_OK)
        rv = List()->C_Decrypt(c->m_hSession, const_cast<BYTE *>(pbData), cbData, pbOut, &length);
    TraceNoLogout(c->m_hSession);
    if (rv != CKR_OK || length > cbData)
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    *pdwOutLen = length;
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

BOOL DoExportPublicKey(PKCSContainer *container, BYTE *pbData, DWORD *pdwDataLen, DWORD dwKeySpec)
{
    const char *name = "Pkcs::DoExportPublicKey";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "0x%p, 0x%p, 0x%p", static_cast<void *>(container),
                     static_cast<void *>(pbData), static_cast<void *>(pdwDataLen));
    if (!container || !pdwDataLen || !List())
        return Fail(trace, "");
    CardOperation operation(container);
    if (Gone(container))
        return Fail(trace, "Carte changee");
    const CK_OBJECT_HANDLE hCert = container->GethCertfromKeySpec(dwKeySpec);
    CK_OBJECT_HANDLE pub = 0;
    CK_RV rv = getKeyFromX509Cert(container->m_hSession, &pub, hCert, CKO_PUBLIC_KEY);
    if (rv != CKR_OK)
        return FailWith(trace, "0x%08lx", static_cast<unsigned long>(rv));
    CK_ULONG modulusLength = 0, exponentLength = 0;
    BYTE *modulus = nullptr, *exponent = nullptr;
    BOOL ok = FALSE;
    if (getModulus(container->m_hSession, pub, nullptr, &modulusLength) == CKR_OK && modulusLength &&
        modulusLength <= 4096 &&
        (modulus = static_cast<BYTE *>(csp_alloc(1, static_cast<int>(modulusLength)))) &&
        getModulus(container->m_hSession, pub, modulus, &modulusLength) == CKR_OK &&
        getExponent(container->m_hSession, pub, nullptr, &exponentLength) == CKR_OK && exponentLength &&
        exponentLength <= 8 &&
        (exponent = static_cast<BYTE *>(csp_alloc(1, static_cast<int>(exponentLength)))) &&
        getExponent(container->m_hSession, pub, exponent, &exponentLength) == CKR_OK) {
        // A missing or short buffer gets the size only: the caller decides.
        size_t needed = 0;
        const size_t room = pbData ? *pdwDataLen : 0;
        const uint32_t built = cspkeys::BuildPublicKeyBlob(modulus, modulusLength, exponent, exponentLength,
                                                           pbData, room, &needed);
        ok = built == cspkeys::kOk || built == cspkeys::kErrorMoreData;
        if (ok)
            *pdwDataLen = static_cast<DWORD>(needed);
    }
    csp_free(modulus);
    csp_free(exponent);
    if (!ok)
        return Fail(trace, "");
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

void NoteThreadData(DWORD threadId)
{
    std::lock_guard<std::mutex> hold(threadDataLock);
    if (std::find(threadsWithData.begin(), threadsWithData.end(), threadId) == threadsWithData.end())
        threadsWithData.push_back(threadId);
}

bool TakeThreadData(DWORD threadId)
{
    std::lock_guard<std::mutex> hold(threadDataLock);
    auto it = std::find(threadsWithData.begin(), threadsWithData.end(), threadId);
    if (it == threadsWithData.end())
        return false;
    threadsWithData.erase(it);
    return true;
}

BOOL FreePkcs(DWORD *dwThreadID)
{
    const char *name = "Pkcs::FreePkcs";
    TraceScope trace(LOG_LEVEL_FUNCTION, name, TRUE, "%s", "");
    if (!List()) {
        trace.Return(TRUE, "pFunctionList == NULL");
        return TRUE;
    }
    // The library stays bound while the provider stays loaded: a process-wide
    // use that already ended (or never began) has nothing to end.
    if (!dwThreadID && !IsInitialized()) {
        trace.Return(TRUE, "not initialised");
        return TRUE;
    }
    if (dwThreadID)
        _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, name, 0, FALSE, "dwThreadID: %lx",
                   static_cast<unsigned long>(*dwThreadID));
    const CK_RV rv = List()->C_Finalize(dwThreadID);
    SetInitialized(false);
    if (rv != CKR_OK)
        return FailWith(trace, "C_Finalize returned : 0x%08lx", static_cast<unsigned long>(rv));
    trace.Return(TRUE, "%s", "");
    return TRUE;
}

} // namespace Pkcs
