// The exported entry points of the software card. Each one only checks that
// the pointers it needs are there, dispatches to the library and catches:
// no exception ever reaches the caller. The order of checks is the same for
// all: initialised (in Library::call), then arguments, then handles and state
// (in the library).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "library.h"
#include "pkcs11.h"
#include "platform.h"

using softcard::Library;

#if defined(_WIN32)
// The library lives from its first load to the end of the process, as a
// card's library that programs load around each use must: unloaded, the x86
// static runtime would leave a TLS slot, two handles and memory behind at
// each load (x86-64: memory), and the program would run out of TLS slots
// within a thousand loads. At process exit (reserved set) it is left as it
// is: the other threads were stopped wherever they were. Declared without
// <windows.h>, whose CreateMutex macro would rename the initialisation
// arguments' member.
extern "C" int __stdcall DllMain(void *module, unsigned long reason, void *reserved)
{
    const unsigned long kProcessDetach = 0, kProcessAttach = 1;
    if (reason == kProcessAttach) {
        if (!Library::create())
            return 0;
        softcard::pinLibrary(module);
        return 1;
    }
    if (reason == kProcessDetach && !reserved)
        Library::destroy();
    return 1;
}
#endif

namespace {

// The call-log arguments are built before an entry point's try block, so
// building them never throws: out of memory they are simply left empty (an
// empty string does not allocate).
std::string fmt(const char *format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    try {
        return buf;
    } catch (...) {
        return std::string();
    }
}

template <class Body>
CK_RV guarded(const char *function, const std::string &args, bool needsInit, bool card, Body body,
              softcard::Operation softcard::Session::*which = nullptr, CK_SESSION_HANDLE h = 0)
{
    try {
        return Library::instance().call(function, args, needsInit, card, body, which, h);
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// The common entry point: it reaches the card, refuses missing arguments
// (once the library is known initialised) and runs the library's member.
template <class... Params, class... Args>
CK_RV dispatch(const char *function, const std::string &args, bool argumentsBad,
               CK_RV (Library::*member)(Params...), Args... values)
{
    return guarded(function, args, true, true, [&]() -> CK_RV {
        if (argumentsBad)
            return CKR_ARGUMENTS_BAD;
        return (Library::instance().*member)(values...);
    });
}

// An entry point that goes on with an operation of session h: as dispatch,
// and any failure but CKR_BUFFER_TOO_SMALL (bad arguments included) ends it.
template <class... Params, class... Args>
CK_RV dispatchOperation(const char *function, const std::string &args, bool argumentsBad,
                        softcard::Operation softcard::Session::*which, CK_RV (Library::*member)(Params...),
                        CK_SESSION_HANDLE h, Args... values)
{
    return guarded(
        function, args, true, true,
        [&]() -> CK_RV {
            if (argumentsBad)
                return CKR_ARGUMENTS_BAD;
            return (Library::instance().*member)(h, values...);
        },
        which, h);
}

unsigned long ul(CK_ULONG v)
{
    return static_cast<unsigned long>(v);
}

const char *given(const void *buffer)
{
    return buffer ? "buffer" : "NULL";
}

// The log arguments of an operation's start.
std::string initArgs(CK_SESSION_HANDLE h, const CK_MECHANISM *mechanism, CK_OBJECT_HANDLE key)
{
    return fmt("hSession=0x%lX, mechanism=0x%lX, hKey=0x%lX", ul(h),
               mechanism ? ul(mechanism->mechanism) : 0ul, ul(key));
}

// `head` and the types of a template (the first 16).
std::string templateArgs(std::string head, const CK_ATTRIBUTE *tmpl, CK_ULONG count)
{
    try {
        head += ", types=";
        for (CK_ULONG i = 0; tmpl && i < count && i < 16; ++i)
            head += fmt("%s0x%lX", i ? "," : "", ul(tmpl[i].type));
        return head;
    } catch (...) {
        return std::string();
    }
}

const char kPerThreadMark[] = ";dataByThread";
const char kReservedPrefix[] = "winlogonProcess";

} // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs)
{
    std::string args = "pInitArgs=NULL";
    const CK_C_INITIALIZE_ARGS *a = static_cast<const CK_C_INITIALIZE_ARGS *>(pInitArgs);
    const char *reserved = a ? static_cast<const char *>(a->pReserved) : nullptr;
    size_t reservedLen = reserved ? strnlen(reserved, 256) : 0;
    if (a)
        args = fmt("flags=0x%lX, pReserved=%s%.*s%s", ul(a->flags), reserved ? "\"" : "NULL",
                   int(reservedLen), reserved ? reserved : "", reserved ? "\"" : "");
    return guarded("C_Initialize", args, false, false, [&]() -> CK_RV {
        bool perThread = false;
        if (a) {
            int callbacks = !!a->CreateMutex + !!a->DestroyMutex + !!a->LockMutex + !!a->UnlockMutex;
            if (callbacks != 0 && callbacks != 4)
                return CKR_ARGUMENTS_BAD;
            // The only reserved texts accepted are the provider's.
            if (reserved) {
                if (reservedLen >= 256 ||
                    std::strncmp(reserved, kReservedPrefix, sizeof(kReservedPrefix) - 1) != 0)
                    return CKR_ARGUMENTS_BAD;
                perThread = std::strstr(reserved, kPerThreadMark) != nullptr;
            }
            if (callbacks == 4 && !(a->flags & CKF_OS_LOCKING_OK))
                return CKR_CANT_LOCK; // we lock with the system's own mutexes only
        }
        return Library::instance().initialize(perThread);
    });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved)
{
    const uint32_t *thread = static_cast<const uint32_t *>(pReserved);
    std::string args = thread ? fmt("thread=%lu", (unsigned long)*thread) : "pReserved=NULL";
    return guarded("C_Finalize", args, true, false, [&] { return Library::instance().finalize(thread); });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo)
{
    return guarded("C_GetInfo", "", true, false, [&]() -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        return Library::instance().getInfo(pInfo);
    });
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    return dispatch("C_GetSlotList",
                    fmt("tokenPresent=%d, pSlotList=%s, count=%lu", tokenPresent, given(pSlotList),
                        pulCount ? ul(*pulCount) : 0ul),
                    !pulCount, &Library::getSlotList, tokenPresent != CK_FALSE, pSlotList, pulCount);
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo)
{
    return dispatch("C_GetSlotInfo", fmt("slotID=%lu", ul(slotID)), !pInfo, &Library::getSlotInfo, slotID,
                    pInfo);
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    return dispatch("C_GetTokenInfo", fmt("slotID=%lu", ul(slotID)), !pInfo, &Library::getTokenInfo, slotID,
                    pInfo);
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount)
{
    return dispatch("C_GetMechanismList", fmt("slotID=%lu", ul(slotID)), !pulCount,
                    &Library::getMechanismList, slotID, pMechanismList, pulCount);
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo)
{
    return dispatch("C_GetMechanismInfo", fmt("slotID=%lu, type=0x%lX", ul(slotID), ul(type)), !pInfo,
                    &Library::getMechanismInfo, slotID, type, pInfo);
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    return dispatch("C_InitPIN", fmt("hSession=0x%lX, pPin=<%lu car.>", ul(hSession), ul(ulPinLen)), !pPin,
                    &Library::initPin, hSession, pPin, ulPinLen);
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen)
{
    return dispatch("C_SetPIN",
                    fmt("hSession=0x%lX, pOldPin=<%lu car.>, pNewPin=<%lu car.>", ul(hSession), ul(ulOldLen),
                        ul(ulNewLen)),
                    !pOldPin || !pNewPin, &Library::setPin, hSession, pOldPin, ulOldLen, pNewPin, ulNewLen);
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession)
{
    // Notifications are never sent: the card has no long operations.
    return dispatch("C_OpenSession", fmt("slotID=%lu, flags=0x%lX", ul(slotID), ul(flags)), !phSession,
                    &Library::openSession, slotID, flags, phSession);
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession)
{
    return dispatch("C_CloseSession", fmt("hSession=0x%lX", ul(hSession)), false, &Library::closeSession,
                    hSession);
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID)
{
    return dispatch("C_CloseAllSessions", fmt("slotID=%lu", ul(slotID)), false, &Library::closeAllSessions,
                    slotID);
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo)
{
    return dispatch("C_GetSessionInfo", fmt("hSession=0x%lX", ul(hSession)), !pInfo, &Library::getSessionInfo,
                    hSession, pInfo);
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen)
{
    // The PIN itself never reaches the log: only its length. A NULL PIN is
    // refused: there is no protected authentication path.
    return dispatch("C_Login",
                    fmt("hSession=0x%lX, userType=%lu, pPin=%s<%lu car.>", ul(hSession), ul(userType),
                        pPin ? "" : "NULL", ul(ulPinLen)),
                    !pPin, &Library::login, hSession, userType, pPin, ulPinLen);
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession)
{
    return dispatch("C_Logout", fmt("hSession=0x%lX", ul(hSession)), false, &Library::logout, hSession);
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount)
{
    return dispatch(
        "C_GetAttributeValue",
        templateArgs(fmt("hSession=0x%lX, hObject=0x%lX", ul(hSession), ul(hObject)), pTemplate, ulCount),
        !pTemplate && ulCount, &Library::getAttributeValue, hSession, hObject, pTemplate, ulCount);
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    return dispatch("C_FindObjectsInit",
                    templateArgs(fmt("hSession=0x%lX", ul(hSession)), pTemplate, ulCount),
                    !pTemplate && ulCount, &Library::findObjectsInit, hSession, pTemplate, ulCount);
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount)
{
    return dispatch("C_FindObjects", fmt("hSession=0x%lX, max=%lu", ul(hSession), ul(ulMaxObjectCount)),
                    !pulObjectCount || (!phObject && ulMaxObjectCount), &Library::findObjects, hSession,
                    phObject, ulMaxObjectCount, pulObjectCount);
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession)
{
    return dispatch("C_FindObjectsFinal", fmt("hSession=0x%lX", ul(hSession)), false,
                    &Library::findObjectsFinal, hSession);
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return dispatch("C_DecryptInit", initArgs(hSession, pMechanism, hKey), !pMechanism, &Library::decryptInit,
                    hSession, pMechanism, hKey);
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen)
{
    return dispatchOperation(
        "C_Decrypt",
        fmt("hSession=0x%lX, length=%lu, pData=%s", ul(hSession), ul(ulEncryptedDataLen), given(pData)),
        (!pEncryptedData && ulEncryptedDataLen) || !pulDataLen, &softcard::Session::decrypt,
        &Library::decrypt, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return dispatch("C_SignInit", initArgs(hSession, pMechanism, hKey), !pMechanism, &Library::signInit,
                    hSession, pMechanism, hKey);
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen)
{
    return dispatchOperation(
        "C_Sign",
        fmt("hSession=0x%lX, length=%lu, pSignature=%s", ul(hSession), ul(ulDataLen), given(pSignature)),
        (!pData && ulDataLen) || !pulSignatureLen, &softcard::Session::sign, &Library::sign, hSession, pData,
        ulDataLen, pSignature, pulSignatureLen);
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return dispatchOperation("C_SignUpdate", fmt("hSession=0x%lX, length=%lu", ul(hSession), ul(ulPartLen)),
                             !pPart && ulPartLen, &softcard::Session::sign, &Library::signUpdate, hSession,
                             pPart, ulPartLen);
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    return dispatchOperation("C_SignFinal",
                             fmt("hSession=0x%lX, pSignature=%s", ul(hSession), given(pSignature)),
                             !pulSignatureLen, &softcard::Session::sign, &Library::signFinal, hSession,
                             pSignature, pulSignatureLen);
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey)
{
    return dispatch("C_VerifyInit", initArgs(hSession, pMechanism, hKey), !pMechanism, &Library::verifyInit,
                    hSession, pMechanism, hKey);
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen)
{
    return dispatchOperation("C_Verify",
                             fmt("hSession=0x%lX, length=%lu, signatureLength=%lu", ul(hSession),
                                 ul(ulDataLen), ul(ulSignatureLen)),
                             (!pData && ulDataLen) || !pSignature, &softcard::Session::verify,
                             &Library::verify, hSession, pData, ulDataLen, pSignature, ulSignatureLen);
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen)
{
    return dispatchOperation("C_VerifyUpdate", fmt("hSession=0x%lX, length=%lu", ul(hSession), ul(ulPartLen)),
                             !pPart && ulPartLen, &softcard::Session::verify, &Library::verifyUpdate,
                             hSession, pPart, ulPartLen);
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen)
{
    return dispatchOperation(
        "C_VerifyFinal", fmt("hSession=0x%lX, signatureLength=%lu", ul(hSession), ul(ulSignatureLen)),
        !pSignature, &softcard::Session::verify, &Library::verifyFinal, hSession, pSignature, ulSignatureLen);
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen)
{
    return dispatch("C_GenerateRandom", fmt("hSession=0x%lX, length=%lu", ul(hSession), ul(ulRandomLen)),
                    !RandomData && ulRandomLen, &Library::generateRandom, hSession, RandomData, ulRandomLen);
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession)
{
    return guarded("C_GetFunctionStatus", "", true, false, [] { return CKR_FUNCTION_NOT_PARALLEL; });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession)
{
    return guarded("C_CancelFunction", "", true, false, [] { return CKR_FUNCTION_NOT_PARALLEL; });
}

// Everything else of the v2 list: not offered by this card.
#define SOFTCARD_UNSUPPORTED(name, params)                                                                   \
    CK_RV name params                                                                                        \
    {                                                                                                        \
        return guarded(#name, "", false, false, [] { return CKR_FUNCTION_NOT_SUPPORTED; });                  \
    }
SOFTCARD_UNSUPPORTED(C_InitToken,
                     (CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel))
SOFTCARD_UNSUPPORTED(C_GetOperationState, (CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG_PTR l))
SOFTCARD_UNSUPPORTED(C_SetOperationState,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG l, CK_OBJECT_HANDLE e, CK_OBJECT_HANDLE a))
SOFTCARD_UNSUPPORTED(C_CreateObject,
                     (CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG c, CK_OBJECT_HANDLE_PTR o))
SOFTCARD_UNSUPPORTED(C_CopyObject, (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG c,
                                    CK_OBJECT_HANDLE_PTR n))
SOFTCARD_UNSUPPORTED(C_DestroyObject, (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o))
SOFTCARD_UNSUPPORTED(C_GetObjectSize, (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ULONG_PTR s))
SOFTCARD_UNSUPPORTED(C_SetAttributeValue,
                     (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG c))
SOFTCARD_UNSUPPORTED(C_EncryptInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k))
SOFTCARD_UNSUPPORTED(C_Encrypt,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR e, CK_ULONG_PTR el))
SOFTCARD_UNSUPPORTED(C_EncryptUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR e, CK_ULONG_PTR el))
SOFTCARD_UNSUPPORTED(C_EncryptFinal, (CK_SESSION_HANDLE h, CK_BYTE_PTR e, CK_ULONG_PTR el))
SOFTCARD_UNSUPPORTED(C_DecryptUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR e, CK_ULONG l, CK_BYTE_PTR d, CK_ULONG_PTR dl))
SOFTCARD_UNSUPPORTED(C_DecryptFinal, (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG_PTR dl))
SOFTCARD_UNSUPPORTED(C_DigestInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m))
SOFTCARD_UNSUPPORTED(C_Digest,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR o, CK_ULONG_PTR ol))
SOFTCARD_UNSUPPORTED(C_DigestUpdate, (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG l))
SOFTCARD_UNSUPPORTED(C_DigestKey, (CK_SESSION_HANDLE h, CK_OBJECT_HANDLE k))
SOFTCARD_UNSUPPORTED(C_DigestFinal, (CK_SESSION_HANDLE h, CK_BYTE_PTR o, CK_ULONG_PTR ol))
SOFTCARD_UNSUPPORTED(C_SignRecoverInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k))
SOFTCARD_UNSUPPORTED(C_SignRecover,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR d, CK_ULONG l, CK_BYTE_PTR s, CK_ULONG_PTR sl))
SOFTCARD_UNSUPPORTED(C_VerifyRecoverInit, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k))
SOFTCARD_UNSUPPORTED(C_VerifyRecover,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR s, CK_ULONG l, CK_BYTE_PTR d, CK_ULONG_PTR dl))
SOFTCARD_UNSUPPORTED(C_DigestEncryptUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG l, CK_BYTE_PTR e, CK_ULONG_PTR el))
SOFTCARD_UNSUPPORTED(C_DecryptDigestUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR e, CK_ULONG l, CK_BYTE_PTR p, CK_ULONG_PTR pl))
SOFTCARD_UNSUPPORTED(C_SignEncryptUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG l, CK_BYTE_PTR e, CK_ULONG_PTR el))
SOFTCARD_UNSUPPORTED(C_DecryptVerifyUpdate,
                     (CK_SESSION_HANDLE h, CK_BYTE_PTR e, CK_ULONG l, CK_BYTE_PTR p, CK_ULONG_PTR pl))
SOFTCARD_UNSUPPORTED(C_GenerateKey, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR t, CK_ULONG c,
                                     CK_OBJECT_HANDLE_PTR k))
SOFTCARD_UNSUPPORTED(C_GenerateKeyPair,
                     (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pt, CK_ULONG pc,
                      CK_ATTRIBUTE_PTR st, CK_ULONG sc, CK_OBJECT_HANDLE_PTR pk, CK_OBJECT_HANDLE_PTR sk))
SOFTCARD_UNSUPPORTED(C_WrapKey, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE w,
                                 CK_OBJECT_HANDLE k, CK_BYTE_PTR o, CK_ULONG_PTR ol))
SOFTCARD_UNSUPPORTED(C_UnwrapKey, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE u, CK_BYTE_PTR w,
                                   CK_ULONG wl, CK_ATTRIBUTE_PTR t, CK_ULONG c, CK_OBJECT_HANDLE_PTR k))
SOFTCARD_UNSUPPORTED(C_DeriveKey, (CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE b,
                                   CK_ATTRIBUTE_PTR t, CK_ULONG c, CK_OBJECT_HANDLE_PTR k))
SOFTCARD_UNSUPPORTED(C_SeedRandom, (CK_SESSION_HANDLE h, CK_BYTE_PTR s, CK_ULONG l))
SOFTCARD_UNSUPPORTED(C_WaitForSlotEvent, (CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved))
#undef SOFTCARD_UNSUPPORTED

static CK_FUNCTION_LIST functionList = {{2, 20},
#define SOFTCARD_LIST_ENTRY(name, params) name,
                                        VEL_PKCS11_FUNCTIONS(SOFTCARD_LIST_ENTRY)
#undef SOFTCARD_LIST_ENTRY
};

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList)
{
    return guarded("C_GetFunctionList", "", false, false, [&]() -> CK_RV {
        if (!ppFunctionList)
            return CKR_ARGUMENTS_BAD;
        *ppFunctionList = &functionList;
        return CKR_OK;
    });
}

// Vendor entry point: clears the browser sessions held on a slot's card.
// Looked up in an already loaded library, possibly while it is finalised.
CK_RV IC_ForceCloseChannel01(CK_SLOT_ID slotID)
{
    return guarded("IC_ForceCloseChannel01", fmt("slotID=%lu", ul(slotID)), false, true,
                   [&] { return Library::instance().forceCloseChannel(slotID); });
}

} // extern "C"
