#include "SelfTest.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../card/CardConnection.h"
#include "../card/CardObjects.h"
#include "../card/CardReads.h"
#include "../card/CardServices.h"
#include "../card/CardTrace.h"
#include "../carddata/CardPresentation.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "../host/DialogHost.h"
#include "../host/OperationSupport.h"
#include "SampleFile.h"

namespace vel {

namespace {

// VerifyPin results the self-test acts on.
constexpr uint16_t kPinLoggedIn = 0x500;
constexpr uint16_t kPinCardBlockedForGood = 0x502;
constexpr uint16_t kPinDeviceError = 0x503;
constexpr uint16_t kPinCardGone = 0x504;
constexpr uint16_t kPinLoginFailed = 0x505;

// Command bits switched off when the card is blocked for good: situations,
// self-test, present PIN, unblock, change PIN.
constexpr uint32_t kBlockedForGoodBits[] = {0x1, 0x40, 0x8, 0x4, 0x10};

// Progress range beyond the practice situations.
constexpr unsigned kBaseSteps = 14;

constexpr CK_ULONG kSignatureBufferSize = 1024;
constexpr CK_ULONG kChallengeLength = 8;

class SelfTestRun {
public:
    SelfTestRun(DialogHost &host, CardUi &ui) : host_(host), ui_(ui) {}

    void Run();

private:
    // Each returns false when the holder cancelled during the step.
    bool TestCardReads();
    bool TestCertificateSearch(char letter, bool technical);
    bool TestAuthentication();
    bool TestSignature();
    void DrawChallenge();
    // The card's identity forgotten and its state shown (message, commands),
    // with the identification where no pane covers it.
    void ShowCardProblem();

    void Status(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // The counter goes up, the bar follows it (never past its range), then
    // the cancel request is read: false when the holder cancelled.
    bool ProgressStep();
    unsigned ServiceNumber() const
    {
        return counter_ + 1;
    }

    // Which data the signing tests sign, once per self-test.
    void ReportSampleData();
    // A raw signature signs 0.4 of the key length: say when the file was shorter.
    void ReportShortSample(CK_ULONG signatureLength);
    // Without the certificate of its key pair a signing test signs nothing:
    // the key search would otherwise pick another certificate's key.
    bool SkipWithoutCertificate(const char *what);

    DialogHost &host_;
    CardUi &ui_;
    unsigned counter_ = 0;
    unsigned range_ = 0;
    bool certificateFound_ = false;
    bool sampleReported_ = false;
    SampleFileInfo sample_{SampleFileState::Absent, 0};
    CK_BYTE signature_[kSignatureBufferSize];
};

void SelfTestRun::Status(const char *format, ...)
{
    char text[128];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    ui_.SetStatusText(text);
}

bool SelfTestRun::ProgressStep()
{
    ++counter_;
    ui_.StepProgressTo(std::min(counter_, range_));
    return !ui_.CancelRequested();
}

void SelfTestRun::ReportSampleData()
{
    if (sampleReported_)
        return;
    sampleReported_ = true;
    if (g_sampleFilePath.empty()) {
        std::string folder = host_.CoffreFolder();
        if (!folder.empty())
            g_sampleFilePath = folder + kSampleFileName;
    }
    sample_ = InspectSampleFile(g_sampleFilePath);
    switch (sample_.state) {
    case SampleFileState::Present:
        AppendPaneLine(PaneTrace, "   Données signées : %s (%lu octets)", kSampleFileName, sample_.size);
        break;
    case SampleFileState::Absent:
        AppendPaneLine(PaneTrace, "   Fichier %s absent : données d'essai intégrées (%u octets)",
                       kSampleFileName, static_cast<unsigned>(kBuiltInSampleLength));
        break;
    case SampleFileState::Empty:
        AppendPaneLine(PaneTrace, "   Fichier %s vide : données d'essai intégrées (%u octets)",
                       kSampleFileName, static_cast<unsigned>(kBuiltInSampleLength));
        break;
    }
}

void SelfTestRun::ReportShortSample(CK_ULONG signatureLength)
{
    if (sample_.state != SampleFileState::Present)
        return;
    unsigned long wanted = RawSampleLength(signatureLength);
    if (sample_.size < wanted)
        AppendPaneLine(PaneTrace, "   Fichier %s trop court : %lu octets signés au lieu de %lu",
                       kSampleFileName, sample_.size, wanted);
}

bool SelfTestRun::SkipWithoutCertificate(const char *what)
{
    if (certificateFound_ && lastCertificateId.length != 0)
        return false;
    // A certificate whose identifier cannot be kept names no key either.
    AppendPaneLine(PaneTrace, "   %s non effectuée : %s", what,
                   certificateFound_ ? "identifiant du certificat inutilisable"
                                     : "certificat absent de la carte");
    return true;
}

bool SelfTestRun::TestCardReads()
{
    struct Read {
        const char *service;
        bool *done;
        void (*read)();
    };
    const Read reads[] = {
        {"LectureInfosCarte", &g_card.idRead, ReadIdRecord},
        {"LectureInfosPorteur", &g_card.nameRead, ReadNameRecord},
        {"LectureInfosPS2", &g_card.infoRead, ReadInfoRecord},
    };
    bool anyRead = false;
    for (const Read &r : reads) {
        Status("Service PKCS (%u) = %s", ServiceNumber(), r.service);
        if (!*r.done) {
            r.read();
            anyRead = true;
        }
        if (!ProgressStep())
            return false;
    }
    if (anyRead)
        WriteHolderInfo();
    return true;
}

bool SelfTestRun::TestCertificateSearch(char letter, bool technical)
{
    Status("Service PKCS (%u) = C_FindObjects (%c)", ServiceNumber(), letter);
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadCardCertificate(hSession, &value, &length, letter == 'S', technical);
    certificateFound_ = value != nullptr && length != 0;
    std::free(value);
    CK_RV finalRv = lastRv;
    if (!ProgressStep())
        return false;
    if (finalRv != CKR_OK)
        ProgressStep();
    return true;
}

bool SelfTestRun::TestAuthentication()
{
    ReportSampleData();
    CK_ULONG length = kSignatureBufferSize;
    Status("Service PKCS (%u) = C_Sign (Authent)", ServiceNumber());
    bool signedOk = false;
    if (!SkipWithoutCertificate("Authentification")) {
        SignSample(hSession, &length, signature_, CKM_RSA_PKCS, 2);
        TraceMechanism(CKM_RSA_PKCS);
        signedOk = lastRv == CKR_OK;
        if (signedOk) {
            AppendPaneLine(PaneTrace, "   Longueur de l'Authentification = %u",
                           static_cast<unsigned>(length));
            AppendPaneLine(PaneTrace, "   Valeur d'Authentification :");
            TraceHexDump(16, length, signature_);
            ReportShortSample(length);
        }
    }
    if (!ProgressStep())
        return false;
    if (!signedOk) {
        ProgressStep();
        return true;
    }

    Status("Service PKCS (%u) = C_Verify (Authent)", ServiceNumber());
    VerifySample(hSession, length, signature_, CKM_RSA_PKCS, 2);
    TraceMechanism(CKM_RSA_PKCS);
    if (lastRv == CKR_OK) {
        AppendPaneLine(PaneTrace, "   Longueur de l'Authentification = %u", static_cast<unsigned>(length));
        AppendPaneLine(PaneTrace, "   Valeur d'Authentification :");
        TraceHexDump(16, length, signature_);
    }
    return ProgressStep();
}

bool SelfTestRun::TestSignature()
{
    ReportSampleData();
    for (CK_MECHANISM_TYPE mechanism : {CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS}) {
        CK_ULONG length = kSignatureBufferSize;
        Status("Service PKCS (%u) = C_Sign", ServiceNumber());
        bool signedOk = false;
        if (!SkipWithoutCertificate("Signature")) {
            SignSample(hSession, &length, signature_, mechanism, 1);
            TraceMechanism(mechanism);
            signedOk = lastRv == CKR_OK;
            if (signedOk) {
                AppendPaneLine(PaneTrace, "   Longueur de la Signature = %u", static_cast<unsigned>(length));
                AppendPaneLine(PaneTrace, "   Valeur de la signature :");
                TraceHexDump(16, length, signature_);
            }
        }
        if (!ProgressStep())
            return false;
        if (!signedOk) {
            ProgressStep();
            return true; // the later mechanisms are not tried
        }

        Status("Service PKCS (%u) = C_Verify", ServiceNumber());
        VerifySample(hSession, length, signature_, mechanism, 1);
        TraceMechanism(mechanism);
        if (lastRv == CKR_OK) {
            AppendPaneLine(PaneTrace, "   Longueur de la Signature = %u", static_cast<unsigned>(length));
            AppendPaneLine(PaneTrace, "   Valeur de la signature :");
            TraceHexDump(16, length, signature_);
        }
        if (!ProgressStep())
            return false;
    }
    return true;
}

void SelfTestRun::DrawChallenge()
{
    Status("Service PKCS (%u) = C_GenerateRandom", ServiceNumber());
    CK_BYTE challenge[kChallengeLength] = {};
    StampCallTime();
    CK_RV rv = g_functions ? g_functions->C_GenerateRandom(hSession, challenge, kChallengeLength)
                           : static_cast<CK_RV>(CKR_ARGUMENTS_BAD);
    lastRv = rv;
    TraceServiceHeader(CallGenerateRandom, rv);
    if (rv == CKR_OK) {
        AppendPaneLine(PaneTrace, "   Longueur défi : %u", static_cast<unsigned>(kChallengeLength));
        AppendPaneLine(PaneTrace, "   Défi : ");
        TraceHexDump(10, kChallengeLength, challenge);
    }
    ProgressStep();
}

void SelfTestRun::ShowCardProblem()
{
    ForgetCardIdentity();
    host_.ShowCardState(host_.CardStateFromRv());
    if (ui_.ShownPane() == PaneNone)
        ui_.ShowIdentification(true);
}

void SelfTestRun::Run()
{
    AppendPaneLine(PaneJournal, "%s  Test des services VEL", FormatLogTimestamp(std::time(nullptr)).c_str());
    bool single = HasSingleCertificate(hSession);

    if (!single) {
        uint16_t pin = host_.VerifyPin();
        if (pin != kPinLoggedIn) {
            if (pin == kPinCardBlockedForGood)
                for (uint32_t bit : kBlockedForGoodBits)
                    host_.SetCommandState(bit, false);
            else if (pin == kPinCardGone)
                host_.ResetToCardIntroduction();
            else if (pin == kPinDeviceError || pin == kPinLoginFailed)
                // The card failed under the login (pulled, in error): its
                // state, not the commands of a card still there.
                ShowCardProblem();
            return;
        }
    }

    HidePaneOrIdentification(host_);

    if (single) {
        range_ = kBaseSteps;
        host_.BeginLongOperation(range_, true);
        TestCardReads();
        TestCertificateSearch('A', true);
        TestAuthentication();
    } else {
        // The situations on the card, counted now that the holder is logged
        // in (they are private objects).
        uint16_t n = CountActivityObjects(hSession);
        g_card.activityCount = n;
        range_ = kBaseSteps + n;
        host_.BeginLongOperation(range_, true);
        TestCardReads();

        bool cancelled = false;
        for (unsigned i = 0; i < n; ++i) {
            Status("Service PKCS (%u) = VELGES_LecSituationPS(%u)", ServiceNumber(), i);
            ReadActivityRecord(hSession, i);
            if (!ProgressStep()) {
                cancelled = true;
                break;
            }
        }
        if (!cancelled) {
            if (!g_card.billingRead) {
                Status("Service PKCS (%u) = VELGES_LecSituationFacturation", ServiceNumber());
                ReadBillingSituations(hSession);
                g_card.billingRead = g_card.billingRead && lastRv == CKR_OK;
                ProgressStep();
            }
            if (n > 0)
                WriteSituations();
        }

        TestCertificateSearch('A', false);
        TestAuthentication();
        TestCertificateSearch('S', false);
        TestSignature();
    }

    DrawChallenge();
    host_.EndLongOperation();
    // The card gone under the tests (their last call says so): its state,
    // as the reads show it, rather than the results of a card no longer there.
    if (CardOrSessionGone(lastRv)) {
        ShowCardProblem();
        return;
    }
    host_.ShowPane(PaneDiagnostic);
}

} // namespace

void TestServices(DialogHost &host)
{
    CardUi *ui = GetCardUi();
    if (!ui)
        return;
    SelfTestRun run(host, *ui);
    run.Run();
}

void TestServices()
{
    if (DialogHost *host = GetDialogHost())
        TestServices(*host);
}

} // namespace vel
