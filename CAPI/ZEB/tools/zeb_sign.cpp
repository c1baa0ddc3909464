// The road of one request: signs a file with the card's signature key
// through the signature certificate the tray propagated, as a CryptoAPI mail
// or document application does (CryptSignMessage, SHA-256, the key reached
// through the certificate's binding), and writes the detached CMS signature
// and the certificate, for a check by another tool (openssl cms -verify).
//   zeb_sign <file> <signature out> <certificate out> [PIN]
// Exit 0 when signed; the failing step and its error otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bound_certs.h"

namespace {

int Fail(const char *step)
{
    fprintf(stderr, "%s failed: 0x%08lx\n", step, GetLastError());
    return 1;
}

bool ReadFileBytes(const char *path, std::vector<BYTE> *out)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    BYTE buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

bool WriteFileBytes(const char *path, const BYTE *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: zeb_sign <file> <signature out> <certificate out> [PIN]\n");
        return 2;
    }
    const char *pin = argc > 4 ? argv[4] : "1234";
    std::vector<BYTE> data;
    if (!ReadFileBytes(argv[1], &data))
        return Fail("reading the file");

    // The propagated signature certificate (non-repudiation: AT_SIGNATURE).
    std::vector<BYTE> der;
    for (const auto &b : zebtools::ReadBoundCerts())
        if (b.keySpec == AT_SIGNATURE)
            der = b.der;
    if (der.empty()) {
        fprintf(stderr, "no propagated signature certificate in \"MY\"\n");
        return 1;
    }
    // The store's own context: it carries the key-provider binding.
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    PCCERT_CONTEXT cert = store && wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                                       CERT_FIND_EXISTING, wanted, nullptr)
                                          : nullptr;
    if (wanted)
        CertFreeCertificateContext(wanted);
    if (!cert)
        return Fail("finding the certificate");
    // The PIN given once as a parameter: the holder stays logged in while this
    // context is held, and the signature below reaches the same card.
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL mustFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &mustFree))
        return Fail("CryptAcquireCertificatePrivateKey");
    char name[128] = "";
    DWORD nameLen = sizeof name;
    CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE *>(name), &nameLen, 0);
    printf("private key reached through provider \"%s\", key spec %lu\n", name, keySpec);
    if (!CryptSetProvParam(prov, keySpec == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN,
                           reinterpret_cast<const BYTE *>(pin), 0))
        return Fail("CryptSetProvParam (PIN)");

    CRYPT_SIGN_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = cert;
    para.HashAlgorithm.pszObjId = const_cast<char *>(szOID_NIST_sha256);
    para.cMsgCert = 1;
    para.rgpMsgCert = &cert;
    const BYTE *parts[] = {data.data()};
    DWORD partSizes[] = {(DWORD)data.size()};
    DWORD sigLen = 0;
    if (!CryptSignMessage(&para, TRUE, 1, parts, partSizes, nullptr, &sigLen))
        return Fail("CryptSignMessage (size)");
    std::vector<BYTE> sig(sigLen);
    if (!CryptSignMessage(&para, TRUE, 1, parts, partSizes, sig.data(), &sigLen))
        return Fail("CryptSignMessage");
    sig.resize(sigLen);
    if (mustFree)
        CryptReleaseContext(prov, 0);
    if (!WriteFileBytes(argv[2], sig.data(), sig.size()))
        return Fail("writing the signature");
    if (!WriteFileBytes(argv[3], cert->pbCertEncoded, cert->cbCertEncoded))
        return Fail("writing the certificate");
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    printf("signed %s: %lu-byte CMS signature\n", argv[1], sigLen);
    return 0;
}
