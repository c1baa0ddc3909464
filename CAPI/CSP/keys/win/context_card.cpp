#include "context_card.h"

#include "key_codes.h"
#include "pkcs_container.h"

namespace cspkeys {

ULONG_PTR ContextCard::KeyHandle(DWORD keySpec)
{
    const PKCSContainer *c = m_hc->m_pCurrentContainer;
    if (!c)
        return 0;
    return keySpec == kKeyExchange ? c->GethCertExchange() : keySpec == kKeySignature ? c->GethCertSignature() : 0;
}

BOOL ContextCard::Certificate(DWORD keySpec, const BYTE **der, DWORD *len)
{
    const PKCSContainer *c = m_hc->m_pCurrentContainer;
    if (!c || (keySpec != kKeyExchange && keySpec != kKeySignature))
        return FALSE;
    *der = keySpec == kKeyExchange ? c->m_pbCertExchange : c->m_pbCertSignature;
    *len = keySpec == kKeyExchange ? c->m_cbCertExchange : c->m_cbCertSignature;
    return *der && *len;
}

DWORD &ContextCard::CachedKeyBits(DWORD keySpec)
{
    PKCSContainer *c = m_hc->m_pCurrentContainer;
    return keySpec == kKeyExchange ? c->m_dwKeyLenExchange : c->m_dwKeyLenSignature;
}

DWORD ContextCard::KeyLengthFromCert(DWORD keySpec)
{
    DWORD error = 0;
    return m_hc->GetKeyLengthFromCert(keySpec, &error);
}

BOOL ContextCard::Sign(const BYTE *info, DWORD infoLen, DWORD keySpec, BYTE *sig, DWORD *sigLen)
{
    return Pkcs::DoSign(m_hc, infoLen, info, keySpec, sig, sigLen);
}

BOOL ContextCard::Decrypt(ULONG_PTR hKey, const BYTE *in, DWORD inLen, BYTE *out, DWORD *outLen)
{
    return Pkcs::Decrypt(m_hc, hKey, in, inLen, out, outLen, m_hc->m_dwFlags);
}

BOOL ContextCard::ExportPublicKey(DWORD keySpec, BYTE *out, DWORD *len)
{
    return Pkcs::DoExportPublicKey(m_hc->m_pCurrentContainer, out, len, keySpec);
}

void ContextCard::CheckSession()
{
    PKCSContainer *c = m_hc->m_pCurrentContainer;
    // Service and remote-session contexts keep their session as it is.
    if (c && !c->m_szComputerName)
        isSessionValid(c);
}

}  // namespace cspkeys
