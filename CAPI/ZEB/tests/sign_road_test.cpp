// The road of one request from end to end: ZEB.exe propagates the card's
// certificates, an application signs a message with the signature
// certificate's key through its binding (CryptSignMessage), and the message
// is left for openssl to verify on the host (check_signed_message.sh).
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "certificate_rules.h"
#include "loaded_library.h"
#include "store_view.h"
#include "tray_process.h"

#ifndef ZEB_SIGN_ROAD_DIR
#error ZEB_SIGN_ROAD_DIR must name the folder shared with the openssl check
#endif

using namespace zebtest;

namespace {

const DWORD kFirstScanMs = 30000;
const char kMessage[] = "Signed through the signature certificate the tray propagated.\n";

bool WriteBytes(const std::string &path, const BYTE *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

class SignRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        softcard_test::usePrivateState("zebsignroad"); // inherited by ZEB.exe
        ASSERT_TRUE(RegisterProvider());
        RemoveSettingsKeys();
        SetUserDword("watchOnTimer", 1);
        ClearMy();
    }
    void TearDown() override
    {
        ClearMy();
        RemoveSettingsKeys();
    }
};

TEST_F(SignRoad, TheSignatureCertificateSignsAMessageThroughItsBinding)
{
    CreateDirectoryA(ZEB_SIGN_ROAD_DIR, nullptr);
    const std::string dir = ZEB_SIGN_ROAD_DIR;
    DeleteFileA((dir + "\\message.p7s").c_str());
    TrayProcess tray;
    ASSERT_TRUE(tray.Start());
    ASSERT_TRUE(WaitUntil([] { return BoundDers() == Certs({"auth", "sign"}); }, kFirstScanMs));

    // The binding the tray wrote: the signature key under the certificate's own name.
    const std::vector<BYTE> signDer = CardCert("sign");
    std::wstring container;
    for (const auto &b : BoundCerts())
        if (b.der == signDer) {
            EXPECT_EQ(DWORD(AT_SIGNATURE), b.keySpec);
            container = b.container;
        }
    PCCERT_CONTEXT parsed =
        CertCreateCertificateContext(X509_ASN_ENCODING, signDer.data(), DWORD(signDer.size()));
    ASSERT_TRUE(parsed);
    char own[512] = {};
    certrules::ContainerNameFromSubject(parsed->pCertInfo->Subject.pbData, parsed->pCertInfo->Subject.cbData,
                                        own, sizeof own);
    EXPECT_EQ(std::wstring(own, own + strlen(own)), container);

    // Without a prompt first: the provider serves the signature key under that name.
    {
        HCRYPTPROV silent = 0;
        const std::string name(container.begin(), container.end());
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CryptAcquireContextA(&silent, name.c_str(), "Ovrane Cryptographic Provider",
                                         PROV_RSA_FULL, CRYPT_SILENT))
            << std::hex << GetLastError();
        HCRYPTKEY key = 0;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(CryptGetUserKey(silent, AT_SIGNATURE, &key)) << std::hex << GetLastError();
        CryptDestroyKey(key);
        CryptReleaseContext(silent, 0);
    }

    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT cert =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, parsed, nullptr);
    CertFreeCertificateContext(parsed);
    ASSERT_TRUE(cert);
    // The PIN as a parameter: the holder stays logged in while this context is held.
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL mustFree = FALSE;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &mustFree))
        << std::hex << GetLastError();
    EXPECT_EQ(DWORD(AT_SIGNATURE), keySpec);
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0))
        << std::hex << GetLastError();

    CRYPT_SIGN_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = cert;
    para.HashAlgorithm.pszObjId = const_cast<char *>(szOID_NIST_sha256);
    para.cMsgCert = 1;
    para.rgpMsgCert = &cert;
    const BYTE *parts[] = {reinterpret_cast<const BYTE *>(kMessage)};
    DWORD sizes[] = {DWORD(sizeof kMessage - 1)};
    DWORD length = 0;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptSignMessage(&para, FALSE, 1, parts, sizes, nullptr, &length))
        << std::hex << GetLastError();
    std::vector<BYTE> signedMessage(length);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(CryptSignMessage(&para, FALSE, 1, parts, sizes, signedMessage.data(), &length))
        << std::hex << GetLastError();
    signedMessage.resize(length);
    ASSERT_TRUE(WriteBytes(dir + "\\message.p7s", signedMessage.data(), signedMessage.size()));
    ASSERT_TRUE(
        WriteBytes(dir + "\\message.txt", reinterpret_cast<const BYTE *>(kMessage), sizeof kMessage - 1));
    if (mustFree)
        CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);

    tray.Close();
    EXPECT_EQ(0, tray.Wait(30000));
}

} // namespace
