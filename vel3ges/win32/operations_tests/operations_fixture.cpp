#include "operations_fixture.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "CardConnection.h"
#include "CardObjects.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "card_fixture.h"

namespace vel::ops {

Watch g_watch;
KeyHandles g_keys;

namespace {

CK_FUNCTION_LIST g_original; // the token's own entry points

CK_RV WatchSignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE key)
{
    g_watch.signKeys.push_back(key);
    g_watch.signMechanisms.push_back(m ? m->mechanism : 0);
    return g_original.C_SignInit(h, m, key);
}

CK_RV WatchSign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    if (sig)
        g_watch.rawSignedLengths.push_back(len);
    return g_original.C_Sign(h, data, len, sig, sigLen);
}

CK_RV WatchSignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len)
{
    g_watch.partSignedBytes += len;
    return g_original.C_SignUpdate(h, data, len);
}

CK_RV WatchGenerateRandom(CK_SESSION_HANDLE, CK_BYTE_PTR out, CK_ULONG len)
{
    ++g_watch.randomCalls;
    if (g_watch.randomResult != CKR_OK)
        return g_watch.randomResult;
    for (CK_ULONG i = 0; i < len; ++i)
        out[i] = static_cast<CK_BYTE>(0xA0 + i);
    return CKR_OK;
}

bool g_certificateSearch = false;

CK_RV WatchFindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    g_certificateSearch = false;
    bool data = false;
    std::string label;
    for (CK_ULONG i = 0; i < n; ++i) {
        if (t[i].type == CKA_CLASS) {
            CK_OBJECT_CLASS cls = *static_cast<CK_OBJECT_CLASS *>(t[i].pValue);
            g_certificateSearch = cls == CKO_CERTIFICATE && n == 3;
            data = cls == CKO_DATA;
        }
        if (t[i].type == CKA_LABEL)
            label.assign(static_cast<const char *>(t[i].pValue), t[i].ulValueLen);
    }
    if (data)
        g_watch.dataLabelsSearched.push_back(label);
    return g_original.C_FindObjectsInit(h, t, n);
}

CK_RV WatchFindObjectsFinal(CK_SESSION_HANDLE h)
{
    CK_RV rv = g_original.C_FindObjectsFinal(h);
    if (rv == CKR_OK && g_certificateSearch && g_watch.failCertificateSearchFinal)
        return CKR_FUNCTION_FAILED;
    return rv;
}

CK_OBJECT_HANDLE Add(fake::Object o)
{
    fake::State().objects.push_back(std::move(o));
    return fake::State().objects.size();
}

void AddData(const char *label, bool isPrivate, const fixture::Bytes &value)
{
    Add({CKO_DATA, isPrivate, label, std::vector<CK_BYTE>(value.begin(), value.end()), {}});
}

// A certificate and its two keys.
CK_OBJECT_HANDLE AddKeyPair(const char *label, CK_BYTE id, const std::vector<CK_BYTE> &certificate)
{
    Add({CKO_CERTIFICATE, false, label, certificate, {id}});
    CK_OBJECT_HANDLE priv = Add({CKO_PRIVATE_KEY, true, "", {}, {id}});
    Add({CKO_PUBLIC_KEY, false, "", {}, {id}});
    return priv;
}

std::vector<CK_BYTE> Certificate(CK_BYTE seed, size_t length)
{
    std::vector<CK_BYTE> v(length);
    v[0] = 0x30;
    v[1] = 0x82;
    for (size_t i = 2; i < length; ++i)
        v[i] = static_cast<CK_BYTE>(seed + i * 7);
    return v;
}

} // namespace

std::vector<CK_BYTE> AuthenticationCertificate()
{
    return Certificate(0x11, 1500);
}
std::vector<CK_BYTE> SignatureCertificate()
{
    return Certificate(0x22, 1210);
}
std::vector<CK_BYTE> TechnicalCertificate()
{
    return Certificate(0x33, 900);
}

void SetUpCard(CardKind kind, OperationsUi &ui)
{
    fake::Reset();
    ResetForTest(ui);
    ClearCardData();
    ClearLastCertificateId();
    g_sampleFilePath.clear();
    g_watch = Watch{};
    g_keys = KeyHandles{};

    AddData("VEL_ID_CARD", false, fixture::IdObject());
    AddData("VEL_NAME_PS", false, fixture::NameObject());
    AddData("VEL_INFO_PS", false, fixture::InfoObject());
    if (kind != CardKind::SingleTechnical) {
        AddData("VEL_ACTIVITY_01_PS", true, fixture::Activity1());
        AddData("VEL_ACTIVITY_02_PS", true, fixture::Activity2());
        AddData("VEL_ACTIVITY_03_PS", true, fixture::Activity1());
        AddData("VEL_SIT_FACT", true, fixture::BillingObject());
        g_keys.authPrivate =
            AddKeyPair("Certificat d'Authentification VEL", 0xA1, AuthenticationCertificate());
    }
    if (kind == CardKind::Default)
        g_keys.sigPrivate = AddKeyPair("Certificat de Signature VEL", 0x51, SignatureCertificate());
    if (kind != CardKind::Default)
        g_keys.techPrivate = AddKeyPair("Certificat Technique VEL", 0x7E, TechnicalCertificate());

    CK_FUNCTION_LIST *f = fake::Functions();
    g_original = *f;
    f->C_SignInit = WatchSignInit;
    f->C_Sign = WatchSign;
    f->C_SignUpdate = WatchSignUpdate;
    f->C_GenerateRandom = WatchGenerateRandom;
    f->C_FindObjectsInit = WatchFindObjectsInit;
    f->C_FindObjectsFinal = WatchFindObjectsFinal;
    BindFunctionList(f);

    g_connection.slotID = fake::State().slot;
    CK_SESSION_HANDLE h = 0;
    f->C_OpenSession(g_connection.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
    hSession = h;
    fake::State().calls.clear();
}

uint16_t LogInOnToken()
{
    fake::State().userLoggedIn = true;
    return 0x500;
}

std::string NewTempFolder(const char *name)
{
    namespace fs = std::filesystem;
    fs::path p = fs::temp_directory_path() / (std::string("vel_ops_") + name);
    std::error_code ec;
    fs::remove_all(p, ec);
    fs::create_directories(p);
    return p.string();
}

std::vector<CK_BYTE> ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<CK_BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string &path)
{
    return std::filesystem::exists(path);
}

std::vector<std::string> FilesIn(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    return names;
}

} // namespace vel::ops
