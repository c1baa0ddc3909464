// The software card library behind the exported entry points: one object per
// process; its callers take turns in arrival order, each for the whole of its
// call. Each call first looks at the shared state file (so insertions and
// removals made by any process show at once), applies the latency and
// injected results set for tests, runs, and leaves a line in the call log
// when the log is on.
//
// The work is split by concern over several files: library.cpp (start,
// state, slots and tokens), sessions.cpp, pins.cpp (login and PINs),
// object_ops.cpp (searches and attributes), crypto_ops.cpp (sign, verify,
// decrypt, random).
#ifndef SOFTCARD_LIBRARY_H
#define SOFTCARD_LIBRARY_H

#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "objects.h"
#include "pkcs11.h"
#include "sha.h"
#include "state.h"
#include "turns.h"

namespace softcard {

// One cryptographic operation of a session (signing, verifying, decrypting).
struct Operation {
    bool active = false;
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE key = 0;
    CK_OBJECT_CLASS keyClass = 0; // the kind of key it was started with
    Bytes data;                   // raw data of CKM_RSA_PKCS (never beyond the key's size)
    vel::Sha1 sha1;
    vel::Sha256 sha256;
    Bytes input, output; // decryption: last ciphertext (none yet: empty) and its plaintext
    void reset()
    {
        for (uint8_t &b : output)
            b = 0; // a plaintext never outlives its operation
        *this = Operation();
    }
};

struct Session {
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    unsigned long insertion = 0; // the card the session was opened on: insertion and name
    std::string cardName;
    CK_FLAGS flags = 0;
    uint32_t thread = 0; // the thread that opened it
    bool findActive = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t nextFound = 0;
    Operation sign, verify, decrypt;
};

class Library {
public:
    static Library &instance();
#if defined(_WIN32)
    // The DLL's one library, from its load (false: no memory) to its unload.
    static bool create();
    static void destroy();
#endif

    // Runs one entry point in its turn: state refresh, latency, injection,
    // body, log. `card` says whether the call reaches the card (latency, state
    // errors). With `which`, the call belongs to that operation of session h,
    // and any failure but CKR_BUFFER_TOO_SMALL ends the operation.
    template <class Body>
    CK_RV call(const char *function, const std::string &args, bool needsInit, bool card, Body body,
               Operation Session::*which = nullptr, CK_SESSION_HANDLE h = 0)
    {
        FairQueue::Turn turn(queue_);
        CK_RV rv;
        try {
            rv = enter(function, needsInit, card);
            if (rv == CKR_OK)
                rv = body();
            else if (rv == kInjectedNone)
                rv = CKR_OK;
        } catch (const std::bad_alloc &) {
            rv = CKR_HOST_MEMORY;
        } catch (...) {
            rv = CKR_GENERAL_ERROR;
        }
        if (which && rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)
            endOperation(h, which);
        leave(function, args, rv);
        return rv;
    }

    // Entry points (arguments already checked for presence by the boundary).
    CK_RV initialize(bool perThreadData);
    CK_RV finalize(const uint32_t *threadId);
    CK_RV getInfo(CK_INFO *info);
    CK_RV getSlotList(bool tokenPresent, CK_SLOT_ID *list, CK_ULONG *count);
    CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO *info);
    CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO *info);
    CK_RV getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE *list, CK_ULONG *count);
    CK_RV getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO *info);
    CK_RV forceCloseChannel(CK_SLOT_ID slot);

    CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE *out);
    CK_RV closeSession(CK_SESSION_HANDLE h);
    CK_RV closeAllSessions(CK_SLOT_ID slot);
    CK_RV getSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO *info);

    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE user, const CK_UTF8CHAR *pin, CK_ULONG len);
    CK_RV logout(CK_SESSION_HANDLE h);
    CK_RV initPin(CK_SESSION_HANDLE h, const CK_UTF8CHAR *pin, CK_ULONG len);
    CK_RV setPin(CK_SESSION_HANDLE h, const CK_UTF8CHAR *oldPin, CK_ULONG oldLen, const CK_UTF8CHAR *newPin,
                 CK_ULONG newLen);

    CK_RV findObjectsInit(CK_SESSION_HANDLE h, const CK_ATTRIBUTE *tmpl, CK_ULONG count);
    CK_RV findObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE *out, CK_ULONG max, CK_ULONG *count);
    CK_RV findObjectsFinal(CK_SESSION_HANDLE h);
    CK_RV getAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE *tmpl, CK_ULONG count);

    CK_RV signInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key);
    CK_RV sign(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, CK_BYTE *sig, CK_ULONG *sigLen);
    CK_RV signUpdate(CK_SESSION_HANDLE h, const CK_BYTE *part, CK_ULONG len);
    CK_RV signFinal(CK_SESSION_HANDLE h, CK_BYTE *sig, CK_ULONG *sigLen);
    CK_RV verifyInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key);
    CK_RV verify(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, const CK_BYTE *sig, CK_ULONG sigLen);
    CK_RV verifyUpdate(CK_SESSION_HANDLE h, const CK_BYTE *part, CK_ULONG len);
    CK_RV verifyFinal(CK_SESSION_HANDLE h, const CK_BYTE *sig, CK_ULONG sigLen);
    CK_RV decryptInit(CK_SESSION_HANDLE h, const CK_MECHANISM *mech, CK_OBJECT_HANDLE key);
    CK_RV decrypt(CK_SESSION_HANDLE h, const CK_BYTE *in, CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen);
    CK_RV generateRandom(CK_SESSION_HANDLE h, CK_BYTE *out, CK_ULONG len);

private:
    static const CK_RV kInjectedNone = 0xFFFFFFFEul; // internal: an injected CKR_OK

    Library() = default;
    CK_RV enter(const char *function, bool needsInit, bool card);
    void leave(const char *function, const std::string &args, CK_RV rv);
    void refreshState();
    bool takeInjection(const char *function, CK_RV &rv);
    void writeLog(const std::string &line);

    // The state, read again at every call.
    const PlacedCard *cardInSlot(CK_SLOT_ID slot, const Reader **reader = nullptr) const;
    // The recognised card in a slot, else CKR_SLOT_ID_INVALID,
    // CKR_TOKEN_NOT_PRESENT or CKR_TOKEN_NOT_RECOGNIZED.
    CK_RV tokenIn(CK_SLOT_ID slot, const PlacedCard *&out) const;
    // The card a session was opened on, when it is still in its slot.
    const PlacedCard *cardOf(const Session &s) const;
    // Changes the card a session works on, under the lock shared by every
    // process, and saves it. `change` returns the call's result and says
    // whether the card changed (a refused PIN also changes its counter).
    template <class Change> CK_RV updateCard(const Session &s, Change change);
    CK_RV saveState(const State &next);

    // Sessions and login state.
    CK_RV session(CK_SESSION_HANDLE h, Session *&out);
    CK_USER_TYPE loginOf(const Session &s) const; // CKU_USER, CKU_SO, or kNoLogin
    static const CK_USER_TYPE kNoLogin = 0xFFFFFFFEul;
    void dropSession(std::map<CK_SESSION_HANDLE, Session>::iterator it);
    CK_SESSION_HANDLE newSessionHandle();

    // Objects of the card of a session; visibility follows the login.
    // `hidden`, when given, tells a private object out of reach from no object.
    const std::vector<CardObject> &objectsOf(const Session &s);
    const CardObject *object(const Session &s, CK_OBJECT_HANDLE h, bool *hidden = nullptr);
    static CK_OBJECT_HANDLE objectHandle(unsigned long insertion, size_t index);
    CK_RV activeSearch(CK_SESSION_HANDLE h, Session *&s); // the session of a search begun

    // The cryptographic operations of a session: `which` names one of them.
    CK_RV beginOperation(CK_SESSION_HANDLE h, Operation Session::*which, const CK_MECHANISM *mech,
                         CK_OBJECT_HANDLE key, CK_OBJECT_CLASS wantedClass, CK_ATTRIBUTE_TYPE usage,
                         bool hashMechanisms);
    // The session and the key of an active operation; one whose key is out of
    // reach ends with CKR_KEY_HANDLE_INVALID.
    CK_RV activeOperation(CK_SESSION_HANDLE h, Operation Session::*which, Session *&s,
                          const CardObject *&key);
    void endOperation(CK_SESSION_HANDLE h, Operation Session::*which);
    CK_RV addPart(CK_SESSION_HANDLE h, Operation Session::*which, const CK_BYTE *part, CK_ULONG len);
    // The last call of a signature or a verification, with its last data.
    CK_RV signLast(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, CK_BYTE *sig, CK_ULONG *sigLen);
    CK_RV verifyLast(CK_SESSION_HANDLE h, const CK_BYTE *data, CK_ULONG len, const CK_BYTE *sig,
                     CK_ULONG sigLen);

    FairQueue queue_;
    std::set<uint32_t> threads_; // threads that initialised the library
    std::string statePath_;
    std::string stateText_; // the file content the state was parsed from
    bool stateMissing_ = true;
    State state_;
    std::string stateError_; // non-empty: the file is damaged (left as it is)
    std::string loggedError_;
    std::map<CK_SESSION_HANDLE, Session> sessions_;
    std::map<std::pair<CK_SLOT_ID, unsigned long>, CK_USER_TYPE> logins_;
    struct CachedObjects {
        std::string cardName, label, serial; // what the insertion number held when built
        std::vector<CardObject> objects;
    };
    std::map<unsigned long, CachedObjects> objects_; // by insertion
    CK_SESSION_HANDLE lastSession_ = 0;
};

} // namespace softcard

#endif
