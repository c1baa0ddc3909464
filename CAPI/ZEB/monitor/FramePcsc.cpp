#include "FramePcsc.h"

#include "event_log.h"

namespace zeb {

namespace {
constexpr UINT kReadersChangedMessage = WM_USER + 5;

PcscMonitorConfig ConfigFrom(const Settings &s)
{
    PcscMonitorConfig c;
    c.vel4Mode = s.patch_fido_v4 != 0;
    c.startupResetDelayMs = s.reset_v4_on_startup_delay_ms;
    c.resetMode = s.patch_fido_v4_reset;
    c.holdSeconds = s.patch_fido_webauthn;
    c.retryMs = s.patch_fido_webautn_retry_ms;
    c.retryWindowMs = s.patch_fido_webautn_retry_window_ms;
    c.fidoAtrs = s.atr_badge_fido;
    c.protectedAtrs = s.atr_contact_protected;
    return c;
}
} // namespace

void FramePcsc::Start(HWND window)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_ || monitor_)
        return;
    window_ = window;
    monitor_ = std::make_unique<PcscMonitoring>(*this, ConfigFrom(core_.settings()));
    fido_ = std::make_unique<FidoWorkarounds>(*monitor_, [this](const std::string &line) { LogLine(line); });
    monitor_->Start();
}

void FramePcsc::Stop()
{
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    if (monitor_)
        monitor_->Stop(); // its stop event also ends a hold
    if (fido_)
        fido_->Stop();
    fido_.reset();
    monitor_.reset();
}

bool FramePcsc::Running()
{
    std::lock_guard<std::mutex> guard(lock_);
    return monitor_ != nullptr;
}

std::vector<ReaderInfo> FramePcsc::Readers()
{
    std::lock_guard<std::mutex> guard(lock_);
    return monitor_ ? monitor_->Readers() : std::vector<ReaderInfo>();
}

void FramePcsc::P4Action(bool unlock)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!monitor_)
        return;
    const char *what = unlock ? "OnSessionUnlock" : "OnSystemResume";
    if (core_.settings().reset_v4_on_startup_delay_ms < 0) {
        WriteEventLog("[ZEB] P4 %s : reset_v4_on_startup_delay_ms = -1 -> log only (P4 action desactivee)",
                      what);
        return;
    }
    if (unlock)
        WriteEventLog("[ZEB] ***** P4 OnSessionUnlock -> worker direct (FIDO termine) *****");
    else
        WriteEventLog("[ZEB] ***** P4 OnSystemResume -> worker async *****");
    fido_->StartP4Worker(unlock);
}

void FramePcsc::LogLine(const std::string &line)
{
    WriteEventLog("%s", line.c_str());
}

void FramePcsc::ReadersChanged()
{
    if (window_)
        PostMessageA(window_, kReadersChangedMessage, 0, 0);
}

// The monitor's slot cache, read by the card side.
SlotListing FramePcsc::ListSlots()
{
    SlotSurvey survey = core_.SurveySlots();
    SlotListing out;
    out.initialised = survey.initialised;
    out.listRv = survey.listRv;
    for (const ListedSlot &s : survey.slots)
        out.slots.push_back({s.id, std::string(reinterpret_cast<const char *>(s.info.slotDescription),
                                               sizeof s.info.slotDescription)});
    out.finaliseRv = survey.finaliseRv;
    return out;
}

bool FramePcsc::InsertCertificatesFromSlot(unsigned long slotId, const std::string &reader, unsigned version)
{
    return core_.InsertCertificatesFromSlot(slotId, reader.c_str(), static_cast<unsigned char>(version)) !=
           FALSE;
}

bool FramePcsc::DeleteCertificatesFromSlot(unsigned long slotId, const std::string &reader, unsigned version)
{
    return core_.DeleteCertificatesFromSlot(slotId, reader.c_str(), static_cast<unsigned char>(version)) !=
           FALSE;
}

void FramePcsc::ReconcileReaders(const std::vector<std::string> &readers,
                                 const std::vector<std::string> &readersWithCard)
{
    core_.ReconcileWithReaders(readers, readersWithCard);
}

CardWaitSettings FramePcsc::WaitSettings()
{
    const Settings &s = core_.settings();
    CardWaitSettings w;
    w.initialMs = s.patch_fido_v4_initial_delay_ms;
    w.detectMs = s.patch_fido_v4_detect_delay_ms;
    w.stabilityMs = s.patch_fido_v4_stability_ms;
    return w;
}

// Both run on the monitor thread, while fido_ exists (it goes only after the
// monitor has stopped).
void FramePcsc::CheckV4AtStartup(PcscMonitoring &, const std::string &reader)
{
    fido_->CheckV4AtStartup(reader);
}
void FramePcsc::FidoBadgeArrived(PcscMonitoring &, unsigned index)
{
    fido_->BadgeArrived(index);
}

} // namespace zeb
