#include "provider_fixture.h"

#include "certificate_rules.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#ifndef KEYS_ARTIFACTS
#error KEYS_ARTIFACTS must name the folder shared with the openssl scripts
#endif

namespace keys_test {

namespace {

std::string ArtifactPath(const std::string &name)
{
    return std::string(KEYS_ARTIFACTS) + "/" + name;
}

} // namespace

Bytes ReadArtifact(const char *name)
{
    std::ifstream in(ArtifactPath(name), std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(b.empty()) << name << " missing from " << KEYS_ARTIFACTS;
    return b;
}

void WriteArtifact(const std::string &name, const Bytes &bytes)
{
    std::ofstream out(ArtifactPath(name), std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    EXPECT_TRUE(out.good()) << name;
}

Bytes Reversed(Bytes b)
{
    return Bytes(b.rbegin(), b.rend());
}

void ExpectFailure(const char *what, DWORD code, const std::function<BOOL()> &call)
{
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(call()) << what;
    EXPECT_EQ(code, GetLastError()) << what << ": 0x" << std::hex << GetLastError();
}

std::vector<std::string> CallNames()
{
    std::vector<std::string> calls;
    const std::string log = csp_test::CallLog();
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        // "[process:thread] C_Name(arguments) = result": keep the names.
        const std::string line = log.substr(start, end - start);
        const size_t at = line.find("] "), open = line.find('(');
        if (at != std::string::npos && open != std::string::npos && open > at + 2)
            calls.push_back(line.substr(at + 2, open - at - 2));
        start = end + 1;
    }
    return calls;
}

CertificatesInMyStore::CertificatesInMyStore()
{
    // Through the registry provider: removals through the system store are
    // not kept under Wine.
    m_store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
    EXPECT_NE(nullptr, m_store);
    m_auth = Add(ReadArtifact("auth.crt"), AT_KEYEXCHANGE);
    m_sign = Add(ReadArtifact("sign.crt"), AT_SIGNATURE);
}

PCCERT_CONTEXT CertificatesInMyStore::Add(const Bytes &der, DWORD keySpec)
{
    PCCERT_CONTEXT added = nullptr;
    if (!m_store ||
        !CertAddEncodedCertificateToStore(m_store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        ADD_FAILURE() << "certificate not added: " << GetLastError();
        return nullptr;
    }
    // Each certificate under its own subject's name, as the tray binds it.
    char name[512] = {};
    EXPECT_GE(certrules::ContainerNameFromSubject(added->pCertInfo->Subject.pbData,
                                                  added->pCertInfo->Subject.cbData, name, sizeof name),
              0);
    const std::string container = name, provider = csp_test::kProvider;
    std::wstring wContainer(container.begin(), container.end()), wProvider(provider.begin(), provider.end());
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = &wContainer[0];
    info.pwszProvName = &wProvider[0];
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    return added;
}

CertificatesInMyStore::~CertificatesInMyStore()
{
    for (PCCERT_CONTEXT c : {m_auth, m_sign})
        if (c)
            CertDeleteCertificateFromStore(c); // frees the context too
    if (m_store)
        CertCloseStore(m_store, 0);
}

} // namespace keys_test
