// The road of one request: signs a file with the card's key through the
// certificate the tray propagated, as a CryptoAPI application does
// (CryptAcquireCertificatePrivateKey, SHA-256 hash, CryptSignHash), and
// writes the signature in the usual big-endian order with the certificate,
// for a check by another tool.
//   zeb_sign <file> <signature out> <certificate out> [PIN]
// Exit 0 when signed; the failing step and its error otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
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

    // The propagated certificate whose key the provider serves by its name:
    // the authentication one (key exchange).
    std::vector<BYTE> der;
    for (const auto &b : zebtools::ReadBoundCerts())
        if (b.keySpec == AT_KEYEXCHANGE)
            der = b.der;
    if (der.empty()) {
        fprintf(stderr, "no propagated key-exchange certificate in \"MY\"\n");
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
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash))
        return Fail("CryptCreateHash");
    if (!CryptHashData(hash, data.data(), (DWORD)data.size(), 0))
        return Fail("CryptHashData");
    DWORD sigLen = 0;
    if (!CryptSignHashA(hash, keySpec, nullptr, 0, nullptr, &sigLen))
        return Fail("CryptSignHash (size)");
    std::vector<BYTE> sig(sigLen);
    if (!CryptSignHashA(hash, keySpec, nullptr, 0, sig.data(), &sigLen))
        return Fail("CryptSignHash");
    sig.resize(sigLen);
    std::reverse(sig.begin(), sig.end()); // CryptoAPI gives it little-endian
    CryptDestroyHash(hash);
    if (mustFree)
        CryptReleaseContext(prov, 0);
    if (!WriteFileBytes(argv[2], sig.data(), sig.size()))
        return Fail("writing the signature");
    if (!WriteFileBytes(argv[3], cert->pbCertEncoded, cert->cbCertEncoded))
        return Fail("writing the certificate");
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    printf("signed %s: %lu-byte signature\n", argv[1], sigLen);
    return 0;
}
