// The main job's view of the tray program: starts ZEB.exe, waits until the
// card in the reader has its certificates in the user's "MY" store, and
// prints them as any CryptoAPI application reads them back.
//   zeb_demo <ZEB.exe path> [seconds]   exit 0 when certificates were seen
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kProvider[] = L"Ovrane Cryptographic Provider";

struct Bound {
  std::string subject;
  std::wstring container;
  DWORD keySpec;
  DWORD provType;
};

std::vector<Bound> ReadStore() {
  std::vector<Bound> out;
  HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
  if (!store) return out;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
    std::vector<BYTE> data(size);
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &size)) continue;
    auto *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(data.data());
    if (!info->pwszProvName || wcscmp(info->pwszProvName, kProvider) != 0) continue;
    char subject[512] = "";
    CertNameToStrA(X509_ASN_ENCODING, &c->pCertInfo->Subject, CERT_X500_NAME_STR, subject, sizeof subject);
    out.push_back({subject, info->pwszContainerName ? info->pwszContainerName : L"", info->dwKeySpec,
                   info->dwProvType});
  }
  CertCloseStore(store, 0);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: zeb_demo <ZEB.exe> [seconds]\n");
    return 2;
  }
  DWORD seconds = argc > 2 ? (DWORD)atoi(argv[2]) : 60;
  std::string command = std::string("\"") + argv[1] + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "ZEB.exe could not start (error %lu)\n", GetLastError());
    return 1;
  }
  CloseHandle(pi.hThread);
  printf("ZEB.exe started (process %lu), waiting for the card's certificates...\n", pi.dwProcessId);
  fflush(stdout);
  // Certificates come after the tray's start-up pause and first scan.
  std::vector<Bound> bound;
  DWORD start = GetTickCount();
  size_t last = 0;
  while (GetTickCount() - start < seconds * 1000) {
    if (WaitForSingleObject(pi.hProcess, 500) == WAIT_OBJECT_0) {
      fprintf(stderr, "ZEB.exe ended before propagating\n");
      return 1;
    }
    bound = ReadStore();
    if (!bound.empty() && bound.size() == last) break;  // the same count twice: the card is done
    last = bound.size();
  }
  CloseHandle(pi.hProcess);
  if (bound.empty()) {
    fprintf(stderr, "no certificate propagated within %lu s\n", seconds);
    return 1;
  }
  printf("Certificates propagated into the user's \"MY\" store:\n");
  for (const auto &b : bound) {
    printf("  subject   %s\n", b.subject.c_str());
    printf("  provider  %ls (type %lu)\n", kProvider, b.provType);
    printf("  container %ls\n", b.container.c_str());
    printf("  key spec  %lu (%s)\n\n", b.keySpec,
           b.keySpec == AT_SIGNATURE ? "AT_SIGNATURE" : b.keySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE" : "none");
  }
  return 0;
}
