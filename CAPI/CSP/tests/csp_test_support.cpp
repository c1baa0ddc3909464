#include "csp_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "certificate_rules.h"
#include "loaded_library.h"
#include "test_process.h"

#ifndef CSP_TEST_ARTIFACTS
#error CSP_TEST_ARTIFACTS must name the folder shared with the openssl scripts
#endif

namespace csp_test {

const char kProvider[] = "Ovrane Cryptographic Provider";
const char kAuthContainer[] = "0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567";
const char kSignContainer[] = "0q10UFR10UOvraneTest10U250001234510UMARTINJEANNESIGNATURE10U810001234567";

namespace {
std::string g_state;

std::string ArtifactPath(const std::string &name)
{
    return std::string(CSP_TEST_ARTIFACTS) + "/" + name;
}

} // namespace

std::string ProviderPath()
{
    std::string path = VEL_CSP_DLL_PATH;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

int RunRegsvr32(const std::string &switches)
{
    return vel_test::RunRegsvr32(ProviderPath(), switches);
}

void SetUpCard(const char *tag)
{
    g_state = softcard_test::usePrivateState(tag);
    ASSERT_EQ(RunRegsvr32("/s"), 0);
    ASSERT_EQ(Ctl("log on"), 0);
}

void CardTest::SetUpTestSuite()
{
    SetUpCard(::testing::UnitTest::GetInstance()->current_test_suite()->name());
}

void CardTest::SetUp()
{
    ASSERT_EQ(Ctl("reset"), 0);
    ASSERT_EQ(Ctl("log on"), 0);
    ClearLog();
}

int Ctl(const std::string &args)
{
    return softcard_test::control(args);
}

std::string CallLog()
{
    return softcard_test::readFile(g_state + ".log");
}

void ClearLog()
{
    softcard_test::removeFile(g_state + ".log");
}

int CountCalls(const char *function)
{
    const std::string log = CallLog();
    const std::string needle = std::string("] ") + function + (*function ? "(" : "C_");
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++n;
    return n;
}

Acquired Acquire(const char *container, DWORD flags)
{
    Acquired a = {FALSE, 0, 0};
    SetLastError(0xdeadbeef);
    a.ok = CryptAcquireContextA(&a.prov, container, kProvider, PROV_RSA_FULL, flags);
    a.error = GetLastError();
    return a;
}

BOOL Release(HCRYPTPROV prov, DWORD *error)
{
    SetLastError(0xdeadbeef);
    const BOOL ok = CryptReleaseContext(prov, 0);
    if (error)
        *error = GetLastError();
    return ok;
}

Param GetParam(HCRYPTPROV prov, DWORD param, DWORD flags)
{
    Param p = {FALSE, 0, std::string(), 0};
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    if (!CryptGetProvParam(prov, param, nullptr, &size, flags)) {
        p.error = GetLastError();
        return p;
    }
    std::vector<BYTE> buffer(size ? size : 1);
    p.size = size;
    SetLastError(0xdeadbeef);
    p.ok = CryptGetProvParam(prov, param, buffer.data(), &size, flags);
    p.error = GetLastError();
    if (p.ok)
        p.bytes.assign(reinterpret_cast<char *>(buffer.data()), size);
    return p;
}

Bytes ReadArtifact(const char *name)
{
    std::ifstream in(ArtifactPath(name), std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(b.empty()) << name << " missing from " << CSP_TEST_ARTIFACTS;
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
    const std::string log = CallLog();
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
    const std::string container = name, provider = kProvider;
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

} // namespace csp_test
