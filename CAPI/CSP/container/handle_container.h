// One provider context: the HCRYPTPROV that CryptoAPI keeps is the address of
// a HandleContainer. It ties the context to its card container and to a
// Microsoft software provider context for hashing and symmetric keys.
#ifndef VEL_CSP_HANDLE_CONTAINER_H
#define VEL_CSP_HANDLE_CONTAINER_H

#include <windows.h>
#include <wincrypt.h>

#include "card/pkcs_container.h"
#include "cpinterface/cp_interface.h"
#include "keys/win/container_keys.h"
#include "names/acquire_request.h"
#include "names/container_names.h"

constexpr DWORD kVerifyContextBits = 0xF0000000; // CRYPT_VERIFYCONTEXT, all four bits

class HandleContainer {
public:
    HandleContainer() = default;
    ~HandleContainer();
    HandleContainer(const HandleContainer &) = delete;
    HandleContainer &operator=(const HandleContainer &) = delete;

    // Sets the context up for an acquire.
    //   request   the acquire's request as the entry read it: the name to
    //             serve, its reader, computer and reserved text
    //   pVTable   CryptoAPI's table (only dwProvType is read; may be NULL)
    //   pdwError  out: 0 or the failure code
    BOOL Initialize(const csp::names::AcquireRequest &request, DWORD dwFlags, PVTableProvStruc pVTable,
                    DWORD *pdwError);
    // Initialises the library when needed and finds the card container.
    BOOL CreateContainer(const char *pszContainer, int propagation, const char *readerName,
                         const char *computerName, DWORD *pdwError, const char *pReserved);
    // Opens "QUVCSPPROVIDER" on the first Microsoft provider that has it or can make it.
    BOOL AcquireMicrosoftContext();
    // "CName(" + client computer name + ")" in a remote or named session, else "".
    //   out/size  receives the text (cut names are refused: FALSE, "")
    BOOL GetTSEComputerName(char *out, size_t size);

    // Provider parameters.
    BOOL GetProvParam(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags, DWORD *pdwError);
    BOOL SetProvParam(DWORD dwParam, const BYTE *pbData, DWORD dwFlags, DWORD *pdwError);
    // A PIN given on a service or remote-session context's current session
    // that is still logged in (pbData: a PIN is given now).
    bool PinStillGiven(const BYTE *pbData);
    BOOL HandleEnumContainers(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags, DWORD *pdwError);
    BOOL GetUserCertStore(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError);
    BOOL GetSmartCardGUID(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError);
    BOOL GetSmartCardReader(BYTE *pbData, DWORD *pdwDataLen, DWORD *pdwError);
    DWORD GetPinTriesCount();
    // Modulus length in bytes of a card key from its certificate; 0 and NTE_FAIL on failure.
    DWORD GetKeyLengthFromCert(DWORD dwKeySpec, DWORD *pdwError);

    // The card this context was set up on is gone for good: another card was
    // seen in its place. Such a context serves nothing more (NTE_BAD_KEYSET)
    // and no acquire takes it again. False without a card container.
    bool CardGone() const;
    // For an acquire that would take this context again: its session checked
    // (ordinary contexts; service and remote-session ones keep theirs as it
    // is), then whether its card is in (Stands), out (Absent: not now, but it
    // may serve again) or gone. Without a card container: Stands for a
    // verification context, Gone for any other (it stands for no card).
    csp::cardmatch::CardStanding::State CheckCard();

    char m_szContainer[kNameSize] = {};
    DWORD m_dwFlags = 0;
    PKCSContainer *m_pCurrentContainer = nullptr;
    HCRYPTPROV m_hMSProv = 0;
    // The key work of this context: its card keys, the keys it made in the
    // Microsoft context for them, the session keys it imported.
    csp::keys::ContainerKeys m_keys;
};

// The parts read from requested names and token labels (container_names.h).
using csp::names::SmartCardGuidFromLabel;

#endif
