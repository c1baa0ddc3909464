// PcscMonitoring: the tray's event-driven card watcher (VEL4 mode).
//
// For the frame (CMainFrame) that owns it:
//   - Implement PcscMonitorHost: LogLine writes one event-log line (texts
//     already start with "[ZEB] "); ReadersChanged posts WM_USER+5 to the
//     frame; ListSlots runs ZEB_Init, C_GetSlotList (traced as
//     ZEB_getSlotList), C_GetSlotInfo per slot and ZEB_finalise under
//     m_csSlotTable; Insert/DeleteCertificatesFromSlot are the frame's own
//     (called on the monitor thread, not by message; no callback may wait
//     for the UI thread, since Stop joins from it); WaitSettings reads
//     patch_fido_v4_initial_delay_ms, _detect_delay_ms and _stability_ms at
//     call time. The FIDO work-arounds (fido_workarounds.h) plug in through
//     CheckV4AtStartup and FidoBadgeArrived (nothing by default): forward
//     them to a FidoWorkarounds made on this monitor.
//   - Construct it with the settings copies (PcscMonitorConfig), call Start
//     once InitSlotList is done, Stop on WM_CLOSE and in the destructor (Stop
//     cancels the wait with SCardCancel and joins the thread: it returns
//     within one wait slice, and nothing of the thread outlives it); then the
//     FidoWorkarounds' Stop, which joins its workers.
//   - Readers() gives a consistent copy of the reader table (names, present
//     flags, versions, slot ids, states, ATRs) at any time, from any thread.
//
// The monitor thread owns its PC/SC context; workers that need PC/SC
// establish their own. x86-64 Windows only (winscard).
#ifndef ZEB_PCSC_MONITORING_H
#define ZEB_PCSC_MONITORING_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor_rules.h"
#include "reader_names.h"
#include "scard_api.h"

namespace zeb {

struct PcscMonitorConfig {
    bool vel4Mode = true;                   // patch_fido_v4
    long startupResetDelayMs = 0;           // reset_v4_on_startup_delay_ms (negative: no start-up check)
    unsigned long resetMode = 0;            // patch_fido_v4_reset
    unsigned long holdSeconds = 0;          // patch_fido_webauthn
    unsigned long retryMs = 20;             // patch_fido_webautn_retry_ms
    unsigned long retryWindowMs = 2000;     // patch_fido_webautn_retry_window_ms
    std::vector<std::string> fidoAtrs;      // atr_badge_fido
    std::vector<std::string> protectedAtrs; // atr_contact_protected
};

struct CardWaitSettings {
    unsigned long initialMs = 650, detectMs = 1000, stabilityMs = 300;
};

struct SlotListing {
    bool initialised = false; // ZEB_Init succeeded
    unsigned long listRv = 0; // C_GetSlotList result
    struct Slot {
        unsigned long id;
        std::string description; // as C_GetSlotInfo gave it (64 bytes, padded)
    };
    std::vector<Slot> slots;      // those whose C_GetSlotInfo succeeded, in list order
    unsigned long finaliseRv = 0; // ZEB_finalise result
};

struct ReaderInfo {
    std::string name;
    bool present = false; // a VEL card (version 3 or 4)
    unsigned version = 0;
    bool fido = false;
    bool slotFound = false;
    unsigned long slotId = 0xFFFFFFFF;
    DWORD state = 0; // last stored event state
    std::vector<uint8_t> atr;
};

class PcscMonitoring;

class PcscMonitorHost {
public:
    virtual ~PcscMonitorHost() = default;
    virtual void LogLine(const std::string &line) = 0;
    virtual void ReadersChanged() = 0;
    virtual SlotListing ListSlots() = 0;
    virtual bool InsertCertificatesFromSlot(unsigned long slotId, const std::string &reader,
                                            unsigned version) = 0;
    virtual bool DeleteCertificatesFromSlot(unsigned long slotId, const std::string &reader,
                                            unsigned version) = 0;
    virtual CardWaitSettings WaitSettings() = 0;
    // A VEL4 card found by the initial scan (on the monitor thread).
    virtual void CheckV4AtStartup(PcscMonitoring &, const std::string &reader) {}
    // A FIDO badge arrived on reader `index` (exclusive hold, then force-close).
    virtual void FidoBadgeArrived(PcscMonitoring &, unsigned index) {}
    // Each scan of every reader (the first one included): all the readers,
    // in order, and those that hold a VEL card now. What is propagated for
    // any other reader is stale.
    virtual void ReconcileReaders(const std::vector<std::string> &readers,
                                  const std::vector<std::string> &readersWithCard)
    {
    }
};

class PcscMonitoring {
public:
    PcscMonitoring(PcscMonitorHost &host, const PcscMonitorConfig &config);
    ~PcscMonitoring(); // stops the thread
    PcscMonitoring(const PcscMonitoring &) = delete;
    PcscMonitoring &operator=(const PcscMonitoring &) = delete;

    // Starts the monitor thread (a second call only logs).
    void Start();
    // Stops and joins it: the thread's wait is cancelled, so this returns
    // within one wait slice. Safe to call again or without Start.
    void Stop();

    std::vector<ReaderInfo> Readers() const;
    const PcscMonitorConfig &Config() const { return config_; }
    bool StopRequested() const { return stopFlag_.load() != 0; }
    // The stop event: workers of the work-arounds wait on it too.
    HANDLE StopEvent() const { return stopEvent_; }

    // Waits until the reader was reported in use by another party and then
    // stayed free for the stability time (bounded by the settings).
    void WaitForCardAvailable(const std::string &reader);

private:
    void Run();
    bool RefreshReaderList(bool &changed);
    void InitialScan();
    bool RebuildSlotCache();
    void ScanReaderStates();
    bool LookAt(unsigned index, ReaderNow &now);
    // Propagates the card of `version` and `insertions` in reader `index`;
    // what is kept of the reader afterwards (KeptAfterPropagation).
    ReaderKept PropagateLooked(unsigned index, unsigned version, unsigned insertions);
    void Propagate(const char *why);
    bool RetryPending() const;
    bool InsertCertificatesFromReader(unsigned index, const std::string &name, unsigned version);
    bool DeleteCertificatesFromReader(unsigned index, const std::string &name, unsigned version);
    bool CertificatesFromReader(bool insert, unsigned index, const std::string &name, unsigned version);
    void ClearTables();
    void ReleaseContext();
    bool WaitStop(DWORD ms);
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void Publish();

    PcscMonitorHost &host_;
    const PcscMonitorConfig config_;
    HANDLE stopEvent_ = nullptr;
    std::atomic<long> stopFlag_{0};
    std::thread thread_;
    std::mutex controlLock_; // Start and Stop
    HANDLE ended_ = nullptr; // set by the thread as it ends
    std::atomic<SCARDCONTEXT> context_{0};

    // Written by the monitor thread only.
    char names_[kMaxReaders][kMaxReaderName] = {};
    unsigned count_ = 0;
    SCARD_READERSTATEA states_[kMaxReaders + 1] = {};
    bool fido_[kMaxReaders] = {};
    bool present_[kMaxReaders] = {};
    unsigned version_[kMaxReaders] = {};
    bool slotFound_[kMaxReaders] = {};
    unsigned long slotId_[kMaxReaders];
    unsigned insertions_[kMaxReaders] = {}; // each reader's insertion count when last seen
    bool propagated_[kMaxReaders] = {};     // the present card's certificates reached the store
    bool slotCacheStale_ = false;           // the last slot listing failed: made again on the next pass
    bool protectedFound_ = false;
    std::string protectedReader_;

    mutable std::mutex publishedLock_;
    std::vector<ReaderInfo> published_;
};

} // namespace zeb

#endif
