// The control beside zeb_churn_bench (benchmark, not a test): only the calls
// the tray makes for one card insertion and removal, with the same counts,
// in one process, and that process's own growth per cycle. What grows here
// grows without any of the tray's code.
//   zeb_churn_control <cycles> <warm-up> [store] [acquire] [keyusage] [scard] [threads|worker]
//                     [pkcs11]
//     store    per insertion each of the card's certificates added to the
//              user's "MY" store with its binding (CertOpenSystemStoreW,
//              CertSetCertificateContextProperty, CertAddCertificateContextToStore
//              replacing), per removal each deleted through the registry store
//     acquire  per certificate added, a verification context acquired on the
//              card provider and released, while one held from the start stays
//     keyusage per certificate added, its key usage read from a context of
//              its own, as the tray reads it for the binding's key spec
//     scard    per certificate added, the card provider's name asked of the
//              smart-card database twice, as the tray asks it
//     threads  each insertion and each removal on a thread of its own, as the
//              tray's re-initialisation threads (polling mode)
//     worker   every cycle on one other thread than the held context's, as
//              the tray's reader monitor (event-driven mode); with neither,
//              every cycle runs on the main thread, which holds the context
//     pkcs11   per insertion the card read as the tray reads it (C_Initialize,
//              session, certificate search, values and subjects, C_Finalize)
// With none of them the cycle does nothing (the measurement's own noise).
// The bindings carry the card's own container names, as the tray's: what
// crypt32 keeps per addition grows with them.
// The certificates come from the card in the software card's default state.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "certificate_rules.h"
#include "certificate_search.h"
#include "pkcs11_loader.h"
#include "process_counters.h"
#include "scard_api.h"

namespace {

const wchar_t kProvider[] = L"Ovrane Cryptographic Provider";

struct Options {
    bool store = false, acquire = false, keyUsage = false, scard = false, threads = false, worker = false,
         pkcs11 = false;
};

// The card provider's name from the smart-card database, as the tray finds it.
void AskProviderName()
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return;
    wchar_t name[260];
    DWORD length = 260;
    SCardGetCardTypeProviderNameW(context, L"Velcarte VEL3", SCARD_PROVIDER_CSP, name, &length);
    SCardReleaseContext(context);
}

// One card certificate: its DER value and the container name of its binding.
struct CardCert {
    std::vector<BYTE> der;
    std::wstring container;
};

// The card's certificates, read through the library as the tray reads them.
bool ReadCard(std::vector<CardCert> *certs)
{
    CK_FUNCTION_LIST *f = nullptr;
    if (vel::ThePkcs11Loader().Bind(&f) != CKR_OK)
        return false;
    CK_RV rv = f->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return false;
    CK_SLOT_ID slots[20];
    CK_ULONG count = 20;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE handles[10];
    CK_ULONG found = 0;
    bool ok = f->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && count > 0 &&
              f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK &&
              vel::FindX509Certificates(f, session, handles, 10, &found) == CKR_OK && found > 0;
    certs->clear();
    for (CK_ULONG i = 0; ok && i < found; ++i) {
        CardCert cert;
        for (CK_ATTRIBUTE_TYPE type : {CKA_VALUE, CKA_SUBJECT}) {
            CK_ATTRIBUTE a{type, nullptr, 0};
            ok = ok && f->C_GetAttributeValue(session, handles[i], &a, 1) == CKR_OK;
            std::vector<BYTE> value(ok ? a.ulValueLen : 0);
            a.pValue = value.data();
            ok = ok && f->C_GetAttributeValue(session, handles[i], &a, 1) == CKR_OK;
            char name[512] = "";
            if (ok && type == CKA_VALUE)
                cert.der = value;
            else if (ok &&
                     certrules::ContainerNameFromSubject(value.data(), value.size(), name, sizeof name) >= 0)
                cert.container.assign(name, name + strlen(name));
        }
        certs->push_back(cert);
    }
    if (session)
        f->C_CloseSession(session);
    f->C_Finalize(nullptr);
    return ok;
}

// One certificate into "MY", bound to the card provider, as the tray adds it.
void AddToStore(const CardCert &cert)
{
    const std::vector<BYTE> &der = cert.der;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    if (store && c) {
        std::wstring container = cert.container;
        CRYPT_KEY_PROV_INFO binding{};
        binding.pwszContainerName = &container[0];
        binding.pwszProvName = const_cast<wchar_t *>(kProvider);
        binding.dwProvType = PROV_RSA_FULL;
        binding.dwKeySpec = AT_KEYEXCHANGE;
        CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &binding);
        CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
    if (c)
        CertFreeCertificateContext(c);
    if (store)
        CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
}

// One certificate's addition as the tray makes it: added (`store`) inside a
// verification context on the card provider (`acquire`).
void Add(const CardCert &cert, bool store, bool acquire)
{
    HCRYPTPROV prov = 0;
    if (acquire && !CryptAcquireContextW(&prov, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        prov = 0;
    if (store)
        AddToStore(cert);
    if (prov)
        CryptReleaseContext(prov, 0);
}

// One certificate out of "MY" by issuer and serial, as the tray removes it.
void Remove(const CardCert &cert)
{
    const std::vector<BYTE> &der = cert.der;
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, L"MY");
    if (c && store) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                                                          c->pCertInfo, nullptr);
        if (found)
            CertDeleteCertificateFromStore(found);
    }
    if (store)
        CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    if (c)
        CertFreeCertificateContext(c);
}

struct Step {
    const Options *options;
    const std::vector<CardCert> *certs;
    bool insertion;
};

DWORD WINAPI RunStep(LPVOID p)
{
    const Step &s = *static_cast<Step *>(p);
    if (s.insertion) {
        std::vector<CardCert> read;
        if (s.options->pkcs11)
            ReadCard(&read);
        for (const CardCert &cert : *s.certs) {
            const std::vector<BYTE> &der = cert.der;
            if (s.options->keyUsage) {
                PCCERT_CONTEXT c =
                    CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
                BYTE usage[2] = {};
                if (c) {
                    CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, c->pCertInfo, usage,
                                            sizeof usage);
                    CertFreeCertificateContext(c);
                }
            }
            if (s.options->scard) {
                AskProviderName();
                AskProviderName();
            }
            Add(cert, s.options->store, s.options->acquire);
        }
    } else if (s.options->store) {
        for (const CardCert &cert : *s.certs)
            Remove(cert);
    }
    return 0;
}

void Cycle(const Options &o, const std::vector<CardCert> &certs)
{
    for (bool insertion : {false, true}) {
        Step step{&o, &certs, insertion};
        if (!o.threads) {
            RunStep(&step);
            continue;
        }
        HANDLE t = CreateThread(nullptr, 0, RunStep, &step, 0, nullptr);
        if (t) {
            WaitForSingleObject(t, INFINITE);
            CloseHandle(t);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: zeb_churn_control <cycles> <warm-up> [store] [acquire] [keyusage] [scard] "
                        "[threads|worker] [pkcs11]\n");
        return 2;
    }
    const int cycles = atoi(argv[1]), warmUp = atoi(argv[2]);
    Options o;
    std::string what;
    for (int i = 3; i < argc; ++i) {
        bool *flag = !strcmp(argv[i], "store")      ? &o.store
                     : !strcmp(argv[i], "acquire")  ? &o.acquire
                     : !strcmp(argv[i], "keyusage") ? &o.keyUsage
                     : !strcmp(argv[i], "scard")    ? &o.scard
                     : !strcmp(argv[i], "threads")  ? &o.threads
                     : !strcmp(argv[i], "worker")   ? &o.worker
                     : !strcmp(argv[i], "pkcs11")   ? &o.pkcs11
                                                    : nullptr;
        if (!flag) {
            fprintf(stderr, "unknown: %s\n", argv[i]);
            return 2;
        }
        *flag = true;
        what += std::string(what.empty() ? "" : " ") + argv[i];
    }
    std::vector<CardCert> certs;
    if (!ReadCard(&certs)) {
        fprintf(stderr, "the card cannot be read\n");
        return 1;
    }
    HCRYPTPROV held = 0; // as the tray's: the provider stays loaded
    if (o.acquire && !CryptAcquireContextW(&held, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        fprintf(stderr, "the card provider cannot be acquired (%lu)\n", GetLastError());
        return 1;
    }
    struct Run {
        const Options *o;
        const std::vector<CardCert> *certs;
        int cycles, warmUp;
        SIZE_T bytesAt, bytes;
        DWORD handlesAt, handles;
    } run{&o, &certs, cycles, warmUp, 0, 0, 0, 0};
    auto runAll = [](LPVOID p) -> DWORD {
        Run &r = *static_cast<Run *>(p);
        for (int i = 0; i < r.warmUp + r.cycles; ++i) {
            if (i == r.warmUp) {
                r.bytesAt = vel_test::PrivateBytes();
                r.handlesAt = vel_test::OpenHandles();
            }
            Cycle(*r.o, *r.certs);
        }
        r.bytes = vel_test::PrivateBytes();
        r.handles = vel_test::OpenHandles();
        return 0;
    };
    if (o.worker) {
        HANDLE t = CreateThread(nullptr, 0, runAll, &run, 0, nullptr);
        if (!t)
            return 1;
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    } else {
        runAll(&run);
    }
    SIZE_T bytesAt = run.bytesAt, bytes = run.bytes;
    DWORD handlesAt = run.handlesAt, handles = run.handles;
    printf(
        "control [%s], %zu certificates, %d cycles after %d of warm-up: private bytes %zu -> %zu (%+.2f KB "
        "per cycle), handles %lu -> %lu (%+.2f per cycle)\n",
        what.empty() ? "nothing" : what.c_str(), certs.size(), cycles, warmUp, bytesAt, bytes,
        ((double)bytes - (double)bytesAt) / 1024.0 / cycles, (unsigned long)handlesAt, (unsigned long)handles,
        ((double)handles - (double)handlesAt) / cycles);
    if (held)
        CryptReleaseContext(held, 0);
    for (const CardCert &cert : certs)
        Remove(cert);
    return 0;
}
