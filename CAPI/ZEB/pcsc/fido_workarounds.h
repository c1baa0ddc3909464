// FidoWorkarounds: what keeps a VEL card usable beside FIDO badges, the
// certificate propagation service and browsers (VEL4 mode).
//   - BadgeArrived (the monitor's FidoBadgeArrived hook): the exclusive hold
//     of the protected contact readers, with "CertPropSvc" stopped for its
//     length, then the force-close of a browser's channel on the card.
//   - CheckV4AtStartup (the monitor's hook of the same name): the start-up
//     health check of a VEL4 card, repaired by reset or re-selection.
//   - StartP4Worker: the same check after resume ("resume") or session
//     unlock / monitor power-on ("unlock"), on a worker thread.
// Every thread it starts uses a PC/SC context of its own and is joined by
// Stop (call it after the monitor's Stop, whose stop event ends a hold
// within 200 ms). Lines go to the event log through `log`. x86-64 Windows.
#ifndef ZEB_PCSC_FIDO_WORKAROUNDS_H
#define ZEB_PCSC_FIDO_WORKAROUNDS_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pcsc_monitoring.h"

namespace zeb {

class FidoWorkarounds {
public:
    FidoWorkarounds(PcscMonitoring &monitor, std::function<void(const std::string &)> log,
                    std::string pkcs11Module = "vel3_pkcs11_w64.dll");
    ~FidoWorkarounds(); // Stop
    FidoWorkarounds(const FidoWorkarounds &) = delete;
    FidoWorkarounds &operator=(const FidoWorkarounds &) = delete;

    void BadgeArrived(unsigned index);
    void CheckV4AtStartup(const std::string &reader);
    // unlock: the "unlock" worker, else the "resume" one.
    void StartP4Worker(bool unlock);
    // Ends the hold (with the monitor's stop event) and joins every worker.
    void Stop();

    bool HoldInProgress() const { return holdInProgress_.load() != 0; }

private:
    struct HoldArgs {
        FidoWorkarounds *self;
        std::vector<std::string> readers;
        unsigned long holdSeconds;
    };
    struct WorkerArgs {
        FidoWorkarounds *self;
        bool unlock;
    };

    void StartExclusiveHold();
    void ExclusiveHold(const HoldArgs &args);
    bool StopCertPropSvc();
    bool StartCertPropSvc();
    void ForceClose();
    void P4Worker(bool unlock);
    // SELECT of the card's application; one line "[ZEB] P4 <word> ...".
    void RestoreApplication(SCARDHANDLE card, DWORD protocol, const char *word, const std::string &reader);
    static DWORD WINAPI HoldThreadProc(LPVOID args);
    static DWORD WINAPI WorkerThreadProc(LPVOID args);
    bool Spawn(LPTHREAD_START_ROUTINE proc, void *args, DWORD &tid);
    // Waits `ms` on the stop events; true when stopping.
    bool WaitStop(DWORD ms);
    bool Stopping() const;
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));

    PcscMonitoring &monitor_;
    std::function<void(const std::string &)> log_;
    const std::string pkcs11Module_;
    HANDLE stopEvent_;
    std::atomic<long> holdInProgress_{0};
    std::mutex workersLock_;
    std::vector<HANDLE> workers_;
};

} // namespace zeb

#endif
