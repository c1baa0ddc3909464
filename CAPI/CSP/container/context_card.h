// The card of a provider context as its key work sees it: the context's card
// container and the Pkcs operations on it (the provider's side of the key
// work's KeyCard).
#ifndef VEL_CSP_CONTEXT_CARD_H
#define VEL_CSP_CONTEXT_CARD_H

#include "handle_container.h"
#include "keys/win/container_keys.h"
#include "keys/win/key_card.h"

class ContextCard : public csp::keys::KeyCard {
public:
    explicit ContextCard(HandleContainer *hc) : hc_(hc) {}

    ULONG_PTR KeyHandle(DWORD keySpec) override;
    BOOL Certificate(DWORD keySpec, const BYTE **der, DWORD *len) override;
    DWORD &CachedKeyBits(DWORD keySpec) override;
    DWORD KeyLengthFromCert(DWORD keySpec) override;
    BOOL Sign(const BYTE *info, DWORD infoLen, DWORD keySpec, BYTE *sig, DWORD *sigLen) override;
    BOOL Decrypt(ULONG_PTR hKey, const BYTE *in, DWORD inLen, BYTE *out, DWORD *outLen) override;
    BOOL ExportPublicKey(DWORD keySpec, BYTE *out, DWORD *len) override;
    void CheckSession() override;

    // One of this call's card operations failed because the card was out,
    // or another card had taken its place.
    bool CardAway() const { return cardAway_; }

private:
    void StartOver(CK_OBJECT_HANDLE PKCSContainer::*cachedKey);
    bool CardCameBack();

    HandleContainer *hc_;
    bool cardAway_ = false;
};

// The key context of a provider context; `card` must outlive its use.
inline csp::keys::KeyContext KeyContextOf(HandleContainer *hc, ContextCard &card)
{
    return csp::keys::KeyContext{hc->m_hMSProv, hc->m_dwFlags, hc->m_pCurrentContainer ? &card : nullptr};
}

#endif
