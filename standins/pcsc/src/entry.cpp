// The exported entry points of the PC/SC stand-in. Each one checks the
// pointers it needs, converts texts (wide variants), dispatches to the
// engine and catches: no exception ever reaches the caller.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine.h"
#include "scard_api.h"

using pcsc::Engine;

namespace {

template <class Body> LONG Guarded(Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return SCARD_E_NO_MEMORY;
    } catch (...) {
        return SCARD_F_INTERNAL_ERROR;
    }
}

// The one size-query protocol of PC/SC: no buffer gives the size (in
// elements), SCARD_AUTOALLOCATE hands out memory for SCardFreeMemory
// (through `buffer`, which then points at a pointer), a short buffer gives
// SCARD_E_INSUFFICIENT_BUFFER and the size needed.
template <class T> LONG Deliver(const T *data, size_t count, void *buffer, DWORD *pcount)
{
    if (!pcount)
        return SCARD_E_INVALID_PARAMETER;
    if (!buffer) {
        *pcount = DWORD(count);
        return SCARD_S_SUCCESS;
    }
    if (*pcount == SCARD_AUTOALLOCATE) {
        T *p = static_cast<T *>(Engine::Instance().Allocate(count * sizeof(T)));
        if (!p)
            return SCARD_E_NO_MEMORY;
        std::memcpy(p, data, count * sizeof(T));
        *static_cast<T **>(buffer) = p;
        *pcount = DWORD(count);
        return SCARD_S_SUCCESS;
    }
    if (*pcount < count) {
        *pcount = DWORD(count);
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, data, count * sizeof(T));
    *pcount = DWORD(count);
    return SCARD_S_SUCCESS;
}

// Names one after another, each NUL-terminated, and a final NUL.
std::string MultiString(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names) {
        out += n;
        out += '\0';
    }
    out += '\0';
    return out;
}

std::wstring Widen(const std::string &s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), &out[0], n);
    return out;
}

// A caller's text, bounded: false when it does not end within the bound.
bool Narrow(const wchar_t *w, std::string &out)
{
    size_t n = wcsnlen(w, 1024);
    if (n == 1024)
        return false;
    out.clear();
    if (n == 0)
        return true;
    int m = WideCharToMultiByte(CP_ACP, 0, w, int(n), nullptr, 0, nullptr, nullptr);
    if (m <= 0)
        return false;
    out.assign(size_t(m), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, int(n), &out[0], m, nullptr, nullptr);
    return true;
}

bool Bounded(const char *s, std::string &out)
{
    size_t n = strnlen(s, 1024);
    if (n == 1024)
        return false;
    out.assign(s, n);
    return true;
}

// Status change for either character width.
template <class Entry, class Name>
LONG StatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, Entry *states, DWORD count, Name toNarrow)
{
    if (!states && count > 0)
        return SCARD_E_INVALID_PARAMETER;
    std::vector<pcsc::StatusQuery> queries(count);
    for (DWORD i = 0; i < count; ++i) {
        if (!states[i].szReader || !toNarrow(states[i].szReader, queries[i].reader))
            return SCARD_E_INVALID_VALUE;
        queries[i].current = states[i].dwCurrentState;
    }
    LONG rv = Engine::Instance().GetStatusChange(hContext, dwTimeout, queries);
    if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT) {
        for (DWORD i = 0; i < count; ++i) {
            states[i].dwEventState = queries[i].event;
            size_t n = queries[i].atr.size() < sizeof(states[i].rgbAtr) ? queries[i].atr.size()
                                                                        : sizeof(states[i].rgbAtr);
            states[i].cbAtr = DWORD(n);
            if (n)
                std::memcpy(states[i].rgbAtr, queries[i].atr.data(), n);
        }
    }
    return rv;
}

template <class Char, class Convert>
LONG StatusOfCard(SCARDHANDLE hCard, Char *names, DWORD *pcchNames, DWORD *pdwState, DWORD *pdwProtocol,
                  BYTE *pbAtr, DWORD *pcbAtr, Convert convert)
{
    pcsc::CardStatus s;
    LONG rv = Engine::Instance().Status(hCard, s);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    if (pcchNames) {
        auto text = convert(MultiString({s.reader}));
        if ((rv = Deliver(text.data(), text.size(), names, pcchNames)) != SCARD_S_SUCCESS)
            return rv;
    }
    if (pcbAtr && (rv = Deliver(s.atr.data(), s.atr.size(), pbAtr, pcbAtr)) != SCARD_S_SUCCESS)
        return rv;
    if (pdwState)
        *pdwState = s.state;
    if (pdwProtocol)
        *pdwProtocol = s.protocol;
    return SCARD_S_SUCCESS;
}

std::string Same(const std::string &s)
{
    return s;
}

// Reader list for either character width.
template <class Char, class Convert>
LONG ListReadersAs(SCARDCONTEXT hContext, Char *mszReaders, DWORD *pcchReaders, Convert convert)
{
    if (!pcchReaders)
        return SCARD_E_INVALID_PARAMETER;
    std::vector<std::string> names;
    LONG rv = Engine::Instance().ListReaders(hContext, names);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    auto text = convert(MultiString(names));
    return Deliver(text.data(), text.size(), mszReaders, pcchReaders);
}

template <class Char, class Name>
LONG ConnectAs(SCARDCONTEXT hContext, const Char *szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
               SCARDHANDLE *phCard, DWORD *pdwActiveProtocol, Name toNarrow)
{
    std::string reader;
    if (!szReader || !phCard || !pdwActiveProtocol)
        return SCARD_E_INVALID_PARAMETER;
    if (!toNarrow(szReader, reader))
        return SCARD_E_INVALID_VALUE;
    return Engine::Instance().Connect(hContext, reader, dwShareMode, dwPreferredProtocols, *phCard,
                                      *pdwActiveProtocol);
}

template <class Char, class Name, class Convert>
LONG ProviderAs(SCARDCONTEXT hContext, const Char *szCardName, DWORD dwProviderId, Char *szProvider,
                DWORD *pcchProvider, Name toNarrow, Convert convert)
{
    std::string card, provider;
    if (!szCardName || !pcchProvider)
        return SCARD_E_INVALID_PARAMETER;
    if (!toNarrow(szCardName, card))
        return SCARD_E_INVALID_VALUE;
    LONG rv = Engine::Instance().CardTypeProvider(hContext, card, dwProviderId, provider);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    auto text = convert(provider);
    return Deliver(text.c_str(), text.size() + 1, szProvider, pcchProvider);
}

} // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

// Scope in; a new context out. SCARD_E_INVALID_VALUE for an unknown scope.
LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext)
{
    return Guarded([&] {
        if (!phContext)
            return SCARD_E_INVALID_PARAMETER;
        ULONG_PTR context = 0;
        LONG rv = Engine::Instance().Establish(dwScope, context);
        if (rv == SCARD_S_SUCCESS)
            *phContext = context;
        return rv;
    });
}

// Ends a context: its card handles are disconnected, its waits cancelled.
LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext)
{
    return Guarded([&] { return Engine::Instance().Release(hContext); });
}

// SCARD_S_SUCCESS for a live context, else SCARD_E_INVALID_HANDLE.
LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext)
{
    return Guarded([&] { return Engine::Instance().IsValid(hContext); });
}

// Ends the context's waiting calls now (they answer SCARD_E_CANCELLED).
LONG WINAPI SCardCancel(SCARDCONTEXT hContext)
{
    return Guarded([&] { return Engine::Instance().Cancel(hContext); });
}

// Frees what an SCARD_AUTOALLOCATE call handed out.
LONG WINAPI SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem)
{
    return Guarded([&] { return Engine::Instance().FreeMemory(hContext, pvMem); });
}

// Reader names as a multi-string (size-query protocol); groups are not
// kept apart: every reader is in every group.
LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders)
{
    return Guarded([&] { return ListReadersAs(hContext, mszReaders, pcchReaders, Same); });
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR, LPWSTR mszReaders, LPDWORD pcchReaders)
{
    return Guarded([&] { return ListReadersAs(hContext, mszReaders, pcchReaders, Widen); });
}

// Reader states in (what the caller knows), out (what is); waits up to
// dwTimeout ms (INFINITE allowed) for a difference. SCARD_E_TIMEOUT,
// SCARD_E_CANCELLED (SCardCancel, context released).
LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEA rgReaderStates,
                                  DWORD cReaders)
{
    return Guarded([&] { return StatusChange(hContext, dwTimeout, rgReaderStates, cReaders, Bounded); });
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEW rgReaderStates,
                                  DWORD cReaders)
{
    return Guarded([&] { return StatusChange(hContext, dwTimeout, rgReaderStates, cReaders, Narrow); });
}

// Connects to the card of a reader. SCARD_E_UNKNOWN_READER, SCARD_E_NO_SMARTCARD,
// SCARD_E_SHARING_VIOLATION (another handle, any process, holds what is asked).
LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    return Guarded([&] {
        return ConnectAs(hContext, szReader, dwShareMode, dwPreferredProtocols, phCard, pdwActiveProtocol,
                         Bounded);
    });
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    return Guarded([&] {
        return ConnectAs(hContext, szReader, dwShareMode, dwPreferredProtocols, phCard, pdwActiveProtocol,
                         Narrow);
    });
}

// New sharing mode and protocols; resets the card when asked (its other
// handles then answer SCARD_W_RESET_CARD until they reconnect).
LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                           DWORD dwInitialization, LPDWORD pdwActiveProtocol)
{
    return Guarded([&] {
        if (!pdwActiveProtocol)
            return SCARD_E_INVALID_PARAMETER;
        return Engine::Instance().Reconnect(hCard, dwShareMode, dwPreferredProtocols, dwInitialization,
                                            *pdwActiveProtocol);
    });
}

// Ends a card handle; SCARD_RESET_CARD / SCARD_UNPOWER_CARD reset the card.
LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
{
    return Guarded([&] { return Engine::Instance().Disconnect(hCard, dwDisposition); });
}

// Waits until no other handle holds the reader's transaction, then holds it.
LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard)
{
    return Guarded([&] { return Engine::Instance().BeginTransaction(hCard); });
}

// Ends the handle's transaction (SCARD_E_NOT_TRANSACTED when none).
LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition)
{
    return Guarded([&] { return Engine::Instance().EndTransaction(hCard, dwDisposition); });
}

// Reader name (multi-string), state, protocol and ATR of a handle's card;
// each output optional, names and ATR by the size-query protocol.
LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen)
{
    return Guarded([&] {
        return StatusOfCard(hCard, mszReaderNames, pcchReaderLen, pdwState, pdwProtocol, pbAtr, pcbAtrLen,
                            Same);
    });
}

LONG WINAPI SCardStatusW(SCARDHANDLE hCard, LPWSTR mszReaderNames, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen)
{
    return Guarded([&] {
        return StatusOfCard(hCard, mszReaderNames, pcchReaderLen, pdwState, pdwProtocol, pbAtr, pcbAtrLen,
                            Widen);
    });
}

// One command APDU out, the card's answer in. An answer longer than the
// receive buffer is SCARD_E_INSUFFICIENT_BUFFER (size needed in
// *pcbRecvLength), the buffer untouched.
LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength)
{
    return Guarded([&] {
        if (!pioSendPci || !pbSendBuffer || !pbRecvBuffer || !pcbRecvLength)
            return SCARD_E_INVALID_PARAMETER;
        std::vector<uint8_t> response;
        LONG rv =
            Engine::Instance().Transmit(hCard, pioSendPci->dwProtocol, pbSendBuffer, cbSendLength, response);
        if (rv != SCARD_S_SUCCESS)
            return rv;
        if (response.size() > *pcbRecvLength) {
            *pcbRecvLength = DWORD(response.size());
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(pbRecvBuffer, response.data(), response.size());
        *pcbRecvLength = DWORD(response.size());
        if (pioRecvPci && pioRecvPci->cbPciLength >= sizeof(SCARD_IO_REQUEST))
            pioRecvPci->dwProtocol = pioSendPci->dwProtocol;
        return SCARD_S_SUCCESS;
    });
}

// The provider the smart-card database names for a card type (size-query
// protocol). SCARD_E_UNKNOWN_CARD when the database has none.
LONG WINAPI SCardGetCardTypeProviderNameA(SCARDCONTEXT hContext, LPCSTR szCardName, DWORD dwProviderId,
                                          LPSTR szProvider, LPDWORD pcchProvider)
{
    return Guarded([&] {
        return ProviderAs(hContext, szCardName, dwProviderId, szProvider, pcchProvider, Bounded, Same);
    });
}

LONG WINAPI SCardGetCardTypeProviderNameW(SCARDCONTEXT hContext, LPCWSTR szCardName, DWORD dwProviderId,
                                          LPWSTR szProvider, LPDWORD pcchProvider)
{
    return Guarded([&] {
        return ProviderAs(hContext, szCardName, dwProviderId, szProvider, pcchProvider, Narrow, Widen);
    });
}

// The resource manager is always running here: an event already set.
HANDLE WINAPI SCardAccessStartedEvent(void)
{
    static HANDLE started = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    return started;
}

void WINAPI SCardReleaseStartedEvent(void)
{
}

} // extern "C"
