// The slot of a request and the card container made from it: the slots
// holding a card, the slot of a named reader, the container names a slot's
// certificates give, the container built from a slot's certificates.
#include "pkcs_container.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "cardmatch/card_match.h"
#include "certificate_key_type.h"
#include "certificate_rules.h"
#include "container/handle_container.h"
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "padded_field.h"
#include "pkcs_helpers.h"
#include "pkcs_library.h"
#include "trace_scope.h"

using csp::card::CloseSession;
using csp::card::Fail;
using csp::card::FailWith;
using csp::card::OpenSession;
using Pkcs::List;

namespace {

char *CopyText(const char *text, int size)
{
    char *copy = static_cast<char *>(csp_alloc(1, size));
    if (copy)
        std::memcpy(copy, text,
                    strnlen(text, static_cast<size_t>(size) - 1)); // csp_alloc zero-fills: NUL-terminated
    return copy;
}

} // namespace

CK_RV FindSlot(const CK_SLOT_ID *slots, CK_ULONG count, const char *readerName, CK_SLOT_ID *slot, int *found)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "FindSlot", FALSE, "0x%p, %s", static_cast<void *>(List()),
                     readerName ? readerName : "NULL");
    if (!slots || !slot || !found || !readerName || !List()) {
        trace.Return(CKR_ARGUMENTS_BAD, "0x%p", static_cast<void *>(List()));
        return CKR_ARGUMENTS_BAD;
    }
    CK_RV rv = CKR_OK;
    int match = 0;
    for (CK_ULONG i = 0; i < count && !match; ++i) {
        CK_SLOT_INFO info = {};
        rv = List()->C_GetSlotInfo(slots[i], &info);
        if (rv != CKR_OK || !(info.flags & CKF_TOKEN_PRESENT))
            continue;
        const std::string description =
            vel::PaddedFieldText(info.slotDescription, sizeof info.slotDescription);
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "FindSlot", 0, FALSE, "Looking for \"%s\", found : \"%s\"",
                   readerName, description.c_str());
        if (description == readerName) {
            *slot = slots[i];
            match = 1;
        }
    }
    *found = match;
    trace.Return(rv, "0x%p, %s", static_cast<void *>(List()), readerName);
    return rv;
}

namespace Pkcs {

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
// are read only while none has decided (csp::cardmatch::ChooseCard), on one
// session closed before returning. FALSE: the slot's name cannot be read.
static BOOL ChooseSlotCard(CK_SLOT_ID slotID, const char *request, bool wantDefault,
                           char (&slotName)[kNameSize], csp::cardmatch::CardChoice *choice)
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
        *choice = csp::cardmatch::ChooseCard(request, wantDefault,
                                             std::min<CK_ULONG>(count, kMaxCertificates), nameAt);
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
                csp::cardmatch::CardChoice choice = csp::cardmatch::CardChoice::None;
                if (!ChooseSlotCard(slots[i], pszContainer, wantDefault, slotName, &choice)) {
                    result = FALSE;
                    Fail(trace, "GetCardInfoForContainer failed");
                    break;
                }
                const bool contained = choice == csp::cardmatch::CardChoice::ByName;
                if (choice != csp::cardmatch::CardChoice::None) {
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

} // namespace Pkcs
