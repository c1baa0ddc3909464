#include "cert_store.h"

#include <wincrypt.h>

#include <cwchar>
#include <string>
#include <vector>

#include "trace_scope.h"
#include "scard_api.h"

namespace zeb {

namespace {

const wchar_t kDefaultProvider[] = L"Ovrane Cryptographic Provider";

// The user's "MY" store opened through the system registry provider:
// deletions through it reach the registry (the plain system store answers
// TRUE without removing anything under Wine).
HCERTSTORE OpenUserStoreForRemoval()
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, L"MY");
}

// Releases what propCert acquired, whatever step it reached.
struct PropCertResources {
    HCRYPTPROV prov = 0;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT context = nullptr;
    ~PropCertResources()
    {
        DWORD error = GetLastError();
        if (context)
            CertFreeCertificateContext(context);
        if (prov)
            CryptReleaseContext(prov, 0);
        if (store)
            CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
        SetLastError(error);
    }
};

// True when the certificate's key-provider binding names `provider` exactly
// (case-sensitive): an entry of ours. One without a binding, or bound to
// another provider, is the user's or another component's.
bool BoundToProvider(PCCERT_CONTEXT c, const wchar_t *provider)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
        size < sizeof(CRYPT_KEY_PROV_INFO))
        return false;
    std::vector<BYTE> data(size);
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &size))
        return false;
    auto *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(data.data());
    return info->pwszProvName && info->pwszProvName[0] && wcscmp(info->pwszProvName, provider) == 0;
}

// The failed return of propCert, "<step> error: 0x%08x".
BOOL Fail(TraceScope &trace, const char *step)
{
    DWORD error = GetLastError();
    trace.Return(1, "%s error: 0x%08x", step, (unsigned)error);
    SetLastError(error);
    return FALSE;
}

} // namespace

void CardProviderName(wchar_t out[260])
{
    wcscpy(out, kDefaultProvider);
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return;
    DWORD len = 260;
    wchar_t found[260] = L"";
    if (SCardGetCardTypeProviderNameW(context, L"Velcarte VEL3", SCARD_PROVIDER_CSP, found, &len) ==
            SCARD_S_SUCCESS &&
        found[0] != L'\0' && wmemchr(found, L'\0', 260))
        wcscpy(out, found);
    SCardReleaseContext(context);
}

bool ProviderHold::Ensure()
{
    if (prov_)
        return true;
    wchar_t provider[260];
    CardProviderName(provider);
    if (!CryptAcquireContextW(&prov_, nullptr, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        prov_ = 0;
    return prov_ != 0;
}

void ProviderHold::Release()
{
    if (prov_)
        CryptReleaseContext(prov_, 0);
    prov_ = 0;
}

BOOL propCert(const char *container, const BYTE *value, DWORD len, std::unique_ptr<CertRecord> *record,
              DWORD keySpec)
{
    PropCertResources r; // released after the return line
    TraceScope trace(LOG_LEVEL_FUNCTION, "propCert", FALSE, "%s", "");
    wchar_t provider[260];
    CardProviderName(provider);
    // Loads the card provider into this process; it answers a verification
    // context without the card.
    if (!CryptAcquireContextW(&r.prov, nullptr, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        r.prov = 0;
        return Fail(trace, "CryptAcquireContext");
    }
    // The provider handle is not the store's: the store is opened with none.
    r.store = CertOpenSystemStoreW(0, L"MY");
    if (!r.store)
        return Fail(trace, "CertOpenStore");
    r.context = CertCreateCertificateContext(X509_ASN_ENCODING, value, len);
    if (!r.context)
        return Fail(trace, "CertCreateCertificateContext");

    std::wstring wideContainer;
    for (const char *p = container; *p; ++p)
        wideContainer.push_back(static_cast<unsigned char>(*p));
    CardProviderName(provider);
    CRYPT_KEY_PROV_INFO binding{};
    binding.pwszContainerName = &wideContainer[0];
    binding.pwszProvName = provider;
    binding.dwProvType = PROV_RSA_FULL;
    binding.dwFlags = 0;
    binding.cProvParam = 0;
    binding.rgProvParam = nullptr;
    binding.dwKeySpec = keySpec;
    if (!CertSetCertificateContextProperty(r.context, CERT_KEY_PROV_INFO_PROP_ID, 0, &binding))
        return Fail(trace, "CertSetCertificateContextProperty");
    if (!CertAddCertificateContextToStore(r.store, r.context, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        return Fail(trace, "CertAddCertificateContextToStore");

    const CERT_INFO *info = r.context->pCertInfo;
    auto made = std::make_unique<CertRecord>();
    made->issuer.assign(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
    made->serial.assign(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
    *record = std::move(made);
    trace.Return(0, "%s", "");
    return TRUE;
}

BOOL DeleteRecordedCert(const CertRecord &record)
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "ZEB_deleteCert", FALSE, "%s", "");
    HCERTSTORE store = OpenUserStoreForRemoval();
    if (!store) {
        trace.Return(1, "CertOpenStore error : 0x%08x", (unsigned)GetLastError());
        return FALSE;
    }
    CERT_INFO key{};
    key.Issuer.pbData = const_cast<BYTE *>(record.issuer.data());
    key.Issuer.cbData = static_cast<DWORD>(record.issuer.size());
    key.SerialNumber.pbData = const_cast<BYTE *>(record.serial.data());
    key.SerialNumber.cbData = static_cast<DWORD>(record.serial.size());
    // Issuer and serial number may name entries that are not ours: the user's
    // copy of the same certificate, bound to another provider or to none.
    // Only the first bound to the card provider goes.
    wchar_t provider[260];
    CardProviderName(provider);
    PCCERT_CONTEXT found = nullptr;
    while ((found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &key,
                                               found)) != nullptr &&
           !BoundToProvider(found, provider)) {
    }
    if (!found) {
        DWORD error = GetLastError();
        CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
        trace.Return(1, "CertFindCertificateInStore error : 0x%08x", (unsigned)error);
        return FALSE;
    }
    BOOL deleted = CertDeleteCertificateFromStore(found); // frees `found`
    DWORD error = GetLastError();
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    if (!deleted) {
        trace.Return(1, "CertDeleteCertificateFromStore error : 0x%08x", (unsigned)error);
        return FALSE;
    }
    trace.Return(0, "%s", "");
    return TRUE;
}

BOOL ZEB_cleanCAPICerts()
{
    TraceScope trace(LOG_LEVEL_FUNCTION, "ZEB_cleanCAPICerts", FALSE, "%s", "");
    wchar_t provider[260];
    CardProviderName(provider);
    HCERTSTORE store = OpenUserStoreForRemoval();
    if (!store) {
        trace.Return(1, "CertOpenStore error : 0x%08x", (unsigned)GetLastError());
        return FALSE;
    }
    // Collected first and deleted afterwards: deleting while enumerating does
    // not end under Wine.
    std::vector<PCCERT_CONTEXT> bound;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        if (BoundToProvider(c, provider))
            bound.push_back(CertDuplicateCertificateContext(c));
    for (PCCERT_CONTEXT b : bound)
        CertDeleteCertificateFromStore(b); // frees each duplicate
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    trace.Return(0, "%s", "");
    return TRUE;
}

} // namespace zeb
