#include "scard_fixture.h"

#include <cstdio>
#include <cstdlib>

namespace pcsc_test {

namespace {

HMODULE Module()
{
    static HMODULE m = LoadLibraryA("winscard.dll");
    if (!m) {
        std::fprintf(stderr, "cannot load winscard.dll\n");
        std::exit(2);
    }
    return m;
}

template <class T> void Bind(T &slot, const char *name)
{
    FARPROC p = GetProcAddress(Module(), name);
    if (!p) {
        std::fprintf(stderr, "winscard.dll lacks %s\n", name);
        std::exit(2);
    }
    slot = reinterpret_cast<T>(reinterpret_cast<void *>(p));
}

} // namespace

const std::vector<const char *> &ExportNames()
{
    static const std::vector<const char *> names = {"SCardEstablishContext",
                                                    "SCardReleaseContext",
                                                    "SCardIsValidContext",
                                                    "SCardCancel",
                                                    "SCardFreeMemory",
                                                    "SCardListReadersA",
                                                    "SCardListReadersW",
                                                    "SCardGetStatusChangeA",
                                                    "SCardGetStatusChangeW",
                                                    "SCardConnectA",
                                                    "SCardConnectW",
                                                    "SCardReconnect",
                                                    "SCardDisconnect",
                                                    "SCardBeginTransaction",
                                                    "SCardEndTransaction",
                                                    "SCardStatusA",
                                                    "SCardStatusW",
                                                    "SCardTransmit",
                                                    "SCardGetCardTypeProviderNameA",
                                                    "SCardGetCardTypeProviderNameW",
                                                    "SCardAccessStartedEvent",
                                                    "SCardReleaseStartedEvent",
                                                    "g_rgSCardT0Pci",
                                                    "g_rgSCardT1Pci",
                                                    "g_rgSCardRawPci"};
    return names;
}

const Api &Winscard()
{
    static Api a = [] {
        Api x;
        Bind(x.establish, "SCardEstablishContext");
        Bind(x.release, "SCardReleaseContext");
        Bind(x.isValid, "SCardIsValidContext");
        Bind(x.cancel, "SCardCancel");
        Bind(x.freeMemory, "SCardFreeMemory");
        Bind(x.listReadersA, "SCardListReadersA");
        Bind(x.listReadersW, "SCardListReadersW");
        Bind(x.statusChangeA, "SCardGetStatusChangeA");
        Bind(x.statusChangeW, "SCardGetStatusChangeW");
        Bind(x.connectA, "SCardConnectA");
        Bind(x.connectW, "SCardConnectW");
        Bind(x.reconnect, "SCardReconnect");
        Bind(x.disconnect, "SCardDisconnect");
        Bind(x.beginTransaction, "SCardBeginTransaction");
        Bind(x.endTransaction, "SCardEndTransaction");
        Bind(x.statusA, "SCardStatusA");
        Bind(x.statusW, "SCardStatusW");
        Bind(x.transmit, "SCardTransmit");
        Bind(x.providerA, "SCardGetCardTypeProviderNameA");
        Bind(x.providerW, "SCardGetCardTypeProviderNameW");
        Bind(x.t0Pci, "g_rgSCardT0Pci");
        return x;
    }();
    return a;
}

std::string UsePrivateState(const char *tag)
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

int SoftcardCtl(const std::string &args)
{
    return vel_test::RunCommandLine(std::string("\"") + PCSC_TEST_SOFTCARD_CTL + "\" " + args);
}

int PcscCtl(const std::string &args)
{
    return vel_test::RunCommandLine(std::string("\"") + PCSC_TEST_PCSC_CTL + "\" " + args);
}

std::string CardImage(const char *name)
{
    return std::string(PCSC_TEST_CARDS_DIR) + "\\" + name + ".card";
}

std::vector<unsigned char> Send(SCARDHANDLE card, const std::vector<unsigned char> &apdu, LONG *rv,
                                DWORD receive)
{
    std::vector<unsigned char> out(receive);
    DWORD n = receive;
    LONG r =
        Winscard().transmit(card, Winscard().t0Pci, apdu.data(), DWORD(apdu.size()), nullptr, out.data(), &n);
    if (rv)
        *rv = r;
    if (r != SCARD_S_SUCCESS)
        return {};
    out.resize(n);
    return out;
}

} // namespace pcsc_test
