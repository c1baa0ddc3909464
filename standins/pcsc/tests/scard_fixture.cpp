#include "scard_fixture.h"

#include <cstdio>
#include <cstdlib>

namespace pcsc_test {

namespace {

HMODULE module()
{
    static HMODULE m = LoadLibraryA("winscard.dll");
    if (!m) {
        std::fprintf(stderr, "cannot load winscard.dll\n");
        std::exit(2);
    }
    return m;
}

template <class T>
void bind(T &slot, const char *name)
{
    FARPROC p = GetProcAddress(module(), name);
    if (!p) {
        std::fprintf(stderr, "winscard.dll lacks %s\n", name);
        std::exit(2);
    }
    slot = reinterpret_cast<T>(reinterpret_cast<void *>(p));
}


} // namespace

const std::vector<const char *> &exportNames()
{
    static const std::vector<const char *> names = {
        "SCardEstablishContext", "SCardReleaseContext", "SCardIsValidContext", "SCardCancel",
        "SCardFreeMemory", "SCardListReadersA", "SCardListReadersW", "SCardGetStatusChangeA",
        "SCardGetStatusChangeW", "SCardConnectA", "SCardConnectW", "SCardReconnect", "SCardDisconnect",
        "SCardBeginTransaction", "SCardEndTransaction", "SCardStatusA", "SCardStatusW", "SCardTransmit",
        "SCardGetCardTypeProviderNameA", "SCardGetCardTypeProviderNameW", "SCardAccessStartedEvent",
        "SCardReleaseStartedEvent", "g_rgSCardT0Pci", "g_rgSCardT1Pci", "g_rgSCardRawPci"};
    return names;
}

const Api &api()
{
    static Api a = [] {
        Api x;
        bind(x.establish, "SCardEstablishContext");
        bind(x.release, "SCardReleaseContext");
        bind(x.isValid, "SCardIsValidContext");
        bind(x.cancel, "SCardCancel");
        bind(x.freeMemory, "SCardFreeMemory");
        bind(x.listReadersA, "SCardListReadersA");
        bind(x.listReadersW, "SCardListReadersW");
        bind(x.statusChangeA, "SCardGetStatusChangeA");
        bind(x.statusChangeW, "SCardGetStatusChangeW");
        bind(x.connectA, "SCardConnectA");
        bind(x.connectW, "SCardConnectW");
        bind(x.reconnect, "SCardReconnect");
        bind(x.disconnect, "SCardDisconnect");
        bind(x.beginTransaction, "SCardBeginTransaction");
        bind(x.endTransaction, "SCardEndTransaction");
        bind(x.statusA, "SCardStatusA");
        bind(x.statusW, "SCardStatusW");
        bind(x.transmit, "SCardTransmit");
        bind(x.providerA, "SCardGetCardTypeProviderNameA");
        bind(x.providerW, "SCardGetCardTypeProviderNameW");
        bind(x.t0Pci, "g_rgSCardT0Pci");
        return x;
    }();
    return a;
}

std::string usePrivateState(const char *tag)
{
    char dir[MAX_PATH], folder[MAX_PATH + 64];
    GetTempPathA(sizeof(dir), dir);
    std::snprintf(folder, sizeof(folder), "%spcsc-%s-%lu", dir, tag, GetCurrentProcessId());
    CreateDirectoryA(folder, nullptr);
    std::string path = std::string(folder) + "\\softcard.state";
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".pcsc").c_str());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", path.c_str());
    _putenv_s("VEL_SOFTCARD_STATE", path.c_str());
    return path;
}

int softcardCtl(const std::string &args)
{
    return vel_test::runCommandLine(std::string("\"") + PCSC_TEST_SOFTCARD_CTL + "\" " + args);
}

int pcscCtl(const std::string &args)
{
    return vel_test::runCommandLine(std::string("\"") + PCSC_TEST_PCSC_CTL + "\" " + args);
}

std::string cardImage(const char *name)
{
    return std::string(PCSC_TEST_CARDS_DIR) + "\\" + name + ".card";
}


std::vector<unsigned char> send(SCARDHANDLE card, const std::vector<unsigned char> &apdu, LONG *rv, DWORD receive)
{
    std::vector<unsigned char> out(receive);
    DWORD n = receive;
    LONG r = api().transmit(card, api().t0Pci, apdu.data(), DWORD(apdu.size()), nullptr, out.data(), &n);
    if (rv)
        *rv = r;
    if (r != SCARD_S_SUCCESS)
        return {};
    out.resize(n);
    return out;
}

} // namespace pcsc_test
