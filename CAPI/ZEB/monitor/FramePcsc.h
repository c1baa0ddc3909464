// FramePcsc: the frame's side of the reader monitor (event-driven mode).
// It owns the PcscMonitoring and its FidoWorkarounds, answers the monitor's
// host calls from the card side (ZebCore) and posts WM_USER+5 to the frame.
//   - Start (the initial thread, once the slot list is built) creates and
//     starts both; nothing after Stop.
//   - Stop (WM_CLOSE, destructor) stops the monitor, then joins the hold and
//     the re-selection workers; nothing of them outlives it.
//   - Resume / Unlock (WM_POWERBROADCAST, WM_WTSSESSION_CHANGE) start a
//     re-selection worker when reset_v4_on_startup_delay_ms allows it.
// No host call waits for the window's thread (Stop joins from it).
#ifndef ZEB_FRAME_PCSC_H
#define ZEB_FRAME_PCSC_H

#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "fido_workarounds.h"
#include "pcsc_monitoring.h"
#include "zeb_core.h"

namespace zeb {

class FramePcsc : public PcscMonitorHost {
public:
    explicit FramePcsc(ZebCore &core) : core_(core) {}
    ~FramePcsc() override { Stop(); }
    FramePcsc(const FramePcsc &) = delete;
    FramePcsc &operator=(const FramePcsc &) = delete;

    // Creates and starts the monitor; reader changes are posted to `window`
    // (none: not posted). Once; nothing after Stop.
    void Start(HWND window);
    // Stops and joins everything; later calls and Start do nothing.
    void Stop();
    // A monitor was started and is not stopped.
    bool Running();
    // The monitor's readers (empty without one).
    std::vector<ReaderInfo> Readers();
    // The re-selection worker after a resume ("resume") or an unlock, logon,
    // console connect or monitor power-on ("unlock"); only with a monitor.
    void Resume() { P4Action(false); }
    void Unlock() { P4Action(true); }

    // PcscMonitorHost.
    void LogLine(const std::string &line) override;
    void ReadersChanged() override;
    SlotListing ListSlots() override;
    bool InsertCertificatesFromSlot(unsigned long slotId, const std::string &reader,
                                    unsigned version) override;
    bool DeleteCertificatesFromSlot(unsigned long slotId, const std::string &reader,
                                    unsigned version) override;
    CardWaitSettings WaitSettings() override;
    void CheckV4AtStartup(PcscMonitoring &, const std::string &reader) override;
    void FidoBadgeArrived(PcscMonitoring &, unsigned index) override;
    void ReconcileReaders(const std::vector<std::string> &readers,
                          const std::vector<std::string> &readersWithCard) override;

private:
    void P4Action(bool unlock);

    ZebCore &core_;
    std::mutex lock_; // Start, Stop and the window's reads
    bool stopped_ = false;
    HWND window_ = nullptr;
    std::unique_ptr<PcscMonitoring> monitor_;
    std::unique_ptr<FidoWorkarounds> fido_; // made before the monitor starts, gone after it stops
};

} // namespace zeb

#endif
