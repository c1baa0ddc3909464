// Reading a slot's certificates into the store, and taking them out again.
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "cert_store.h"
#include "certificate_key_type.h"
#include "certificate_search.h"
#include "certificate_rules.h"
#include "event_log.h"
#include "loader.h"
#include "trace_scope.h"
#include "traced_call.h"
#include "zeb_core.h"

namespace zeb {

namespace {

// Room for the longest container name the provider serves (511) and its NUL.
const size_t kContainerNameSize = 512;
// The most read of one attribute: a card certificate is a few kilobytes; a
// length beyond this is the library's error, not a certificate.
const CK_ULONG kMaxAttributeBytes = 64 * 1024;

// The key spec of a card certificate by the shared rule, traced as the tray
// traces it: AT_SIGNATURE, AT_KEYEXCHANGE, or 0 when it cannot be read.
DWORD TracedKeyType(const BYTE *value, DWORD len)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "GetCertificateKeyType", TRUE, "%s", "");
    certrules::KeyTypeResult r = certrules::GetCertificateKeyType(value, len, X509_ASN_ENCODING);
    switch (r.outcome) {
    case certrules::KeyTypeOutcome::NotDecoded: // the decoder's failure, as a status code
        trace.ReturnAs(FALSE, 1, "CertCreateCertificateContext error: 0x%08x", (unsigned)r.error);
        return 0;
    case certrules::KeyTypeOutcome::NoKeyUsage:
        trace.Return(FALSE, "Unable to get key usage");
        return 0;
    default:
        trace.Return(TRUE, "%s", "");
        return r.keySpec;
    }
}

// One attribute's value, size first. False on a failure or an empty value.
bool ReadAttribute(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type,
                   const char *traceName, std::vector<CK_BYTE> *out)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, traceName, FALSE, "%s", "");
    CK_ATTRIBUTE a{type, nullptr, 0};
    CK_RV rv = f->C_GetAttributeValue(s, o, &a, 1);
    if (rv == CKR_OK && (a.ulValueLen == 0 || a.ulValueLen > kMaxAttributeBytes))
        rv = CKR_ATTRIBUTE_VALUE_INVALID; // CK_UNAVAILABLE_INFORMATION included
    if (rv == CKR_OK) {
        out->assign(a.ulValueLen, 0);
        a.pValue = out->data();
        rv = f->C_GetAttributeValue(s, o, &a, 1);
        if (rv == CKR_OK && (a.ulValueLen == 0 || a.ulValueLen > out->size()))
            rv = CKR_ATTRIBUTE_VALUE_INVALID;
        if (rv == CKR_OK)
            out->resize(a.ulValueLen);
    }
    trace.Return(rv, "%s", "");
    return rv == CKR_OK;
}

} // namespace

void ZebCore::CloseKeptSession(SlotInfoEntry *entry)
{
    if (entry->hSession && m_pFunctionList)
        m_pFunctionList->C_CloseSession(entry->hSession);
    entry->hSession = 0;
}

void ZebCore::Recount()
{
    short n = 0;
    for (const SlotInfoEntry &e : m_slotInfos)
        n = static_cast<short>(n + (e.bSynchro ? 1 : 0));
    syncCount = n;
}

void ZebCore::CryptPropCert(SlotInfoEntry *entry)
{
    TableLock lock(*this);
    m_sink->PostStatus(kStatusReading);
    m_providerHold.Ensure(); // each certificate's own acquire then finds it loaded
    CK_SESSION_HANDLE session = 0;
    bool ok = false;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_OBJECT_HANDLE handles[kMaxCertsPerSlot];
    CK_ULONG found = 0;
    if (ZEB_Init(&m_pFunctionList) == 0) {
        f = m_pFunctionList;
        CloseKeptSession(entry); // one session per entry at most, whatever failed before
        WriteEventLog("[ZEB] CryptPropCert openSession start slotId=%lu", (unsigned long)entry->slotId);
        CK_RV rv = TracedCall("ZEB_openSession", [&] {
            return f->C_OpenSession(entry->slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        });
        if (rv == CKR_OK) {
            entry->hSession = session;
            WriteEventLog("[ZEB] CryptPropCert openSession OK slotId=%lu hSession=0x%llX",
                          (unsigned long)entry->slotId, (unsigned long long)session);
            TraceScope list(LOG_LEVEL_FUNCTION, "ZEB_getAllX509CertificateList", FALSE, "%s", "");
            rv = vel::FindX509Certificates(f, session, handles, kMaxCertsPerSlot, &found);
            if (rv != CKR_OK) {
                list.Return(rv, "%s", "");
            } else if (found == 0) {
                list.Return(1, "No Certificate found");
            } else {
                list.Return(0, "%s", "");
                WriteEventLog("[ZEB] CryptPropCert certList slotId=%lu count=%lu",
                              (unsigned long)entry->slotId, (unsigned long)found);
                ok = true;
            }
        }
    }
    for (CK_ULONG i = 0; ok && i < found; ++i) {
        if (m_bStopping) { // quitting: what was added so far is undone below
            ok = false;
            break;
        }
        std::vector<CK_BYTE> value, subject;
        if (!ReadAttribute(f, session, handles[i], CKA_VALUE, "ZEB_getX509Value", &value) ||
            !ReadAttribute(f, session, handles[i], CKA_SUBJECT, "ZEB_getX509Subject", &subject)) {
            ok = false;
            break;
        }
        char container[kContainerNameSize];
        if (certrules::ContainerNameFromSubject(subject.data(), subject.size(), container, sizeof container) <
            0) {
            WriteEventLog("[ZEB] CryptPropCert container name too long slotId=%lu certIndex=%lu",
                          (unsigned long)entry->slotId, (unsigned long)i);
            continue; // the provider could not serve it either
        }
        DWORD keySpec = TracedKeyType(value.data(), static_cast<DWORD>(value.size()));
        WriteEventLog("[ZEB] CryptPropCert propCert start slotId=%lu certIndex=%lu container=%s",
                      (unsigned long)entry->slotId, (unsigned long)i, container);
        std::unique_ptr<CertRecord> record;
        if (entry->nbCerts < kMaxCertsPerSlot &&
            propCert(container, value.data(), static_cast<DWORD>(value.size()), &record, keySpec)) {
            entry->certs[entry->nbCerts++] = std::move(record);
            WriteEventLog("[ZEB] CryptPropCert propCert OK slotId=%lu certIndex=%lu",
                          (unsigned long)entry->slotId, (unsigned long)i);
        } else {
            WriteEventLog("[ZEB] CryptPropCert propCert FAILED slotId=%lu certIndex=%lu",
                          (unsigned long)entry->slotId, (unsigned long)i);
        }
    }
    if (ok && entry->nbCerts == 0) {
        // Not one certificate reached the store: nothing is synchronised, and
        // the next pass or change tries again.
        WriteEventLog("[ZEB] CryptPropCert no certificate added slotId=%lu", (unsigned long)entry->slotId);
        ok = false;
    }
    if (ok) {
        TracedCall("ZEB_closeSession", [&] { return f->C_CloseSession(session); });
        WriteEventLog("[ZEB] CryptPropCert closeSession slotId=%lu", (unsigned long)entry->slotId);
        entry->hSession = 0;
        entry->bSynchro = 1;
        Recount();
        m_sink->PostStatus(kStatusSynchronised);
        WriteEventLog("[ZEB] CryptPropCert SUCCESS slotId=%lu syncCount=%d", (unsigned long)entry->slotId,
                      (int)syncCount);
    } else {
        WriteEventLog("[ZEB] CryptPropCert FAILED slotId=%lu", (unsigned long)entry->slotId);
        ZEB_deleteCert(entry);
        // The other cards' certificates are still there: the icon says so.
        m_sink->PostStatus(syncCount > 0 ? kStatusSynchronised : kStatusNoCard);
    }
}

void ZebCore::ZEB_deleteCert(SlotInfoEntry *entry)
{
    TableLock lock(*this);
    for (CK_ULONG i = 0; i < entry->nbCerts && i < kMaxCertsPerSlot; ++i) {
        if (!entry->certs[i])
            continue;
        // A certificate that another entry's card also put there stays.
        if (!HeldElsewhere(m_slotInfos, kSlotCount, entry, *entry->certs[i]))
            DeleteRecordedCert(*entry->certs[i]);
        entry->certs[i].reset();
    }
    entry->bSynchro = 0;
    entry->nbCerts = 0;
    Recount();
}

} // namespace zeb
