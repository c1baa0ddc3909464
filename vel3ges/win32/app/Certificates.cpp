// Reading the card's certificates, with an offer to save each one.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppState.h"
#include "CardConnection.h"
#include "CardObjects.h"
#include "CardPresentation.h"
#include "CardRecords.h"
#include "MainDlg.h"
#include "Operations.h"
#include "PaneWriter.h"

namespace vel {

namespace {
CMainDlg &Dlg() { return *g_mainDlg; }

// "      %02x %02x ..." : `perLine` bytes a line.
void HexDumpToTrace(unsigned perLine, size_t count, const CK_BYTE *bytes)
{
    std::string line;
    for (size_t i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", bytes[i]);
        if (line.empty())
            line = "      ";
        line += hex;
        if ((i + 1) % perLine == 0 || i + 1 == count) {
            AppendPaneLine(PaneTrace, "%s", line.c_str());
            line.clear();
        }
    }
}

void TraceCertificate(const CK_BYTE *value, CK_ULONG length, char keyType)
{
    AppendPaneLine(PaneTrace, "   Longeur du Certificat X.509 = %u", (unsigned)length);
    AppendPaneLine(PaneTrace, "%s", "   Valeur du certificat X.509 :");
    HexDumpToTrace(16, length < 16 ? length : 16, value);
    AppendPaneLine(PaneTrace, "   TypeCle: %c", keyType);
}

// The token serial number up to its first blank, or the card number.
std::string ProposedName(bool single, bool signature)
{
    std::string base;
    if (single) {
        for (size_t i = 0; i < sizeof g_state.tokenInfo.serialNumber; ++i) {
            char c = (char)g_state.tokenInfo.serialNumber[i];
            if (c == ' ' || c == '\0')
                break;
            base += c;
        }
        return base + "-Auth_CL";
    }
    base.assign(g_card.id.cardNumber, sizeof g_card.id.cardNumber);
    while (!base.empty() && (base.back() == ' ' || base.back() == '\0'))
        base.pop_back();
    return base + (signature ? "-Sign" : "-Auth");
}

void SaveCertificate(const std::string &name, CK_ULONG length, const CK_BYTE *bytes)
{
    cl::CFileDialog dlg(FALSE, ".crt", name.substr(0, 49).c_str(), OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                        "Certificats de Sécurité (*.crt)|*.crt|All Files (*.*)|*.*||", g_mainDlg);
    if (dlg.DoModal() != IDOK)
        return;
    FILE *f = std::fopen(dlg.GetPathName().c_str(), "wb");
    bool ok = f != nullptr;
    if (f) {
        // A short write leaves a broken certificate file: report it too.
        ok = std::fwrite(bytes, 1, length, f) == length;
        ok = std::fclose(f) == 0 && ok;
    }
    if (!ok)
        ShowMessage("Impossible d'enregister le certificat sur le disque", "Erreur d'écriture", MB_ICONERROR);
}
} // namespace

void ReadCertificate()
{
    AppendPaneLine(PaneJournal, "%s Données du certificat X.509 de %s en %s", NowTimestamp().c_str(),
                   g_card.holderLine.c_str(), "authentificaton");
    if (g_state.shownPane != PaneNone) {
        Dlg().HidePane();
        g_state.shownPane = PaneNone;
    }
    Dlg().ShowIdentification(false);
    const bool single = HasSingleCertificate(hSession);
    Dlg().BeginLongOperation(single ? 1 : 2, true);
    Dlg().SetStatusText("Services PKCS = VELGES_LectureX509(A)");

    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadCardCertificate(hSession, &value, &length, false, single);
    if (lastRv == CKR_OK && value)
        TraceCertificate(value, length, 'A');
    Dlg().StepProgressTo(1);
    if (!g_state.cancelRequested && lastRv == CKR_OK) {
        if (value &&
            ShowMessage("Souhaitez-vous enregistrer votre certificat d'authentification ?", kCaption,
                        MB_YESNO | MB_ICONQUESTION) == IDYES)
            SaveCertificate(ProposedName(single, false), length, value);
        AppendPaneLine(PaneJournal, "%s Données du certificat X.509 de %s en %s", NowTimestamp().c_str(),
                       g_card.holderLine.c_str(), "signature");
        std::free(value);
        value = nullptr;
        if (!single) {
            Dlg().SetStatusText("Services PKCS = VELGES_LectureX509(S)");
            length = 0;
            ReadCardCertificate(hSession, &value, &length, true, false);
            if (lastRv == CKR_OK && value)
                TraceCertificate(value, length, 'S');
            Dlg().StepProgressTo(2);
            if (!g_state.cancelRequested && lastRv == CKR_OK && value &&
                ShowMessage("Souhaitez-vous enregistrer votre certificat de signature ?", kCaption,
                            MB_YESNO | MB_ICONQUESTION) == IDYES)
                SaveCertificate(ProposedName(false, true), length, value);
        }
    }
    std::free(value);
    Dlg().EndLongOperation();
    if (lastRv == CKR_OK) {
        Dlg().ShowIdentification(true);
    } else {
        g_card.billingRead = g_card.infoRead = g_card.nameRead = g_card.idRead = false;
        unsigned n = Dlg().PaneLineCount(PaneDataUpper);
        if (n > 4)
            Dlg().TrimPane(PaneDataUpper, 4, n - 1);
        BuildIdentityTexts();
        ShowCardState(CardStateFromLastRv());
    }
}

} // namespace vel
