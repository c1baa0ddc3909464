// A provider context's card: the slot, its session, the two certificates with
// their object handles (which are also the provider's key handles) and DER
// values, and the private-key caches; and Pkcs, the card operations around it.
#ifndef VEL_CSP_PKCS_CONTAINER_H
#define VEL_CSP_PKCS_CONTAINER_H

#include <windows.h>
#include <wincrypt.h>

#include "card_turns.h"
#include "cardmatch/card_match.h"
#include "pkcs11.h"

class HandleContainer;

constexpr CK_ULONG kMaxSlots = 15;
constexpr CK_ULONG kMaxCertificates = 10;
constexpr DWORD kNameSize = 512;       // container names: 511 characters and a NUL
constexpr DWORD kReaderNameSize = 128; // reader and computer names: 127 and a NUL

// The card work of every container of one slot takes turns on it (card_turns.h).
class PKCSContainer {
public:
    PKCSContainer() = default;
    ~PKCSContainer();
    PKCSContainer(const PKCSContainer &) = delete;
    PKCSContainer &operator=(const PKCSContainer &) = delete;

    CK_SLOT_ID GetslotID() const;
    CK_SESSION_HANDLE GethSession() const;
    void SethSession(CK_SESSION_HANDLE h);
    // The certificate object of a key spec on the current session:
    // 2: signature certificate; 0 or 1: exchange certificate; else 0.
    CK_OBJECT_HANDLE GethCertfromKeySpec(DWORD dwKeySpec) const;
    CK_OBJECT_HANDLE GethCertExchange() const;
    CK_OBJECT_HANDLE GethCertSignature() const;
    // The key handle given out for a key spec (1, 2; else 0).
    CK_OBJECT_HANDLE GetKeyHandle(DWORD dwKeySpec) const;
    // 1 exchange, 2 signature, 3 any other handle, among the key handles
    // given out.
    DWORD GetKeySpecFromUserKey(ULONG64 hKey) const;
    // Another card was seen in the slot: the container stands for nothing more.
    bool CardGone() const;

    char *m_szContainerName = nullptr;
    char *m_szReaderName = nullptr;
    char *m_szComputerName = nullptr;
    BOOL m_bPinGiven = FALSE;
    CK_SESSION_HANDLE m_hSession = 0;
    CK_OBJECT_HANDLE m_hPrivKeyExchange = 0;
    CK_OBJECT_HANDLE m_hPrivKeySignature = 0;
    DWORD m_dwKeyLenSignature = 0;
    DWORD m_dwKeyLenExchange = 0;
    BYTE *m_pbCertSignature = nullptr;
    DWORD m_cbCertSignature = 0;
    CK_OBJECT_HANDLE m_hCertSignature = 0; // on the current session
    BYTE *m_pbCertExchange = nullptr;
    DWORD m_cbCertExchange = 0;
    CK_OBJECT_HANDLE m_hCertExchange = 0; // on the current session
    CK_SLOT_ID m_slotID = 0;
    // The key handles given out for the two keys: the certificates' object
    // handles when the container was built. The same card put back numbers
    // its objects anew; the keys an application kept still mean the same
    // keys, so these stay while the object handles above follow the card.
    CK_OBJECT_HANDLE m_hKeyExchange = 0;
    CK_OBJECT_HANDLE m_hKeySignature = 0;
    // Whether the slot still holds the card this container was built on
    // (HandleContainer::CardGone and CheckCard read it).
    csp::cardmatch::CardStanding m_cardStanding;
};

// TRUE when the container's session is usable; otherwise reopens one (and
// clears m_bPinGiven) and answers FALSE. The card the new session shows is
// reviewed: the same card keeps the new session, with fresh object handles
// and empty key caches; no card (or one that did not answer) leaves the
// container absent, another card condemns it (m_cardStanding).
BOOL isSessionValid(PKCSContainer *container);

// After a failed card operation: what became of the container's card.
// Unchanged: the session still stands, the failure was the operation's own;
// Refreshed: the same card is back (fresh handles and session, worth one
// more try); Absent: no card now; Changed: another card (final).
enum class CardCheck { Unchanged, Refreshed, Absent, Changed };
CardCheck RecheckCard(PKCSContainer *container);

namespace Pkcs {

// Whether the library is initialised in this process.
bool IsInitialized();
void SetInitialized(bool initialized);
// The library's use started for a context's set-up ("Pkcs::Initialize"
// lines): the function list bound when needed, C_Initialize with pReserved
// (NULL or a reserved text), finalised and tried once more when the library
// asks it. byThread: a request with data of its own for the calling thread.
// false: there is no library to bind (the set-up goes on without a card).
bool Initialize(const char *pReserved, bool byThread);
// C_Finalize for the calling thread's own data.
CK_RV FinalizeThread();

// Chooses the slot for a request and builds the context's container.
//   pszContainer  never NULL; "DEFAULT_CONTAINER" inside takes the first card
//   readerName    NULL or empty: no reader named
//   computerName  NULL or the client computer's name
// FALSE: no card, no matching reader, or a card whose name cannot be read;
// NTE_BAD_KEYSET-worthy names (too long) also fail. TRUE may leave the
// context without a container (no matching card).
BOOL UpdateContainerTable(HandleContainer *hc, const char *pszContainer, int propagation,
                          const char *readerName, const char *computerName);
// The container name of a slot's first certificate (and the certificate handles).
//   hSession 0: a session of its own, closed before returning
//   count    in: capacity of handles; out: number found
BOOL GetCardInfoForContainer(CK_SESSION_HANDLE hSession, CK_SLOT_ID slotID, char *strContainerName,
                             DWORD szContainerName, CK_OBJECT_HANDLE *handles, CK_ULONG *count);
// A new container on the slot named strContainer (or its first certificate's name).
//   cardRv  out (may be NULL): on failure, the card call's error when a card
//           call failed (CKR_OK when the card answered but cannot serve)
BOOL CreateContainerfromSlot(CK_SLOT_ID slotID, const char *strContainer, PKCSContainer **out,
                             CK_RV *cardRv = nullptr);

// Interactive login (prompts; asks again after a wrong PIN until the final try).
BOOL DoLogin(PKCSContainer *container, DWORD dwFlags);
// Login without a prompt.
BOOL DoSilentLogin(PKCSContainer *container);
// Logs out and in again with a PIN given by the caller (4 digits).
//   rv  out: the login's result; CKR_TOKEN_NOT_PRESENT when the card is out,
//       CKR_TOKEN_NOT_RECOGNIZED when another card took its place
BOOL CheckPinCode(HandleContainer *hc, const char *pin, DWORD dwFlags, CK_RV *rv);
// Signs a complete DigestInfo with the key of dwKeySpec; the signature comes
// back little-endian. pbSignature NULL: logs in if needed and answers TRUE.
BOOL DoSign(HandleContainer *hc, DWORD cbHash, const BYTE *pbHash, DWORD dwKeySpec, BYTE *pbSignature,
            DWORD *pdwSigLen);
// Decrypts big-endian ciphertext with the exchange key; pbOut holds cbData bytes.
BOOL Decrypt(HandleContainer *hc, ULONG_PTR hKey, const BYTE *pbData, DWORD cbData, BYTE *pbOut,
             DWORD *pdwOutLen, DWORD dwFlags);
// The card key of dwKeySpec as a PUBLICKEYBLOB (modulus length + 20 bytes).
BOOL DoExportPublicKey(PKCSContainer *container, BYTE *pbData, DWORD *pdwDataLen, DWORD dwKeySpec);
// C_Finalize(dwThreadID): NULL ends the library's use, a thread id that thread's.
BOOL FreePkcs(DWORD *dwThreadID);

// Threads whose initialisation asked the library for data of their own
// (";dataByThread"): only their data may be ended by thread id; any other
// thread shares the process-wide initialisation.
void NoteThreadData(DWORD threadId);
// True (and forgotten) when threadId had data of its own.
bool TakeThreadData(DWORD threadId);

} // namespace Pkcs

#endif
