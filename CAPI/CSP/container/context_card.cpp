#include "context_card.h"

#include "card/pkcs_container.h"
#include "keys/formats/key_codes.h"

using csp::keys::kKeyExchange;
using csp::keys::kKeySignature;

// The handles the context gave out for its card keys: the same for as long
// as the context lives, whatever the card's objects are numbered now.
ULONG_PTR ContextCard::KeyHandle(DWORD keySpec)
{
    const PKCSContainer *c = hc_->m_pCurrentContainer;
    if (!c || (keySpec != kKeyExchange && keySpec != kKeySignature))
        return 0;
    return c->GetKeyHandle(keySpec);
}

BOOL ContextCard::Certificate(DWORD keySpec, const BYTE **der, DWORD *len)
{
    const PKCSContainer *c = hc_->m_pCurrentContainer;
    if (!c || (keySpec != kKeyExchange && keySpec != kKeySignature))
        return FALSE;
    *der = keySpec == kKeyExchange ? c->m_pbCertExchange : c->m_pbCertSignature;
    *len = keySpec == kKeyExchange ? c->m_cbCertExchange : c->m_cbCertSignature;
    return *der && *len;
}

DWORD &ContextCard::CachedKeyBits(DWORD keySpec)
{
    PKCSContainer *c = hc_->m_pCurrentContainer;
    return keySpec == kKeyExchange ? c->m_dwKeyLenExchange : c->m_dwKeyLenSignature;
}

DWORD ContextCard::KeyLengthFromCert(DWORD keySpec)
{
    DWORD error = 0;
    return hc_->GetKeyLengthFromCert(keySpec, &error);
}

// A failed card operation forgets the private key it used: its cached handle
// skips the login check, so after a card pulled and put back it would fail
// every later operation of the context with no sign of why. The next
// operation looks the key up again behind the login check; the session itself
// is left to the acquire's check, so no prompt comes up for a card that may
// have changed. (Turn held.)
void ContextCard::StartOver(CK_OBJECT_HANDLE PKCSContainer::*cachedKey)
{
    if (PKCSContainer *c = hc_->m_pCurrentContainer)
        c->*cachedKey = 0;
}

// After a failed operation: true when the same card came back meanwhile (the
// container then holds fresh handles), so that one more try is worth it.
bool ContextCard::CardCameBack()
{
    const CardCheck check = RecheckCard(hc_->m_pCurrentContainer);
    if (check == CardCheck::Absent || check == CardCheck::Changed)
        cardAway_ = true;
    return check == CardCheck::Refreshed;
}

// Each operation keeps its card's turn across its tries: no other context
// of the card logs out between the check of the card and the retry.
BOOL ContextCard::Sign(const BYTE *info, DWORD infoLen, DWORD keySpec, BYTE *sig, DWORD *sigLen)
{
    CardOperation operation(hc_->m_pCurrentContainer);
    const DWORD room = *sigLen;
    for (int attempt = 0;; ++attempt) {
        *sigLen = room;
        if (Pkcs::DoSign(hc_, infoLen, info, keySpec, sig, sigLen))
            return TRUE;
        StartOver(keySpec == kKeyExchange ? &PKCSContainer::m_hPrivKeyExchange
                                          : &PKCSContainer::m_hPrivKeySignature);
        if (attempt || !CardCameBack())
            return FALSE;
    }
}

BOOL ContextCard::Decrypt(ULONG_PTR hKey, const BYTE *in, DWORD inLen, BYTE *out, DWORD *outLen)
{
    CardOperation operation(hc_->m_pCurrentContainer);
    for (int attempt = 0;; ++attempt) {
        if (Pkcs::Decrypt(hc_, hKey, in, inLen, out, outLen, hc_->m_dwFlags))
            return TRUE;
        StartOver(&PKCSContainer::m_hPrivKeyExchange);
        if (attempt || !CardCameBack())
            return FALSE;
    }
}

BOOL ContextCard::ExportPublicKey(DWORD keySpec, BYTE *out, DWORD *len)
{
    CardOperation operation(hc_->m_pCurrentContainer);
    const DWORD room = *len;
    for (int attempt = 0;; ++attempt) {
        *len = room;
        if (Pkcs::DoExportPublicKey(hc_->m_pCurrentContainer, out, len, keySpec))
            return TRUE;
        if (attempt || !CardCameBack())
            return FALSE;
    }
}

void ContextCard::CheckSession()
{
    PKCSContainer *c = hc_->m_pCurrentContainer;
    // Service and remote-session contexts keep their session as it is.
    if (c && (!c->m_szComputerName || !c->m_szComputerName[0]))
        isSessionValid(c);
}
