// A provider context's card: the slot, its session, the two certificates with
// their object handles (which are also the provider's key handles) and DER
// values, and the private-key caches; and Pkcs, the card operations around it.
#ifndef VEL_CSP_PKCS_CONTAINER_H
#define VEL_CSP_PKCS_CONTAINER_H

#include <windows.h>
#include <wincrypt.h>

#include "pkcs11.h"

class HandleContainer;

constexpr CK_ULONG kMaxSlots = 15;
constexpr CK_ULONG kMaxCertificates = 10;
constexpr DWORD kNameSize = 512;       // container names: 511 characters and a NUL
constexpr DWORD kReaderNameSize = 128; // reader and computer names: 127 and a NUL

class PKCSContainer {
public:
    PKCSContainer();
    ~PKCSContainer();
    PKCSContainer(const PKCSContainer &) = delete;
    PKCSContainer &operator=(const PKCSContainer &) = delete;

    CK_SLOT_ID GetslotID() const;
    CK_SESSION_HANDLE GethSession() const;
    void SethSession(CK_SESSION_HANDLE h);
    // 2: signature certificate; 0 or 1: exchange certificate; else 0.
    CK_OBJECT_HANDLE GethCertfromKeySpec(DWORD dwKeySpec) const;
    CK_OBJECT_HANDLE GethCertExchange() const;
    CK_OBJECT_HANDLE GethCertSignature() const;
    // 1 exchange, 2 signature, 3 any other handle.
    DWORD GetKeySpecFromUserKey(ULONG64 hKey) const;

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
    CK_OBJECT_HANDLE m_hCertSignature = 0;
    BYTE *m_pbCertExchange = nullptr;
    DWORD m_cbCertExchange = 0;
    CK_OBJECT_HANDLE m_hCertExchange = 0;
    CK_SLOT_ID m_slotID = 0;
    // The slot no longer holds the card this container was built on (another
    // card, or none): the container serves nothing more and is never reused.
    bool m_cardChanged = false;

private:
    friend class CardOperation;
    // Held across one card operation (key search, init, sign or decrypt):
    // the threads that share this container share its one session, and a
    // session runs one operation at a time.
    CRITICAL_SECTION cardLock_;
};

// One card operation on a container's session at a time (re-entrant for the
// thread that holds it: a signature logs in inside its own operation).
class CardOperation {
public:
    explicit CardOperation(PKCSContainer *container) : container_(container)
    {
        if (container_)
            EnterCriticalSection(&container_->cardLock_);
    }
    ~CardOperation()
    {
        if (container_)
            LeaveCriticalSection(&container_->cardLock_);
    }
    CardOperation(const CardOperation &) = delete;
    CardOperation &operator=(const CardOperation &) = delete;

private:
    PKCSContainer *container_;
};

// TRUE when the container's session is usable; otherwise reopens one (and
// clears m_bPinGiven) and answers FALSE. A reopened session is checked
// against the card: the same card gives the container fresh object handles
// and empty key caches, another card or none sets m_cardChanged.
BOOL isSessionValid(PKCSContainer *container);

// After a failed card operation: whether the container's card went away
// meanwhile. Refreshed: the same card is back (fresh handles and session,
// worth one more try); Changed: another card or none; Unchanged: the session
// still stands, the failure was the operation's own.
enum class CardCheck { Unchanged, Refreshed, Changed };
CardCheck RecheckCard(PKCSContainer *container);

namespace Pkcs {

// Whether the library is initialised in this process.
bool IsInitialized();
void SetInitialized(bool initialized);

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
//   rv  out: the login's result
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
