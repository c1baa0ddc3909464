// A small in-memory token behind a CK_FUNCTION_LIST, for the tests of any
// deliverable (library softcard_fake_token): one slot, data/certificate/key
// objects, user and SO PINs with try counters, sessions, searches, signing.
// Every call is logged by name, and a result can be forced for the next call
// of a function.
#ifndef SOFTCARD_TESTS_FAKE_PKCS11_H
#define SOFTCARD_TESTS_FAKE_PKCS11_H

#include <map>
#include <string>
#include <vector>

#include "pkcs11.h"

namespace vel::fake {

struct Object {
    CK_OBJECT_CLASS cls;
    bool isPrivate;
    std::string label;
    std::vector<CK_BYTE> value;
    std::vector<CK_BYTE> id;
    CK_ULONG modulusBits = 2048;
};

struct Session {
    CK_FLAGS flags;
    std::vector<CK_OBJECT_HANDLE> found; // of the active search
    bool finding = false;
    bool signing = false;
    bool verifying = false;
};

struct Token {
    bool readerPresent = true;
    bool cardPresent = true;
    CK_SLOT_ID slot = 7;
    std::string reader = "Lecteur de test 0";
    std::string label = "VEL3v2-TEST";
    std::string userPin = "1234";
    std::string soPin = "12345678";
    int userTries = 3;
    int soTries = 10;
    CK_ULONG minPin = 4, maxPin = 8;
    CK_ULONG signatureLength = 256;
    bool userLoggedIn = false;
    bool soLoggedIn = false;
    std::vector<Object> objects; // handle = index + 1
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    std::vector<std::string> calls;
    std::map<std::string, std::vector<CK_RV>> forced; // next results, per function
    std::vector<std::vector<CK_BYTE>> pinsSeen;       // every PIN passed to the token
    std::vector<CK_ULONG> dataLengths; // of every C_Sign / C_SignUpdate / C_Verify / C_VerifyUpdate

    CK_FLAGS Flags() const;
    int Count(const std::string &name) const;
};

Token &State();
// A fresh token with no object, and its function list.
void Reset();
CK_FUNCTION_LIST *Functions();
// Makes the next `times` calls of `function` return `rv` (after those
// forced before).
void Force(const std::string &function, CK_RV rv, size_t times = 1);

} // namespace vel::fake

#endif
