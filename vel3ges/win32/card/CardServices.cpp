#include "CardServices.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../carddata/CardPresentation.h"
#include "../carddata/PaneWriter.h"
#include "CardConnection.h"
#include "CardObjects.h"
#include "CardTrace.h"

namespace vel {

std::string g_sampleFilePath;

namespace {

constexpr size_t kMaxPinStars = 4;
constexpr size_t kMaxUnblockStars = 8;
constexpr CK_ULONG kPartSize = 256;

CK_UTF8CHAR *Utf8(const char *text)
{
    return reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(text));
}

bool NoSession()
{
    return hSession == 0 || hSession == kNoSession;
}

void OpenSessionLines(CK_FLAGS flags)
{
    AppendPaneLine(PaneTrace, "   slotID = %d", static_cast<int>(g_connection.slotID));
    AppendPaneLine(PaneTrace, "   flags = 0x%08x", static_cast<unsigned>(flags));
}

CK_RV OpenSession(CK_FLAGS flags)
{
    hSession = kNoSession;
    std::memset(&g_connection.sessionInfo, 0, sizeof g_connection.sessionInfo);
    StampCallTime();
    CK_RV rv = TraceResult(
        CallOpenSession, g_functions->C_OpenSession(g_connection.slotID, flags, nullptr, nullptr, &hSession));
    if (rv == CKR_OK)
        OpenSessionLines(flags);
    return rv;
}

bool SessionLoggedIn()
{
    CK_SESSION_INFO info{};
    if (g_functions->C_GetSessionInfo(hSession, &info) != CKR_OK)
        return false;
    return info.state == CKS_RW_SO_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS ||
           info.state == CKS_RW_USER_FUNCTIONS;
}

// The traced login of the holder (CKU_USER) or of the unblock code (CKU_SO).
CK_RV LogIn(CK_USER_TYPE user, const char *code)
{
    StampCallTime();
    CK_RV rv = TraceResult(CallLogin, g_functions->C_Login(hSession, user, Utf8(code), std::strlen(code)));
    if (rv == CKR_OK)
        AppendPaneLine(PaneTrace, "   SOLogin = %s", user == CKU_SO ? "TRUE" : "FALSE");
    return rv;
}

CK_RV LogOut()
{
    StampCallTime();
    CK_RV rv = TraceResult(CallLogout, g_functions->C_Logout(hSession));
    if (rv == CKR_OK)
        AppendPaneLine(PaneTrace, "   hSession = 0x%08x", static_cast<unsigned>(hSession));
    return rv;
}

void CloseSession()
{
    StampCallTime();
    TraceResult(CallCloseSession, g_functions->C_CloseSession(hSession));
}

// Feeds the data to C_SignUpdate or C_VerifyUpdate in 256-byte parts; false
// (lastRv set) at the first part refused.
bool SendParts(CK_C_SignUpdate update, CK_SESSION_HANDLE session, const CK_BYTE *data, CK_ULONG dataLength)
{
    CK_BYTE part[kPartSize];
    for (CK_ULONG offset = 0; offset < dataLength; offset += kPartSize) {
        CK_ULONG n = std::min(kPartSize, dataLength - offset);
        std::memcpy(part, data + offset, n);
        CK_RV rv = update(session, part, n);
        if (rv != CKR_OK) {
            lastRv = rv;
            return false;
        }
    }
    return true;
}

// The last call of a signature (C_Sign or C_SignFinal, through `last`) in two
// calls: the length, then the signature, traced. A buffer too small still
// ends the operation (into a scratch buffer) so that it does not stay active
// on the card, and is reported as CKR_ARGUMENTS_BAD.
template <class LastCall>
void FinishSignature(uint16_t callNumber, CK_ULONG *signatureLength, CK_BYTE *signature, LastCall last)
{
    CK_ULONG needed = 0;
    CK_RV rv = last(nullptr, &needed);
    if (rv != CKR_OK) {
        lastRv = rv;
        return;
    }
    if (*signatureLength < needed) {
        std::vector<CK_BYTE> scratch(needed ? needed : 1);
        CK_ULONG len = needed;
        last(scratch.data(), &len);
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    *signatureLength = needed;
    StampCallTime();
    TraceResult(callNumber, last(signature, signatureLength));
}

// The data the signing tests sign: the sample file, else the built-in sample.
struct SampleData {
    std::vector<CK_BYTE> fromFile;
    const CK_BYTE *bytes = nullptr;
    CK_ULONG length = 0;

    SampleData(const SampleData &) = delete; // `bytes` may point into `fromFile`
    SampleData &operator=(const SampleData &) = delete;
    SampleData()
    {
        if (!g_sampleFilePath.empty()) {
            if (std::FILE *f = std::fopen(g_sampleFilePath.c_str(), "rb")) {
                CK_BYTE chunk[4096];
                size_t n;
                while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 &&
                       fromFile.size() < kMaxAttributeLength)
                    fromFile.insert(fromFile.end(), chunk, chunk + n);
                bool failed = std::ferror(f) != 0;
                std::fclose(f);
                if (failed)
                    fromFile.clear();
            }
        }
        if (!fromFile.empty()) {
            bytes = fromFile.data();
            length = static_cast<CK_ULONG>(fromFile.size());
        } else {
            bytes = BuiltInSample();
            length = kBuiltInSampleLength;
        }
    }
};

// Mode 2 signs 0.4 x the modulus length in bytes, never more than the data.
bool RawLength(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_ULONG available, CK_ULONG &length)
{
    CK_ULONG bits = 0;
    CK_ATTRIBUTE attr = {CKA_MODULUS_BITS, &bits, sizeof bits};
    if (g_functions->C_GetAttributeValue(session, key, &attr, 1) != CKR_OK)
        return false;
    length = std::min<CK_ULONG>((bits >> 3) * 2 / 5, available);
    return true;
}

// What a sample test works with: the sample, the key of the certificate read
// last, how much of the sample it uses, and the mechanism.
struct SamplePlan {
    SampleData data;
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG length = 0;
    CK_MECHANISM mechanism{};
};

// False (lastRv set) when mode 2 cannot read the key's size.
bool PlanSample(CK_SESSION_HANDLE session, bool privateKey, CK_MECHANISM_TYPE mechanism, int mode,
                SamplePlan &plan)
{
    StampCallTime();
    FindKeyObject(session, &plan.key, privateKey);
    plan.length = plan.data.length;
    if (mode == 2 && !RawLength(session, plan.key, plan.data.length, plan.length)) {
        lastRv = CKR_FUNCTION_FAILED;
        return false;
    }
    plan.mechanism = {mechanism, nullptr, 0};
    return true;
}

} // namespace

const CK_BYTE *BuiltInSample()
{
    static CK_BYTE sample[kBuiltInSampleLength];
    static bool built = false;
    if (!built) {
        // 652 bytes of CR LF lines, then 48 zero bytes.
        std::string text;
        for (unsigned line = 1; text.size() < 652; ++line) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "VEL3 - donnees d'essai des services de la carte, ligne %02u",
                          line);
            text += buf;
            text += "\r\n";
        }
        text.resize(650);
        text += "\r\n";
        std::memcpy(sample, text.data(), 652);
        built = true;
    }
    return sample;
}

void ServiceUnblockPin(const char *unblockCode, const char *newPin)
{
    if (!unblockCode || !newPin || NoSession() || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CloseSession();
    if (OpenSession(CKF_SERIAL_SESSION | CKF_RW_SESSION) != CKR_OK)
        return;
    if (LogIn(CKU_SO, unblockCode) != CKR_OK)
        return;

    StampCallTime();
    CK_RV initRv =
        TraceResult(CallInitPIN, g_functions->C_InitPIN(hSession, Utf8(newPin), std::strlen(newPin)));
    if (initRv == CKR_OK)
        AppendPaneLine(PaneTrace, "   pPin = %s", StarCopy(newPin, kMaxPinStars).c_str());
    LogOut();
    CloseSession();
    OpenSession(CKF_SERIAL_SESSION);

    if (initRv != CKR_OK) {
        lastRv = initRv;
        return;
    }
    LogIn(CKU_USER, newPin);
    AppendPaneLine(PaneTrace, "   Code recyclage : %s", StarCopy(unblockCode, kMaxUnblockStars).c_str());
    AppendPaneLine(PaneTrace, "   Nouveau code porteur : %s", StarCopy(newPin, kMaxPinStars).c_str());
}

void ServiceChangePin(const char *oldPin, const char *newPin)
{
    lastRv = CKR_OK;
    if (!oldPin || !newPin || NoSession() || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    StampCallTime();
    userLoggedIn = SessionLoggedIn() ? 1 : 0;

    bool oldPinRefused = false;
    if (!userLoggedIn) {
        oldPinRefused = LogIn(CKU_USER, oldPin) != CKR_OK;
        CK_RV loginRv = lastRv;
        userLoggedIn = SessionLoggedIn() ? 1 : 0;
        lastRv = loginRv;
    }

    bool changed = false;
    if (!oldPinRefused && (lastRv == CKR_OK || lastRv == CKR_USER_ALREADY_LOGGED_IN)) {
        StampCallTime();
        if (TraceResult(CallSetPIN, g_functions->C_SetPIN(hSession, Utf8(oldPin), std::strlen(oldPin),
                                                          Utf8(newPin), std::strlen(newPin))) == CKR_OK) {
            changed = true;
            AppendPaneLine(PaneTrace, "   pOldPin = %s", StarCopy(oldPin, kMaxPinStars).c_str());
            AppendPaneLine(PaneTrace, "   pNewPin = %s", StarCopy(newPin, kMaxPinStars).c_str());
            if (LogOut() == CKR_OK)
                userLoggedIn = 0;
        }
    }

    // The new PIN is presented only once it is the card's PIN: a refused old
    // PIN or a refused change must not cost the holder another try.
    if (changed && userLoggedIn == 0 && LogIn(CKU_USER, newPin) == CKR_OK)
        userLoggedIn = 1;
    AppendPaneLine(PaneTrace, "   Ancien code porteur : %s", StarCopy(oldPin, kMaxPinStars).c_str());
    AppendPaneLine(PaneTrace, "   Nouveau code porteur : %s", StarCopy(newPin, kMaxPinStars).c_str());
}

void SignInParts(CK_SESSION_HANDLE session, CK_ULONG dataLength, const CK_BYTE *data,
                 CK_ULONG *signatureLength, CK_BYTE *signature, const CK_MECHANISM *mechanism,
                 CK_OBJECT_HANDLE key)
{
    if (!data || !signatureLength || !signature || !mechanism || dataLength == 0 || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_FUNCTION_LIST *f = g_functions;
    StampCallTime();
    if (TraceResult(CallSignInit, f->C_SignInit(session, const_cast<CK_MECHANISM *>(mechanism), key)) !=
        CKR_OK)
        return;
    if (!SendParts(f->C_SignUpdate, session, data, dataLength))
        return;
    FinishSignature(CallSignFinal, signatureLength, signature,
                    [&](CK_BYTE *out, CK_ULONG *len) { return f->C_SignFinal(session, out, len); });
}

void VerifyInParts(CK_SESSION_HANDLE session, CK_ULONG dataLength, const CK_BYTE *data,
                   CK_ULONG signatureLength, const CK_BYTE *signature, const CK_MECHANISM *mechanism,
                   CK_OBJECT_HANDLE key)
{
    if (!data || !signature || !mechanism || dataLength == 0 || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_FUNCTION_LIST *f = g_functions;
    StampCallTime();
    TraceResult(CallVerifyInit, f->C_VerifyInit(session, const_cast<CK_MECHANISM *>(mechanism), key));
    if (!SendParts(f->C_VerifyUpdate, session, data, dataLength))
        return;
    StampCallTime();
    TraceResult(CallVerifyFinal,
                f->C_VerifyFinal(session, const_cast<CK_BYTE *>(signature), signatureLength));
}

void SignSample(CK_SESSION_HANDLE session, CK_ULONG *signatureLength, CK_BYTE *signature,
                CK_MECHANISM_TYPE mechanism, int mode)
{
    if (!signatureLength || !signature || !g_functions || (mode == 2 && mechanism != CKM_RSA_PKCS)) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_FUNCTION_LIST *f = g_functions;
    SamplePlan p;
    if (!PlanSample(session, true, mechanism, mode, p))
        return;
    if (mechanism != CKM_RSA_PKCS) {
        SignInParts(session, p.length, p.data.bytes, signatureLength, signature, &p.mechanism, p.key);
        return;
    }
    StampCallTime();
    TraceResult(CallSignInit, f->C_SignInit(session, &p.mechanism, p.key));
    CK_BYTE *in = const_cast<CK_BYTE *>(p.data.bytes);
    FinishSignature(CallSign, signatureLength, signature,
                    [&](CK_BYTE *out, CK_ULONG *len) { return f->C_Sign(session, in, p.length, out, len); });
}

void VerifySample(CK_SESSION_HANDLE session, CK_ULONG signatureLength, const CK_BYTE *signature,
                  CK_MECHANISM_TYPE mechanism, int mode)
{
    if (!signature || signatureLength == 0 || !g_functions || (mode == 2 && mechanism != CKM_RSA_PKCS)) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    CK_FUNCTION_LIST *f = g_functions;
    SamplePlan p;
    if (!PlanSample(session, false, mechanism, mode, p))
        return;
    if (mechanism != CKM_RSA_PKCS) {
        VerifyInParts(session, p.length, p.data.bytes, signatureLength, signature, &p.mechanism, p.key);
        return;
    }
    StampCallTime();
    TraceResult(CallVerifyInit, f->C_VerifyInit(session, &p.mechanism, p.key));
    StampCallTime();
    TraceResult(CallVerify, f->C_Verify(session, const_cast<CK_BYTE *>(p.data.bytes), p.length,
                                        const_cast<CK_BYTE *>(signature), signatureLength));
}

void ReadSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO *info)
{
    if (!info || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    if (lastRv != CKR_OK && lastRv != CKR_TOKEN_NOT_PRESENT && lastRv != kPromptPin &&
        lastRv != kHolderUnblocks)
        return;
    StampCallTime();
    if (TraceResult(CallGetSlotInfo, g_functions->C_GetSlotInfo(slot, info)) != CKR_OK)
        return;
    AppendPaneLine(PaneTrace, "   slotIdentifiant = %d", static_cast<int>(slot));
    AppendPaneLine(PaneTrace, "   slotDescription = %.43s",
                   reinterpret_cast<const char *>(info->slotDescription));
}

void ReadTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO *info)
{
    if (!info || !g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return;
    }
    StampCallTime();
    if (TraceResult(CallGetTokenInfo, g_functions->C_GetTokenInfo(slot, info)) != CKR_OK)
        return;
    // The text fields are blank-padded, not zero-terminated: print their width only.
    AppendPaneLine(PaneTrace, "   label = %.32s", reinterpret_cast<const char *>(info->label));
    AppendPaneLine(PaneTrace, "   modele = %.16s", reinterpret_cast<const char *>(info->model));
    AppendPaneLine(PaneTrace, "   n° de serie = %.16s", reinterpret_cast<const char *>(info->serialNumber));
    AppendPaneLine(PaneTrace, "   flags = 0x%08X", static_cast<unsigned>(info->flags));
    TraceTokenFlags(info->flags);
}

} // namespace vel
