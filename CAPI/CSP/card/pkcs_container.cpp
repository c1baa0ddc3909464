// The card container of a provider context: its accessors, and the checks of
// its card (the session still stands, the same card came back with new
// handles, no card, another card in its place).
#include "pkcs_container.h"

#include <vector>

#include "cardmatch/card_match.h"
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "pkcs_helpers.h"
#include "pkcs_library.h"
#include "trace_scope.h"

using csp::card::CloseSession;
using csp::card::OpenSession;
using Pkcs::List;

namespace {

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

bool PKCSContainer::CardGone() const
{
    return m_cardStanding.Now() == csp::cardmatch::CardStanding::Gone;
}

// The card a new session of the container's slot shows, against the
// certificates the container holds (turn held). Every certificate is read
// whole, or nothing is known.
static csp::cardmatch::CardReview ReviewSlot(const PKCSContainer *c, CK_SESSION_HANDLE session,
                                             CK_OBJECT_HANDLE (&handles)[kMaxCertificates])
{
    CK_ULONG count = kMaxCertificates;
    std::vector<csp::cardmatch::Der> seen;
    bool whole = getAllX509CertificateList(session, handles, &count) == CKR_OK && count <= kMaxCertificates;
    for (CK_ULONG i = 0; whole && i < count; ++i) {
        CK_ULONG length = 0;
        csp::cardmatch::Der der;
        whole = getX509Value(session, handles[i], nullptr, &length) == CKR_OK && length && length < 65536;
        if (whole) {
            der.resize(length);
            whole = getX509Value(session, handles[i], der.data(), &length) == CKR_OK && length == der.size();
        }
        seen.push_back(der);
    }
    const csp::cardmatch::Der exchange(c->m_pbCertExchange, c->m_pbCertExchange + c->m_cbCertExchange);
    const csp::cardmatch::Der sign(c->m_pbCertSignature, c->m_pbCertSignature + c->m_cbCertSignature);
    return csp::cardmatch::ReviewCard({exchange, sign}, seen, whole);
}

BOOL isSessionValid(PKCSContainer *container)
{
    if (!container || !List())
        return FALSE;
    CardOperation operation(container);
    if (container->m_cardStanding.Now() == csp::cardmatch::CardStanding::Gone)
        return FALSE; // another card was seen: nothing brings it back
    CK_SESSION_INFO info = {};
    const CK_RV rv = List()->C_GetSessionInfo(container->m_hSession, &info);
    if (rv == CKR_OK) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isSessionValid", 0, FALSE, "Session correcte");
        container->m_cardStanding.Note(csp::cardmatch::CardFate::Same);
        return TRUE;
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "isSessionValid", 0, FALSE,
               "Demande de l'etat session impossible: rv=0x%08lx", static_cast<unsigned long>(rv));
    container->m_bPinGiven = FALSE; // the login went with the session
    CK_SESSION_HANDLE session = 0;
    if (OpenSession(container->m_slotID, &session) != CKR_OK) {
        container->m_cardStanding.Note(csp::cardmatch::CardFate::Unknown); // no card in the slot now
        return FALSE;
    }
    CK_OBJECT_HANDLE handles[kMaxCertificates] = {};
    const csp::cardmatch::CardReview review = ReviewSlot(container, session, handles);
    if (review.fate != csp::cardmatch::CardFate::Same) {
        // A session on a card this container does not stand for is not
        // kept: the next check looks at the slot again.
        CloseSession(session);
        container->m_cardStanding.Note(review.fate);
        if (review.fate == csp::cardmatch::CardFate::Changed)
            _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "isSessionValid", 0, FALSE, "%s", "Carte changee");
        return FALSE;
    }
    // The same card: objects may be numbered anew at each insertion. The key
    // handles given out stay; the objects behind them follow their
    // certificates, and the private keys are looked up again.
    container->SethSession(session);
    container->m_hCertExchange = review.at[0] == csp::cardmatch::kNotSeen ? 0 : handles[review.at[0]];
    container->m_hCertSignature = review.at[1] == csp::cardmatch::kNotSeen ? 0 : handles[review.at[1]];
    container->m_hPrivKeySignature = 0;
    container->m_hPrivKeyExchange = 0;
    container->m_cardStanding.Note(csp::cardmatch::CardFate::Same);
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
    case csp::cardmatch::CardStanding::Stands:
        return CardCheck::Refreshed;
    case csp::cardmatch::CardStanding::Absent:
        return CardCheck::Absent;
    default:
        return CardCheck::Changed;
    }
}
