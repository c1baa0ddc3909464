#include "fake_pkcs11.h"

#include <algorithm>
#include <cstring>

namespace vel::fake {

namespace {

Token g_token;

bool Forced(const char *name, CK_RV &rv)
{
    g_token.calls.push_back(name);
    auto it = g_token.forced.find(name);
    if (it == g_token.forced.end() || it->second.empty())
        return false;
    rv = it->second.front();
    it->second.erase(it->second.begin());
    return true;
}

#define ENTER(name)                                                                                          \
    do {                                                                                                     \
        CK_RV forcedRv;                                                                                      \
        if (Forced(#name, forcedRv))                                                                         \
            return forcedRv;                                                                                 \
    } while (0)

Session *Find(CK_SESSION_HANDLE h)
{
    auto it = g_token.sessions.find(h);
    return it == g_token.sessions.end() ? nullptr : &it->second;
}

void Pad(CK_UTF8CHAR *dst, size_t width, const std::string &text)
{
    std::memset(dst, ' ', width);
    std::memcpy(dst, text.data(), std::min(width, text.size()));
}

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    ENTER(C_GetSlotList);
    CK_ULONG n = g_token.readerPresent && (!tokenPresent || g_token.cardPresent) ? 1 : 0;
    if (!list) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (n)
        list[0] = g_token.slot;
    *count = n;
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    ENTER(C_GetSlotInfo);
    if (slot != g_token.slot || !g_token.readerPresent)
        return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    Pad(info->slotDescription, 64, g_token.reader);
    Pad(info->manufacturerID, 32, "Test");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (g_token.cardPresent ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    ENTER(C_GetTokenInfo);
    if (slot != g_token.slot)
        return CKR_SLOT_ID_INVALID;
    if (!g_token.cardPresent)
        return CKR_TOKEN_NOT_PRESENT;
    std::memset(info, 0, sizeof *info);
    Pad(info->label, 32, g_token.label);
    Pad(info->manufacturerID, 32, "Test");
    Pad(info->model, 16, "VEL3");
    Pad(info->serialNumber, 16, "80250000");
    info->flags = g_token.Flags();
    info->ulMinPinLen = g_token.minPin;
    info->ulMaxPinLen = g_token.maxPin;
    return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR ph)
{
    ENTER(C_OpenSession);
    if (slot != g_token.slot)
        return CKR_SLOT_ID_INVALID;
    if (!g_token.cardPresent)
        return CKR_TOKEN_NOT_PRESENT;
    CK_SESSION_HANDLE h = g_token.nextSession++;
    g_token.sessions[h] = Session{flags, {}, false, false, false};
    *ph = h;
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE h)
{
    ENTER(C_CloseSession);
    if (!g_token.sessions.erase(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (g_token.sessions.empty())
        g_token.userLoggedIn = g_token.soLoggedIn = false;
    return CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID)
{
    ENTER(C_CloseAllSessions);
    g_token.sessions.clear();
    g_token.userLoggedIn = g_token.soLoggedIn = false;
    return CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info)
{
    ENTER(C_GetSessionInfo);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    bool rw = s->flags & CKF_RW_SESSION;
    info->slotID = g_token.slot;
    info->flags = s->flags;
    info->ulDeviceError = 0;
    info->state = g_token.soLoggedIn     ? CKS_RW_SO_FUNCTIONS
                  : g_token.userLoggedIn ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                                         : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
    return CKR_OK;
}

CK_RV CheckPin(const std::string &expected, int &tries, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    g_token.pinsSeen.emplace_back(pin, pin + len);
    if (tries <= 0)
        return CKR_PIN_LOCKED;
    if (std::string(reinterpret_cast<char *>(pin), len) != expected) {
        --tries;
        return tries <= 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    }
    tries = expected == g_token.soPin ? 10 : 3;
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    ENTER(C_Login);
    if (!Find(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (user == CKU_SO) {
        CK_RV rv = CheckPin(g_token.soPin, g_token.soTries, pin, len);
        if (rv == CKR_OK)
            g_token.soLoggedIn = true;
        return rv;
    }
    if (g_token.userLoggedIn)
        return CKR_USER_ALREADY_LOGGED_IN;
    CK_RV rv = CheckPin(g_token.userPin, g_token.userTries, pin, len);
    if (rv == CKR_OK)
        g_token.userLoggedIn = true;
    return rv;
}

CK_RV Logout(CK_SESSION_HANDLE h)
{
    ENTER(C_Logout);
    if (!Find(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (!g_token.userLoggedIn && !g_token.soLoggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    g_token.userLoggedIn = g_token.soLoggedIn = false;
    return CKR_OK;
}

CK_RV InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    ENTER(C_InitPIN);
    g_token.pinsSeen.emplace_back(pin, pin + len);
    if (!g_token.soLoggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    g_token.userPin.assign(reinterpret_cast<char *>(pin), len);
    g_token.userTries = 3;
    return CKR_OK;
}

CK_RV SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLen)
{
    ENTER(C_SetPIN);
    g_token.pinsSeen.emplace_back(oldPin, oldPin + oldLen);
    if (!g_token.userLoggedIn)
        return CKR_USER_NOT_LOGGED_IN;
    CK_RV rv = CheckPin(g_token.userPin, g_token.userTries, oldPin, oldLen);
    if (rv == CKR_OK)
        g_token.userPin.assign(reinterpret_cast<char *>(newPin), newLen);
    return rv;
}

bool Matches(const Object &o, const CK_ATTRIBUTE *t, CK_ULONG n)
{
    for (CK_ULONG i = 0; i < n; ++i) {
        const CK_BYTE *v = static_cast<const CK_BYTE *>(t[i].pValue);
        switch (t[i].type) {
        case CKA_CLASS:
            if (*static_cast<const CK_OBJECT_CLASS *>(t[i].pValue) != o.cls)
                return false;
            break;
        case CKA_TOKEN:
            break;
        case CKA_PRIVATE:
            if ((*v != 0) != o.isPrivate)
                return false;
            break;
        case CKA_LABEL:
            if (std::string(reinterpret_cast<const char *>(v), t[i].ulValueLen) != o.label)
                return false;
            break;
        case CKA_ID:
            if (std::vector<CK_BYTE>(v, v + t[i].ulValueLen) != o.id)
                return false;
            break;
        case CKA_CERTIFICATE_TYPE: // every certificate of this token is X.509
            if (o.cls != CKO_CERTIFICATE ||
                *static_cast<const CK_CERTIFICATE_TYPE *>(t[i].pValue) != CKC_X_509)
                return false;
            break;
        default:
            return false;
        }
    }
    return true;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    ENTER(C_FindObjectsInit);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    if (s->finding)
        return CKR_OPERATION_ACTIVE;
    s->finding = true;
    s->found.clear();
    for (size_t i = 0; i < g_token.objects.size(); ++i) {
        const Object &o = g_token.objects[i];
        if (o.isPrivate && !g_token.userLoggedIn)
            continue;
        if (Matches(o, t, n))
            s->found.push_back(i + 1);
    }
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count)
{
    ENTER(C_FindObjects);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    if (!s->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    CK_ULONG n = 0;
    while (n < max && !s->found.empty()) {
        out[n++] = s->found.front();
        s->found.erase(s->found.begin());
    }
    *count = n;
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h)
{
    ENTER(C_FindObjectsFinal);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    if (!s->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    s->finding = false;
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    ENTER(C_GetAttributeValue);
    if (!Find(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (obj == 0 || obj > g_token.objects.size())
        return CKR_OBJECT_HANDLE_INVALID;
    const Object &o = g_token.objects[obj - 1];
    for (CK_ULONG i = 0; i < n; ++i) {
        if (t[i].type == CKA_MODULUS_BITS) {
            if (t[i].pValue && t[i].ulValueLen >= sizeof(CK_ULONG))
                *static_cast<CK_ULONG *>(t[i].pValue) = o.modulusBits;
            t[i].ulValueLen = sizeof(CK_ULONG);
            continue;
        }
        const std::vector<CK_BYTE> *v = t[i].type == CKA_VALUE ? &o.value
                                        : t[i].type == CKA_ID  ? &o.id
                                                               : nullptr;
        if (!v)
            return CKR_ATTRIBUTE_TYPE_INVALID;
        if (t[i].pValue) {
            if (t[i].ulValueLen < v->size())
                return CKR_BUFFER_TOO_SMALL;
            std::memcpy(t[i].pValue, v->data(), v->size());
        }
        t[i].ulValueLen = v->size();
    }
    return CKR_OK;
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE key)
{
    ENTER(C_SignInit);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    if (s->signing)
        return CKR_OPERATION_ACTIVE;
    if (key == 0 || key > g_token.objects.size())
        return CKR_KEY_HANDLE_INVALID;
    s->signing = true;
    return CKR_OK;
}

// Size query (no buffer) keeps the operation; a short buffer keeps it too;
// a completed signature ends it.
CK_RV FinishSignature(Session *s, CK_BYTE_PTR sig, CK_ULONG_PTR len)
{
    if (!s->signing)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!sig) {
        *len = g_token.signatureLength;
        return CKR_OK;
    }
    if (*len < g_token.signatureLength) {
        *len = g_token.signatureLength;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memset(sig, 0x5A, g_token.signatureLength);
    *len = g_token.signatureLength;
    s->signing = false;
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG n, CK_BYTE_PTR sig, CK_ULONG_PTR len)
{
    ENTER(C_Sign);
    g_token.dataLengths.push_back(n);
    Session *s = Find(h);
    return s ? FinishSignature(s, sig, len) : CKR_SESSION_HANDLE_INVALID;
}

CK_RV SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG n)
{
    ENTER(C_SignUpdate);
    g_token.dataLengths.push_back(n);
    Session *s = Find(h);
    return !s ? CKR_SESSION_HANDLE_INVALID : s->signing ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG_PTR len)
{
    ENTER(C_SignFinal);
    Session *s = Find(h);
    return s ? FinishSignature(s, sig, len) : CKR_SESSION_HANDLE_INVALID;
}

CK_RV VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE key)
{
    ENTER(C_VerifyInit);
    Session *s = Find(h);
    if (!s)
        return CKR_SESSION_HANDLE_INVALID;
    if (key == 0 || key > g_token.objects.size())
        return CKR_KEY_HANDLE_INVALID;
    s->verifying = true;
    return CKR_OK;
}

CK_RV CheckSignature(Session *s, CK_BYTE_PTR sig, CK_ULONG len)
{
    if (!s->verifying)
        return CKR_OPERATION_NOT_INITIALIZED;
    s->verifying = false;
    if (len != g_token.signatureLength)
        return CKR_SIGNATURE_LEN_RANGE;
    for (CK_ULONG i = 0; i < len; ++i)
        if (sig[i] != 0x5A)
            return CKR_SIGNATURE_INVALID;
    return CKR_OK;
}

CK_RV Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG n, CK_BYTE_PTR sig, CK_ULONG len)
{
    ENTER(C_Verify);
    g_token.dataLengths.push_back(n);
    Session *s = Find(h);
    return s ? CheckSignature(s, sig, len) : CKR_SESSION_HANDLE_INVALID;
}

CK_RV VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG n)
{
    ENTER(C_VerifyUpdate);
    g_token.dataLengths.push_back(n);
    Session *s = Find(h);
    return !s ? CKR_SESSION_HANDLE_INVALID : s->verifying ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG len)
{
    ENTER(C_VerifyFinal);
    Session *s = Find(h);
    return s ? CheckSignature(s, sig, len) : CKR_SESSION_HANDLE_INVALID;
}

// Every other entry point.
#define VEL_FAKE_STUB(name, params)                                                                          \
    CK_RV Stub_##name params                                                                                 \
    {                                                                                                        \
        g_token.calls.push_back(#name);                                                                      \
        return CKR_FUNCTION_NOT_SUPPORTED;                                                                   \
    }
VEL_PKCS11_FUNCTIONS(VEL_FAKE_STUB)
#undef VEL_FAKE_STUB

CK_FUNCTION_LIST g_list;

} // namespace

CK_FLAGS Token::Flags() const
{
    CK_FLAGS f = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    if (userTries <= 0)
        f |= CKF_USER_PIN_LOCKED;
    else if (userTries == 1)
        f |= CKF_USER_PIN_FINAL_TRY;
    else if (userTries < 3)
        f |= CKF_USER_PIN_COUNT_LOW;
    if (soTries <= 0)
        f |= CKF_SO_PIN_LOCKED;
    else if (soTries == 1)
        f |= CKF_SO_PIN_FINAL_TRY;
    else if (soTries < 10)
        f |= CKF_SO_PIN_COUNT_LOW;
    return f;
}

int Token::Count(const std::string &name) const
{
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

Token &State()
{
    return g_token;
}

void Force(const std::string &function, CK_RV rv, size_t times)
{
    g_token.forced[function].insert(g_token.forced[function].end(), times, rv);
}

void Reset()
{
    g_token = Token{};
#define VEL_FAKE_SET_STUB(name, params) g_list.name = Stub_##name;
    VEL_PKCS11_FUNCTIONS(VEL_FAKE_SET_STUB)
#undef VEL_FAKE_SET_STUB
    g_list.version = {2, 20};
    g_list.C_GetSlotList = GetSlotList;
    g_list.C_GetSlotInfo = GetSlotInfo;
    g_list.C_GetTokenInfo = GetTokenInfo;
    g_list.C_OpenSession = OpenSession;
    g_list.C_CloseSession = CloseSession;
    g_list.C_CloseAllSessions = CloseAllSessions;
    g_list.C_GetSessionInfo = GetSessionInfo;
    g_list.C_Login = Login;
    g_list.C_Logout = Logout;
    g_list.C_InitPIN = InitPIN;
    g_list.C_SetPIN = SetPIN;
    g_list.C_FindObjectsInit = FindObjectsInit;
    g_list.C_FindObjects = FindObjects;
    g_list.C_FindObjectsFinal = FindObjectsFinal;
    g_list.C_GetAttributeValue = GetAttributeValue;
    g_list.C_SignInit = SignInit;
    g_list.C_Sign = Sign;
    g_list.C_SignUpdate = SignUpdate;
    g_list.C_SignFinal = SignFinal;
    g_list.C_VerifyInit = VerifyInit;
    g_list.C_Verify = Verify;
    g_list.C_VerifyUpdate = VerifyUpdate;
    g_list.C_VerifyFinal = VerifyFinal;
}

CK_FUNCTION_LIST *Functions()
{
    return &g_list;
}

} // namespace vel::fake
