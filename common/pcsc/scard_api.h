// The smart-card resource manager interface (winscard.dll) as this project
// uses it: our own declarations of the types, codes and entry points, written
// from what the tray's PC/SC monitor needs and the platform's binary
// interface. The tray links the import library made from winscard.def
// (vel_winscard_import); the PC/SC stand-in implements the same declarations.
// Windows only.
#ifndef VEL_SCARD_API_H
#define VEL_SCARD_API_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _LPCBYTE_DEFINED
#define _LPCBYTE_DEFINED
typedef const BYTE *LPCBYTE;
#endif

typedef ULONG_PTR SCARDCONTEXT;
typedef SCARDCONTEXT *LPSCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;
typedef SCARDHANDLE *LPSCARDHANDLE;

typedef struct {
    DWORD dwProtocol;
    DWORD cbPciLength;
} SCARD_IO_REQUEST, *LPSCARD_IO_REQUEST;
typedef const SCARD_IO_REQUEST *LPCSCARD_IO_REQUEST;

typedef struct {
    LPCSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
} SCARD_READERSTATEA, *LPSCARD_READERSTATEA;

typedef struct {
    LPCWSTR szReader;
    LPVOID pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    BYTE rgbAtr[36];
} SCARD_READERSTATEW, *LPSCARD_READERSTATEW;

// Scopes, sharing modes, protocols, dispositions.
#define SCARD_SCOPE_USER 0
#define SCARD_SCOPE_TERMINAL 1
#define SCARD_SCOPE_SYSTEM 2
#define SCARD_SHARE_EXCLUSIVE 1
#define SCARD_SHARE_SHARED 2
#define SCARD_SHARE_DIRECT 3
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_LEAVE_CARD 0
#define SCARD_RESET_CARD 1
#define SCARD_UNPOWER_CARD 2
#define SCARD_EJECT_CARD 3

// Card states of SCardStatus.
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Reader-state bits of SCardGetStatusChange; the high word of dwEventState
// is an event counter.
#define SCARD_STATE_UNAWARE 0x00000000
#define SCARD_STATE_IGNORE 0x00000001
#define SCARD_STATE_CHANGED 0x00000002
#define SCARD_STATE_UNKNOWN 0x00000004
#define SCARD_STATE_UNAVAILABLE 0x00000008
#define SCARD_STATE_EMPTY 0x00000010
#define SCARD_STATE_PRESENT 0x00000020
#define SCARD_STATE_ATRMATCH 0x00000040
#define SCARD_STATE_EXCLUSIVE 0x00000080
#define SCARD_STATE_INUSE 0x00000100
#define SCARD_STATE_MUTE 0x00000200
#define SCARD_STATE_UNPOWERED 0x00000400

#define SCARD_AUTOALLOCATE ((DWORD)-1)
#define SCARD_ALL_READERS "SCard$AllReaders\0"
#define SCARD_PNP_NOTIFICATION "\\\\?PnP?\\Notification"
#define SCARD_PNP_NOTIFICATION_W L"\\\\?PnP?\\Notification"

#define SCARD_PROVIDER_PRIMARY 1
#define SCARD_PROVIDER_CSP 2
#define SCARD_PROVIDER_KSP 3

// Result codes (winerror.h may have them already).
#ifndef SCARD_S_SUCCESS
#define SCARD_S_SUCCESS ((LONG)0x00000000)
#endif
#ifndef SCARD_F_INTERNAL_ERROR
#define SCARD_F_INTERNAL_ERROR ((LONG)0x80100001)
#endif
#ifndef SCARD_E_CANCELLED
#define SCARD_E_CANCELLED ((LONG)0x80100002)
#endif
#ifndef SCARD_E_INVALID_HANDLE
#define SCARD_E_INVALID_HANDLE ((LONG)0x80100003)
#endif
#ifndef SCARD_E_INVALID_PARAMETER
#define SCARD_E_INVALID_PARAMETER ((LONG)0x80100004)
#endif
#ifndef SCARD_E_INVALID_TARGET
#define SCARD_E_INVALID_TARGET ((LONG)0x80100005)
#endif
#ifndef SCARD_E_NO_MEMORY
#define SCARD_E_NO_MEMORY ((LONG)0x80100006)
#endif
#ifndef SCARD_E_INSUFFICIENT_BUFFER
#define SCARD_E_INSUFFICIENT_BUFFER ((LONG)0x80100008)
#endif
#ifndef SCARD_E_UNKNOWN_READER
#define SCARD_E_UNKNOWN_READER ((LONG)0x80100009)
#endif
#ifndef SCARD_E_TIMEOUT
#define SCARD_E_TIMEOUT ((LONG)0x8010000A)
#endif
#ifndef SCARD_E_SHARING_VIOLATION
#define SCARD_E_SHARING_VIOLATION ((LONG)0x8010000B)
#endif
#ifndef SCARD_E_NO_SMARTCARD
#define SCARD_E_NO_SMARTCARD ((LONG)0x8010000C)
#endif
#ifndef SCARD_E_UNKNOWN_CARD
#define SCARD_E_UNKNOWN_CARD ((LONG)0x8010000D)
#endif
#ifndef SCARD_E_PROTO_MISMATCH
#define SCARD_E_PROTO_MISMATCH ((LONG)0x8010000F)
#endif
#ifndef SCARD_E_NOT_READY
#define SCARD_E_NOT_READY ((LONG)0x80100010)
#endif
#ifndef SCARD_E_INVALID_VALUE
#define SCARD_E_INVALID_VALUE ((LONG)0x80100011)
#endif
#ifndef SCARD_E_SYSTEM_CANCELLED
#define SCARD_E_SYSTEM_CANCELLED ((LONG)0x80100012)
#endif
#ifndef SCARD_E_NOT_TRANSACTED
#define SCARD_E_NOT_TRANSACTED ((LONG)0x80100016)
#endif
#ifndef SCARD_E_READER_UNAVAILABLE
#define SCARD_E_READER_UNAVAILABLE ((LONG)0x80100017)
#endif
#ifndef SCARD_E_NO_SERVICE
#define SCARD_E_NO_SERVICE ((LONG)0x8010001D)
#endif
#ifndef SCARD_E_SERVICE_STOPPED
#define SCARD_E_SERVICE_STOPPED ((LONG)0x8010001E)
#endif
#ifndef SCARD_E_NO_READERS_AVAILABLE
#define SCARD_E_NO_READERS_AVAILABLE ((LONG)0x8010002E)
#endif
#ifndef SCARD_W_UNRESPONSIVE_CARD
#define SCARD_W_UNRESPONSIVE_CARD ((LONG)0x80100066)
#endif
#ifndef SCARD_W_UNPOWERED_CARD
#define SCARD_W_UNPOWERED_CARD ((LONG)0x80100067)
#endif
#ifndef SCARD_W_RESET_CARD
#define SCARD_W_RESET_CARD ((LONG)0x80100068)
#endif
#ifndef SCARD_W_REMOVED_CARD
#define SCARD_W_REMOVED_CARD ((LONG)0x80100069)
#endif

// Protocol control information for T=0, T=1 and raw (exported data).
extern const SCARD_IO_REQUEST g_rgSCardT0Pci, g_rgSCardT1Pci, g_rgSCardRawPci;

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                  LPSCARDCONTEXT phContext);
LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext);
LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext);
LONG WINAPI SCardCancel(SCARDCONTEXT hContext);
LONG WINAPI SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem);
LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders, LPDWORD pcchReaders);
LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR mszGroups, LPWSTR mszReaders,
                              LPDWORD pcchReaders);
LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEA rgReaderStates,
                                  DWORD cReaders);
LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEW rgReaderStates,
                                  DWORD cReaders);
LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol);
LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol);
LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                           DWORD dwInitialization, LPDWORD pdwActiveProtocol);
LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);
LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard);
LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition);
LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);
LONG WINAPI SCardStatusW(SCARDHANDLE hCard, LPWSTR mszReaderNames, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);
LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength);
LONG WINAPI SCardGetCardTypeProviderNameA(SCARDCONTEXT hContext, LPCSTR szCardName, DWORD dwProviderId,
                                          LPSTR szProvider, LPDWORD pcchProvider);
LONG WINAPI SCardGetCardTypeProviderNameW(SCARDCONTEXT hContext, LPCWSTR szCardName, DWORD dwProviderId,
                                          LPWSTR szProvider, LPDWORD pcchProvider);
HANDLE WINAPI SCardAccessStartedEvent(void);
void WINAPI SCardReleaseStartedEvent(void);

#ifdef __cplusplus
}
#endif

#endif
