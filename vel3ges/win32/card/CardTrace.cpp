#include "CardTrace.h"

#include <cstring>

#include "../carddata/PaneWriter.h"
#include "CardConnection.h"

namespace vel {

std::time_t callTime = 0;

const char *CkrToText(CK_RV rv)
{
    switch (rv) {
    case 0x00:
        return "OK";
    case 0x01:
        return "CKR_CANCEL";
    case 0x02:
        return "CKR_HOST_MEMORY";
    case 0x03:
        return "CKR_SLOT_ID_INVALID";
    case 0x05:
        return "CKR_GENERAL_ERROR";
    case 0x06:
        return "L'opération a échoué";
    case 0x07:
        return "CKR_ARGUMENTS_BAD";
    case 0x08:
        return "CKR_NO_EVENT";
    case 0x09:
        return "CKR_NEED_TO_CREATE_THREADS";
    case 0x0A:
        return "CKR_CANT_LOCK";
    case 0x10:
        return "CKR_ATTRIBUTE_READ_ONLY";
    case 0x11:
        return "CKR_ATTRIBUTE_SENSITIVE";
    case 0x12:
        return "CKR_ATTRIBUTE_TYPE_INVALID";
    case 0x13:
        return "CKR_ATTRIBUTE_VALUE_INVALID";
    case 0x20:
        return "CKR_DATA_INVALID";
    case 0x21:
        return "Données en entrée incorrectes";
    case 0x30:
        return "Erreur matérielle";
    case 0x31:
        return "CKR_DEVICE_MEMORY";
    case 0x32:
        return "CKR_DEVICE_REMOVED";
    case 0x40:
        return "CKR_ENCRYPTED_DATA_INVALID";
    case 0x41:
        return "CKR_ENCRYPTED_DATA_LEN_RANGE";
    case 0x50:
        return "CKR_FUNCTION_CANCELED";
    case 0x51:
        return "CKR_FUNCTION_NOT_PARALLEL";
    case 0x54:
        return "CKR_FUNCTION_NOT_SUPPORTED";
    case 0x60:
        return "CKR_KEY_HANDLE_INVALID";
    case 0x62:
        return "CKR_KEY_SIZE_RANGE";
    case 0x63:
        return "CKR_KEY_TYPE_INCONSISTENT";
    case 0x64:
        return "CKR_KEY_NOT_NEEDED";
    case 0x65:
        return "CKR_KEY_CHANGED";
    case 0x66:
        return "CKR_KEY_NEEDED";
    case 0x67:
        return "CKR_KEY_INDIGESTIBLE";
    case 0x68:
        return "CKR_KEY_FUNCTION_NOT_PERMITTED";
    case 0x69:
        return "CKR_KEY_NOT_WRAPPABLE";
    case 0x6A:
        return "CKR_KEY_UNEXTRACTABLE";
    case 0x70:
        return "Algorithme invalide";
    case 0x71:
        return "CKR_MECHANISM_PARAM_INVALID";
    case 0x82:
        return "CKR_OBJECT_HANDLE_INVALID";
    case 0x90:
        return "Opération en cours";
    case 0x91:
        return "CKR_OPERATION_NOT_INITIALIZED";
    case 0xA0:
        return "Code porteur incorrect";
    case 0xA1:
        return "CKR_PIN_INVALID";
    case 0xA2:
        return "CKR_PIN_LEN_RANGE";
    case 0xA3:
        return "CKR_PIN_EXPIRED";
    case 0xA4:
        return "Carte bloquée";
    case 0xB0:
        return "CKR_SESSION_CLOSED";
    case 0xB1:
        return "CKR_SESSION_COUNT";
    case 0xB3:
        return "CKR_SESSION_HANDLE_INVALID";
    case 0xB4:
        return "CKR_SESSION_PARALLEL_NOT_SUPPORTED";
    case 0xB5:
        return "CKR_SESSION_READ_ONLY";
    case 0xB6:
        return "CKR_SESSION_EXISTS";
    case 0xB7:
        return "CKR_SESSION_READ_ONLY_EXISTS";
    case 0xB8:
        return "CKR_SESSION_READ_WRITE_SO_EXISTS";
    case 0xC0:
        return "CKR_SIGNATURE_INVALID";
    case 0xC1:
        return "CKR_SIGNATURE_LEN_RANGE";
    case 0xD0:
        return "CKR_TEMPLATE_INCOMPLETE";
    case 0xD1:
        return "CKR_TEMPLATE_INCONSISTENT";
    case 0xE0:
        return "CKR_TOKEN_NOT_PRESENT";
    case 0xE1:
        return "CKR_TOKEN_NOT_RECOGNIZED";
    case 0xE2:
        return "CKR_TOKEN_WRITE_PROTECTED";
    case 0xF0:
        return "CKR_UNWRAPPING_KEY_HANDLE_INVALID";
    case 0xF1:
        return "CKR_UNWRAPPING_KEY_SIZE_RANGE";
    case 0xF2:
        return "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT";
    case 0xFF:
        return "Résultat du contrôle effectué incorrect.";
    case 0x100:
        return "Utilisateur déjà authentifié";
    case 0x101:
        return "Utilisateur non authentifié";
    case 0x102:
        return "CKR_USER_PIN_NOT_INITIALIZED";
    case 0x103:
        return "CKR_USER_TYPE_INVALID";
    case 0x104:
        return "CKR_USER_ANOTHER_ALREADY_LOGGED_IN";
    case 0x105:
        return "CKR_USER_TOO_MANY_TYPES";
    case 0x110:
        return "CKR_WRAPPED_KEY_INVALID";
    case 0x112:
        return "CKR_WRAPPED_KEY_LEN_RANGE";
    case 0x113:
        return "CKR_WRAPPING_KEY_HANDLE_INVALID";
    case 0x114:
        return "CKR_WRAPPING_KEY_SIZE_RANGE";
    case 0x115:
        return "CKR_WRAPPING_KEY_TYPE_INCONSISTENT";
    case 0x120:
        return "CKR_RANDOM_SEED_NOT_SUPPORTED";
    case 0x121:
        return "CKR_RANDOM_NO_RNG";
    case 0x130:
        return "CKR_DOMAIN_PARAMS_INVALID";
    case 0x150:
        return "CKR_BUFFER_TOO_SMALL";
    case 0x160:
        return "CKR_SAVED_STATE_INVALID";
    case 0x170:
        return "CKR_INFORMATION_SENSITIVE";
    case 0x180:
        return "CKR_STATE_UNSAVEABLE";
    case 0x190:
        return "CKR_CRYPTOKI_NOT_INITIALIZED";
    case 0x191:
        return "CKR_CRYPTOKI_ALREADY_INITIALIZED";
    case 0x1A0:
        return "CKR_MUTEX_BAD";
    case 0x1A1:
        return "CKR_MUTEX_NOT_LOCKED";
    case 0x200:
        return "CKR_FUNCTION_REJECTED";
    default:
        return "Erreur non référencée.";
    }
}

const char *CallName(uint16_t callNumber)
{
    static const char *const names[] = {
        "C_GetFunctionsList",
        "C_GetInfo",
        "C_Initialize",
        "C_GetSlotList",
        "C_GetSlotInfo",
        "C_GetTokenInfo",
        "C_GetMechanismList",
        "C_GetMechanismInfo",
        "C_InitPIN",
        "C_SetPIN",
        "C_OpenSession",
        "C_GetSessionInfo",
        "C_Login",
        "C_Logout",
        "C_FindObjectsInit",
        "C_FindObjects",
        "C_FindObjectsFinal",
        "C_Finalize",
        "C_CloseSession",
        "C_GetAttributeValue",
        "C_DigestInit",
        "C_DigestUpdadte",
        "C_DigestFinal",
        "C_EncryptInit",
        "C_EncrypUpdate",
        "C_EncryptFinal",
        "C_SignInit",
        "C_SignUpdate",
        "C_SignFinal",
        "C_Sign",
        "C_VerifyInit",
        "C_VerifyUpdate",
        "C_VerifyFinal",
        "C_Verify",
        "C_GenerateRandom",
        "C_CloseAllSessions",
    };
    if (callNumber >= 1 && callNumber <= sizeof names / sizeof names[0])
        return names[callNumber - 1];
    return "Numéro d'API inconnue";
}

std::string FormatLogTimestamp(std::time_t t)
{
    static const char *const months[] = {"JAN", "FEV", "MAR", "AVR", "MAI", "JUN",
                                         "JUL", "AOU", "SEP", "OCT", "NOV", "DEC"};
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%02u-%s-%04u %02u:%02u:%02u", static_cast<unsigned>(tm.tm_mday),
                  months[tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0],
                  static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_hour),
                  static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
    return text;
}

uint16_t lastTracedCall = 0;

void TraceServiceHeader(uint16_t callNumber, CK_RV rv)
{
    lastTracedCall = callNumber;
    const char *name = CallName(callNumber);
    std::string stamp = FormatLogTimestamp(callTime);
    AppendPaneLine(PaneTrace, " ");
    if (CardUi *ui = GetCardUi())
        ui->PushTraceServiceStart();
    AppendPaneLine(PaneTrace, "%s   %s", stamp.c_str(), name);
    AppendPaneLine(PaneDiagnostic, "%s   %s...%s", stamp.c_str(), name, CkrToText(rv));
    if (hSession != kNoSession)
        AppendPaneLine(PaneTrace, "   No Session : %u", static_cast<unsigned>(hSession));
}

void TraceCall(uint16_t callNumber, CK_RV rv)
{
    TraceServiceHeader(callNumber, rv);
    AppendPaneLine(PaneTrace, "   CK_RV = %s", CkrToText(rv));
}

CK_RV TraceResult(uint16_t callNumber, CK_RV rv)
{
    lastRv = rv;
    TraceCall(callNumber, rv);
    return rv;
}

std::string StarCopy(const char *secret, size_t maxStars)
{
    size_t n = 0;
    while (secret && n < maxStars && secret[n] != '\0')
        ++n;
    return std::string(n, '*');
}

} // namespace vel
