// The self-test of the card services: every service in turn on the inserted
// card, with its record in the logs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppState.h"
#include "CardConnection.h"
#include "CardObjects.h"
#include "CardPresentation.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "CardServices.h"
#include "CardTrace.h"
#include "MainDlg.h"
#include "Operations.h"
#include "PaneWriter.h"

namespace vel {

namespace {
CMainDlg &Dlg() { return *g_mainDlg; }

unsigned g_services = 0;   // services done in this self-test

void Status(const char *what)
{
    char text[128];
    std::snprintf(text, sizeof text, "Service PKCS (%u) = %s", g_services + 1, what);
    Dlg().SetStatusText(text);
}

// After each service: one more step; false once the holder cancelled.
bool Step()
{
    ++g_services;
    Dlg().StepProgressTo(g_services);
    return !g_state.cancelRequested;
}

void HexDump(unsigned perLine, size_t count, const CK_BYTE *bytes)
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

bool TestCardReads()
{
    struct Read {
        const char *status;
        bool *done;
        void (*read)();
    } reads[] = {
        {"LectureInfosCarte", &g_card.idRead, ReadIdRecord},
        {"LectureInfosPorteur", &g_card.nameRead, ReadNameRecord},
        {"LectureInfosPS2", &g_card.infoRead, ReadInfoRecord},
    };
    bool readSomething = false;
    for (const Read &r : reads) {
        Status(r.status);
        if (!*r.done) {
            r.read();
            readSomething = true;
        }
        if (!Step())
            return false;
    }
    if (readSomething)
        WriteHolderInfo();
    return true;
}

bool TestCertificateSearch(char letter, bool technical)
{
    char what[40];
    std::snprintf(what, sizeof what, "C_FindObjects (%c)", letter);
    Status(what);
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadCardCertificate(hSession, &value, &length, letter == 'S', technical);
    std::free(value);
    bool goOn = Step();
    if (lastRv != CKR_OK)
        ++g_services;
    return goOn;
}

void TraceSignature(bool authentication, CK_ULONG length, const CK_BYTE *bytes)
{
    if (authentication) {
        AppendPaneLine(PaneTrace, "   Longueur de l'Authentification = %u", (unsigned)length);
        AppendPaneLine(PaneTrace, "%s", "   Valeur d'Authentification :");
    } else {
        AppendPaneLine(PaneTrace, "   Longueur de la Signature = %u", (unsigned)length);
        AppendPaneLine(PaneTrace, "%s", "   Valeur de la signature :");
    }
    HexDump(16, length, bytes);
}

bool TestAuthentication()
{
    CK_BYTE signature[1024] = {};
    CK_ULONG length = sizeof signature;
    Status("C_Sign (Authent)");
    SignSample(hSession, &length, signature, CKM_RSA_PKCS, 2);
    TraceMechanism(CKM_RSA_PKCS);
    const bool signedOk = lastRv == CKR_OK;
    if (signedOk)
        TraceSignature(true, length, signature);
    if (!Step())
        return false;
    if (!signedOk) {
        ++g_services;
        return true;
    }
    Status("C_Verify (Authent)");
    VerifySample(hSession, length, signature, CKM_RSA_PKCS, 2);
    TraceMechanism(CKM_RSA_PKCS);
    if (lastRv == CKR_OK)
        TraceSignature(true, length, signature);
    return Step();
}

bool TestSignature()
{
    for (CK_MECHANISM_TYPE mechanism : {(CK_MECHANISM_TYPE)CKM_SHA1_RSA_PKCS, (CK_MECHANISM_TYPE)CKM_SHA256_RSA_PKCS}) {
        CK_BYTE signature[1024] = {};
        CK_ULONG length = sizeof signature;
        Status("C_Sign");
        SignSample(hSession, &length, signature, mechanism, 1);
        TraceMechanism(mechanism);
        const bool signedOk = lastRv == CKR_OK;
        if (signedOk)
            TraceSignature(false, length, signature);
        if (!Step())
            return false;
        if (!signedOk) {
            ++g_services;
            return true;
        }
        Status("C_Verify");
        VerifySample(hSession, length, signature, mechanism, 1);
        TraceMechanism(mechanism);
        if (lastRv == CKR_OK)
            TraceSignature(false, length, signature);
        if (!Step())
            return false;
    }
    return true;
}
} // namespace

void TestServices()
{
    g_services = 0;
    AppendJournal("Test des services VEL");
    const bool single = HasSingleCertificate(hSession);
    if (!single) {
        switch (VerifyPin()) {
        case PinLoggedIn:
            break;
        case PinCardBlockedForGood:
            SetCommandsOff(CmdReadSituations | CmdSelfTest | CmdPresentPin | CmdUnblockPin | CmdChangePin);
            return;
        case PinCardGone:
            ResetToCardIntroduction();
            return;
        default:
            return;
        }
    }
    if (g_state.shownPane != PaneNone) {
        Dlg().HidePane();
        g_state.shownPane = PaneNone;
    } else {
        Dlg().ShowIdentification(false);
    }
    if (single) {
        Dlg().BeginLongOperation(14, true);
        if (TestCardReads() && TestCertificateSearch('A', true))
            TestAuthentication();
    } else {
        unsigned n = CountActivityObjects(hSession);
        if (n > kMaxActivities)
            n = kMaxActivities;
        g_card.activityCount = (uint16_t)n;
        Dlg().BeginLongOperation(n + 14, true);
        bool goOn = TestCardReads();
        for (unsigned i = 0; goOn && i < n; ++i) {
            char what[64];
            std::snprintf(what, sizeof what, "VELGES_LecSituationPS(%u)", i);
            Status(what);
            ReadActivityRecord(hSession, i);
            goOn = Step();
        }
        if (goOn) {
            if (!g_card.billingRead) {
                Status("VELGES_LecSituationFacturation");
                ReadBillingSituations(hSession);
                g_card.billingRead = lastRv == CKR_OK && g_card.billingRead;
                Step();
            }
            if (n > 0)
                WriteSituations();
        }
        // After a cancel each step still starts and stops after its first service.
        TestCertificateSearch('A', false);
        TestAuthentication();
        TestCertificateSearch('S', false);
        TestSignature();
    }
    Status("C_GenerateRandom");
    CK_BYTE challenge[8] = {};
    StampCallTime();
    CK_RV rv = g_functions ? g_functions->C_GenerateRandom(hSession, challenge, sizeof challenge) : CKR_GENERAL_ERROR;
    lastRv = rv;
    TraceServiceHeader(CallGenerateRandom, rv);
    if (rv == CKR_OK) {
        AppendPaneLine(PaneTrace, "   Longueur défi : %u", (unsigned)sizeof challenge);
        AppendPaneLine(PaneTrace, "%s", "   Défi : ");
        HexDump(10, sizeof challenge, challenge);
    }
    Step();
    Dlg().EndLongOperation();
    Dlg().ShowPane(PaneDiagnostic);
}

} // namespace vel
