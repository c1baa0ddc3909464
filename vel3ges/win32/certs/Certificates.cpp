#include "Certificates.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../card/CardConnection.h"
#include "../card/CardObjects.h"
#include "../card/CardTrace.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "../host/DialogHost.h"
#include "../host/OperationSupport.h"
#include "SafeFileWrite.h"

namespace vel {

namespace {

constexpr size_t kMaxFileNameLength = 49;
constexpr size_t kDumpedBytes = 16; // the trace shows the certificate's first bytes only

bool FileNameCharacter(unsigned char c)
{
    return c >= 0x20 && !std::strchr("\\/:*?\"<>|", c);
}

void AppendFileNamePart(std::string &name, const char *field, size_t width, bool cutAtBlank)
{
    for (size_t i = 0; i < width && field[i] != '\0'; ++i) {
        if (cutAtBlank && field[i] == ' ')
            break;
        name += FileNameCharacter(static_cast<unsigned char>(field[i])) ? field[i] : '_';
    }
}

void JournalCertificateLine(const char *keyName)
{
    AppendPaneLine(PaneJournal, "%s Données du certificat X.509 de %s en %s",
                   FormatLogTimestamp(std::time(nullptr)).c_str(), g_card.holderLine.c_str(), keyName);
}

void TraceCertificate(const CK_BYTE *value, CK_ULONG length, char keyType)
{
    AppendPaneLine(PaneTrace, "   Longeur du Certificat X.509 = %u", static_cast<unsigned>(length));
    AppendPaneLine(PaneTrace, "   Valeur du certificat X.509 :");
    TraceHexDump(kDumpedBytes, length < kDumpedBytes ? length : kDumpedBytes, value);
    AppendPaneLine(PaneTrace, "   TypeCle: %c", keyType);
}

} // namespace

std::string CertificateFileName(CertificateKind kind, bool singleCertificate, const CK_TOKEN_INFO &token,
                                const char (&cardNumber)[10])
{
    std::string name;
    if (kind == CertificateKind::Authentication && singleCertificate) {
        AppendFileNamePart(name, reinterpret_cast<const char *>(token.serialNumber),
                           sizeof token.serialNumber, true);
        name += "-Auth_CL";
    } else {
        AppendFileNamePart(name, cardNumber, sizeof cardNumber, false);
        name += kind == CertificateKind::Authentication ? "-Auth" : "-Sign";
    }
    if (name.size() > kMaxFileNameLength)
        name.resize(kMaxFileNameLength);
    return name;
}

void SaveCertificate(DialogHost &host, const char *proposedName, const uint8_t *bytes, size_t length)
{
    std::string path;
    if (!host.AskCertificatePath(proposedName ? proposedName : "", path))
        return;
    if (WriteFileReplacing(path, bytes, length) != WriteResult::Written)
        host.ShowError("Impossible d'enregister le certificat sur le disque", "Erreur d'écriture");
}

void ReadCertificate(DialogHost &host)
{
    CardUi *ui = GetCardUi();
    if (!ui)
        return;
    JournalCertificateLine("authentificaton");
    if (ui->ShownPane() != PaneNone)
        host.HidePane();
    ui->ShowIdentification(false);

    bool single = HasSingleCertificate(hSession);
    host.BeginLongOperation(single ? 1 : 2, true);
    ui->SetStatusText("Services PKCS = VELGES_LectureX509(A)");

    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadCardCertificate(hSession, &value, &length, false, single);
    if (lastRv == CKR_OK && value)
        TraceCertificate(value, length, 'A');
    ui->StepProgressTo(1);

    if (!ui->CancelRequested() && lastRv == CKR_OK) {
        if (value && host.AskYesNo("Souhaitez-vous enregistrer votre certificat d'authentification ?")) {
            std::string name = CertificateFileName(CertificateKind::Authentication, single,
                                                   host.CurrentTokenInfo(), g_card.id.cardNumber);
            SaveCertificate(host, name.c_str(), value, length);
        }
        JournalCertificateLine("signature");
        std::free(value);
        value = nullptr;
        length = 0;

        if (!single) {
            ui->SetStatusText("Services PKCS = VELGES_LectureX509(S)");
            ReadCardCertificate(hSession, &value, &length, true, false);
            if (lastRv == CKR_OK && value)
                TraceCertificate(value, length, 'S');
            ui->StepProgressTo(2);
            if (!ui->CancelRequested() && lastRv == CKR_OK && value &&
                host.AskYesNo("Souhaitez-vous enregistrer votre certificat de signature ?")) {
                std::string name = CertificateFileName(CertificateKind::Signature, false,
                                                       host.CurrentTokenInfo(), g_card.id.cardNumber);
                SaveCertificate(host, name.c_str(), value, length);
            }
        }
    }

    std::free(value);
    host.EndLongOperation();
    if (lastRv == CKR_OK) {
        ui->ShowIdentification(true);
    } else {
        ForgetCardIdentity();
        host.ShowCardState(host.CardStateFromRv());
    }
}

void ReadCertificate()
{
    if (DialogHost *host = GetDialogHost())
        ReadCertificate(*host);
}

} // namespace vel
