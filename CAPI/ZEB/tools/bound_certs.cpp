#include "bound_certs.h"

#include <wincrypt.h>

namespace zebtools {

const wchar_t kCardProvider[] = L"Ovrane Cryptographic Provider";

std::vector<BoundCert> ReadBoundCerts(const wchar_t *provider)
{
    std::vector<BoundCert> out;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    if (!store)
        return out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            continue;
        std::vector<BYTE> data(size);
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &size))
            continue;
        auto *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(data.data());
        if (!info->pwszProvName || wcscmp(info->pwszProvName, provider) != 0)
            continue;
        BoundCert b;
        b.der.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
        char subject[512] = "";
        CertNameToStrA(X509_ASN_ENCODING, &c->pCertInfo->Subject, CERT_X500_NAME_STR, subject,
                       sizeof subject);
        b.subject = subject;
        b.provider = info->pwszProvName;
        b.container = info->pwszContainerName ? info->pwszContainerName : L"";
        b.provType = info->dwProvType;
        b.keySpec = info->dwKeySpec;
        out.push_back(std::move(b));
    }
    CertCloseStore(store, 0);
    return out;
}

} // namespace zebtools
