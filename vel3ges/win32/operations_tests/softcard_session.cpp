#include "softcard_session.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "CardConnection.h"
#include "CardObjects.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "PaneWriter.h"
#include "loaded_library.h"

#ifndef VEL_ARTIFACT_DIR
#error VEL_ARTIFACT_DIR must name the folder of the host-side checks
#endif

namespace vel::softcard_ops {

bool OpenCardSession(OperationsUi &ui)
{
    CK_FUNCTION_LIST *f = softcard_test::functions();
    CK_RV rv = f->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return false;
    ResetForTest(ui);
    ClearCardData();
    ClearLastCertificateId();
    g_sampleFilePath.clear();
    BindFunctionList(f);
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    if (f->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK || n == 0)
        return false;
    g_connection.slotID = slots[0];
    CK_SESSION_HANDLE h = kNoSession;
    if (f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
        return false;
    hSession = h;
    return true;
}

void CloseCardSession()
{
    CK_FUNCTION_LIST *f = softcard_test::functions();
    f->C_CloseAllSessions(g_connection.slotID);
    f->C_Finalize(nullptr);
    hSession = kNoSession;
    SetCardUi(nullptr);
}

uint16_t LogInWithDefaultPin()
{
    char pin[] = "1234";
    CK_RV rv =
        softcard_test::functions()->C_Login(hSession, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(pin), 4);
    return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN ? 0x500 : 0x505;
}

void InsertCard(const char *name)
{
    softcard_test::control("remove \"Lecteur Ovrane VEL 0\"");
    softcard_test::control(std::string("insert \"Lecteur Ovrane VEL 0\" ") + name);
}

std::vector<CK_BYTE> CardCertificate(const char *label)
{
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    bool technical = std::strstr(label, "Technique") != nullptr;
    bool signature = std::strstr(label, "Signature") != nullptr;
    ReadCardCertificate(hSession, &value, &length, signature, technical);
    std::vector<CK_BYTE> out(value, value + (value ? length : 0));
    std::free(value);
    return out;
}

void ClearArtifacts()
{
    std::error_code ec;
    std::filesystem::remove_all(VEL_ARTIFACT_DIR, ec);
}

std::string ArtifactFolder(const std::string &sub)
{
    std::filesystem::path p = std::filesystem::path(VEL_ARTIFACT_DIR) / sub;
    std::filesystem::create_directories(p);
    return p.string();
}

void WriteArtifact(const std::string &path, const std::vector<CK_BYTE> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<CK_BYTE> HexAfter(const std::vector<std::string> &trace, const std::string &heading,
                              int occurrence)
{
    std::vector<CK_BYTE> bytes;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i] != heading || occurrence-- > 0)
            continue;
        for (size_t j = i + 1; j < trace.size() && trace[j].compare(0, 6, "      ") == 0; ++j) {
            const std::string &l = trace[j];
            for (size_t k = 6; k + 2 <= l.size(); k += 3)
                bytes.push_back(static_cast<CK_BYTE>(std::stoul(l.substr(k, 2), nullptr, 16)));
        }
        break;
    }
    return bytes;
}

} // namespace vel::softcard_ops
