#include "store_view.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>

#include "test_process.h"

#ifndef ZEB_PROVIDER_DLL
#error ZEB_PROVIDER_DLL must name the card provider of this build
#endif
#ifndef ZEB_EXPECTED_DIR
#error ZEB_EXPECTED_DIR must name the folder of the expected certificates
#endif

namespace zebtest {

std::set<std::vector<BYTE>> BoundDers(const wchar_t *provider)
{
    std::set<std::vector<BYTE>> out;
    for (auto &b : BoundCerts(provider))
        out.insert(b.der);
    return out;
}

void ClearMy()
{
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    if (!store)
        return;
    std::vector<PCCERT_CONTEXT> all;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        all.push_back(CertDuplicateCertificateContext(c));
    for (auto a : all)
        CertDeleteCertificateFromStore(a);
    CertCloseStore(store, 0);
}

void AddBound(const std::vector<BYTE> &der, const wchar_t *provider, const wchar_t *container)
{
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t *>(container);
    info.pwszProvName = const_cast<wchar_t *>(provider);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertFreeCertificateContext(c);
    CertCloseStore(store, 0);
}

void AddUnbound(const std::vector<BYTE> &der)
{
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), (DWORD)der.size(),
                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
}

std::set<std::vector<BYTE>> UnboundDers()
{
    std::set<std::vector<BYTE>> out;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    if (!store)
        return out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            out.insert(std::vector<BYTE>(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded));
    }
    CertCloseStore(store, 0);
    return out;
}

std::vector<BYTE> SameIssuerAndSerial(const std::vector<BYTE> &der)
{
    std::vector<BYTE> copy = der;
    if (!copy.empty())
        copy.back() ^= 0x01;
    return copy;
}

std::vector<UsersEntry> UsersEntriesOfTheDefaultCard()
{
    const std::vector<BYTE> auth = CardCert("auth"), sign = CardCert("sign");
    return {
        {"the card's certificate bound to another provider", false, auth, L"Other Provider"},
        {"the card's certificate without key", false, sign, nullptr},
        {"a copy of the same issuer and serial bound to another provider", true, SameIssuerAndSerial(auth),
         L"Other Provider"},
        {"a copy of the same issuer and serial without key", true, SameIssuerAndSerial(sign), nullptr},
    };
}

namespace {
// The user binds the entry of `der` in "MY" to `provider`, or takes its
// binding away (null): the entry deleted and added again through the
// registry store, where the change lasts (see docs/wine-notes.md).
void SetBinding(const std::vector<BYTE> &der, const wchar_t *provider)
{
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    if (store && c) {
        if (PCCERT_CONTEXT old =
                CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, c, nullptr))
            CertDeleteCertificateFromStore(old);
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = const_cast<wchar_t *>(L"user");
        info.pwszProvName = const_cast<wchar_t *>(provider);
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        if (provider)
            CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_ALWAYS, nullptr);
    }
    if (c)
        CertFreeCertificateContext(c);
    if (store)
        CertCloseStore(store, 0);
}
} // namespace

void AddUsersEntry(const UsersEntry &entry)
{
    if (!entry.before)
        SetBinding(entry.der, entry.provider); // the card's own entry, made the user's
    else if (entry.provider)
        AddBound(entry.der, entry.provider, L"user");
    else
        AddUnbound(entry.der);
}

bool HoldsUsersEntry(const UsersEntry &entry)
{
    return (entry.provider ? BoundDers(entry.provider) : UnboundDers()).count(entry.der) == 1;
}

std::vector<BYTE> CardCert(const char *name)
{
    std::string path = std::string(ZEB_EXPECTED_DIR) + "\\" + name + ".der";
    std::vector<BYTE> out;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        BYTE buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.insert(out.end(), buf, buf + n);
        fclose(f);
    }
    return out;
}

std::set<std::vector<BYTE>> Certs(std::initializer_list<const char *> names)
{
    std::set<std::vector<BYTE>> out;
    for (auto n : names)
        out.insert(CardCert(n));
    return out;
}

bool RegisterProvider()
{
    return vel_test::RunRegsvr32(ZEB_PROVIDER_DLL) == 0;
}

bool UnregisterProvider()
{
    std::string command = std::string("regsvr32.exe /s /u \"") + ZEB_PROVIDER_DLL + "\"";
    return system(command.c_str()) == 0;
}

void RemoveSettingsKeys()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Ovrane\\ZEB");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Ovrane\\ZEB");
}

std::string ReadText(const std::string &path)
{
    std::string out;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
    }
    return out;
}

void SetUserDword(const char *name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ovrane\\ZEB", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
}

void SetUserString(const char *name, const char *value)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ovrane\\ZEB", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), (DWORD)strlen(value) + 1);
    RegCloseKey(key);
}

} // namespace zebtest
