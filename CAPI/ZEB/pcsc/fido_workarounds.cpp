#include "fido_workarounds.h"

#include <cstdarg>
#include <cstdio>

#include "atr_rules.h"
#include "card_answers.h"
#include "cert_prop_service.h"
#include "pkcs11.h"

namespace zeb {

namespace {

const DWORD kHoldSliceMs = 200;
const DWORD kBothProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

// One PC/SC context for the thread that makes it.
class OwnContext {
public:
    OwnContext() : rv_(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_)) {}
    ~OwnContext()
    {
        if (rv_ == SCARD_S_SUCCESS)
            SCardReleaseContext(context_);
    }
    OwnContext(const OwnContext &) = delete;
    OwnContext &operator=(const OwnContext &) = delete;
    LONG Rv() const { return rv_; }
    SCARDCONTEXT Get() const { return context_; }
    // A shared connection for checks and repairs; the context's own failure
    // when it has none.
    LONG ConnectShared(const std::string &reader, SCARDHANDLE &card, DWORD &protocol) const
    {
        if (rv_ != SCARD_S_SUCCESS)
            return rv_;
        return SCardConnectA(context_, reader.c_str(), SCARD_SHARE_SHARED, kBothProtocols, &card, &protocol);
    }

private:
    SCARDCONTEXT context_ = 0;
    LONG rv_;
};

// A command and its answer, read only within the receive buffer the command names.
struct Exchange {
    uint8_t buffer[256];
    Response response;
};

void TransmitApdu(SCARDHANDLE card, DWORD protocol, const Apdu &apdu, Exchange &out)
{
    SCARD_IO_REQUEST pci = {protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD length = DWORD(apdu.receive);
    out.response.rv = SCardTransmit(card, &pci, apdu.bytes, DWORD(apdu.length), nullptr, out.buffer, &length);
    out.response.buffer = out.buffer;
    out.response.bufferSize = apdu.receive;
    out.response.reported = out.response.rv == SCARD_S_SUCCESS ? length : 0;
}

unsigned long ElapsedSince(DWORD start)
{
    return GetTickCount() - start;
}

} // namespace

FidoWorkarounds::FidoWorkarounds(PcscMonitoring &monitor, std::function<void(const std::string &)> log,
                                 std::string pkcs11Module)
    : monitor_(monitor), log_(std::move(log)), pkcs11Module_(std::move(pkcs11Module)),
      stopEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

FidoWorkarounds::~FidoWorkarounds()
{
    Stop();
    if (stopEvent_)
        CloseHandle(stopEvent_);
}

void FidoWorkarounds::Log(const char *format, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
    log_(line);
}

bool FidoWorkarounds::Stopping() const
{
    return monitor_.StopRequested() || WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
}

bool FidoWorkarounds::WaitStop(DWORD ms)
{
    HANDLE events[2] = {monitor_.StopEvent(), stopEvent_};
    return WaitForMultipleObjects(2, events, FALSE, ms) != WAIT_TIMEOUT;
}

bool FidoWorkarounds::Spawn(LPTHREAD_START_ROUTINE proc, void *args, DWORD &tid)
{
    std::lock_guard<std::mutex> guard(workersLock_);
    // Workers that have ended are joined here, so the list stays short.
    for (size_t i = workers_.size(); i-- > 0;)
        if (WaitForSingleObject(workers_[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(workers_[i]);
            workers_.erase(workers_.begin() + i);
        }
    HANDLE h = CreateThread(nullptr, 0, proc, args, 0, &tid);
    if (!h)
        return false;
    workers_.push_back(h);
    return true;
}

void FidoWorkarounds::Stop()
{
    SetEvent(stopEvent_);
    std::vector<HANDLE> workers;
    {
        std::lock_guard<std::mutex> guard(workersLock_);
        workers.swap(workers_);
    }
    for (HANDLE h : workers) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
}

// ------------------------------------------------------------ exclusive hold

void FidoWorkarounds::BadgeArrived(unsigned)
{
    StartExclusiveHold();
    ForceClose();
}

void FidoWorkarounds::StartExclusiveHold()
{
    const PcscMonitorConfig &config = monitor_.Config();
    if (config.holdSeconds == 0)
        return;
    long idle = 0;
    if (!holdInProgress_.compare_exchange_strong(idle, 1)) {
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold already in progress (skipping)");
        return;
    }
    HoldArgs *args = new (std::nothrow) HoldArgs{this, {}, config.holdSeconds};
    if (!args) {
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold args alloc FAILED");
        holdInProgress_.exchange(0);
        return;
    }
    for (const ReaderInfo &r : monitor_.Readers())
        if ((r.state & SCARD_STATE_PRESENT) &&
            IsProtectedContactAtr(r.atr.data(), r.atr.size(), config.protectedAtrs))
            args->readers.push_back(r.name);
    if (args->readers.empty()) {
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE skipped: no protected contact reader found");
        delete args;
        holdInProgress_.exchange(0);
        return;
    }
    std::vector<std::string> targets = args->readers;
    DWORD tid = 0;
    if (!Spawn(HoldThreadProc, args, tid)) {
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold worker spawn FAILED");
        delete args;
        holdInProgress_.exchange(0);
        return;
    }
    Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold worker spawned tid=0x%08lX reader_count=%lu hold_s=%lu", tid,
        (unsigned long)targets.size(), config.holdSeconds);
    for (size_t i = 0; i < targets.size(); ++i)
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE target reader[%lu]=%s", (unsigned long)i, targets[i].c_str());
}

DWORD WINAPI FidoWorkarounds::HoldThreadProc(LPVOID p)
{
    HoldArgs *args = static_cast<HoldArgs *>(p);
    args->self->ExclusiveHold(*args);
    delete args;
    return 0;
}

void FidoWorkarounds::ExclusiveHold(const HoldArgs &args)
{
    if (args.readers.empty()) {
        holdInProgress_.exchange(0);
        return;
    }
    const PcscMonitorConfig &config = monitor_.Config();
    Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE connect requested reader_count=%lu primary=%s hold_s=%lu",
        (unsigned long)args.readers.size(), args.readers[0].c_str(), args.holdSeconds);
    bool serviceStopped = StopCertPropSvc();
    OwnContext context;
    struct Held {
        SCARDHANDLE card;
        std::string reader;
    };
    std::vector<Held> held;
    for (size_t i = 0; i < args.readers.size() && held.size() < kMaxReaders; ++i) {
        const std::string &reader = args.readers[i];
        const char *extra = i == 0 ? "" : "extra ";
        LONG rv = SCARD_E_SHARING_VIOLATION;
        unsigned long attempts = 0;
        DWORD start = GetTickCount(), protocol = 0;
        SCARDHANDLE card = 0;
        if (context.Rv() != SCARD_S_SUCCESS)
            rv = context.Rv();
        while (context.Rv() == SCARD_S_SUCCESS && !Stopping()) {
            ++attempts;
            rv = SCardConnectA(context.Get(), reader.c_str(), SCARD_SHARE_EXCLUSIVE, kBothProtocols, &card,
                               &protocol);
            if (rv == SCARD_S_SUCCESS || ElapsedSince(start) >= config.retryWindowMs ||
                WaitStop(config.retryMs))
                break;
        }
        if (rv != SCARD_S_SUCCESS) {
            Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_FAIL %sreader=%s rv=0x%08lX attempts=%lu "
                "waited_ms=%lu",
                extra, reader.c_str(), (unsigned long)rv, attempts, ElapsedSince(start));
            if (i == 0)
                break; // no primary: nothing is held
            continue;
        }
        if (i == 0)
            Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK reader=%s protocol=0x%08lX hold_s=%lu attempts=%lu "
                "waited_ms=%lu",
                reader.c_str(), protocol, args.holdSeconds, attempts, ElapsedSince(start));
        else
            Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE CONNECT_OK extra reader=%s protocol=0x%08lX attempts=%lu "
                "waited_ms=%lu",
                reader.c_str(), protocol, attempts, ElapsedSince(start));
        held.push_back({card, reader});
    }
    // Counted in 64 bits: hold seconds x 5 slices would wrap in 32.
    const uint64_t slices = uint64_t(args.holdSeconds) * (1000 / kHoldSliceMs);
    if (!held.empty())
        for (uint64_t i = 0; i < slices && !WaitStop(kHoldSliceMs); ++i) {
        }
    for (size_t i = held.size(); i-- > 0;) {
        LONG rv = SCardDisconnect(held[i].card, SCARD_LEAVE_CARD);
        Log("PATCH_FIDO_WEBAUTHN EXCLUSIVE hold released reader=%s disconnect_rv=0x%08lX",
            held[i].reader.c_str(), (unsigned long)rv);
    }
    if (serviceStopped)
        StartCertPropSvc();
    holdInProgress_.exchange(0);
}

bool FidoWorkarounds::StopCertPropSvc()
{
    return StopCertPropSvcForHold(log_);
}

bool FidoWorkarounds::StartCertPropSvc()
{
    return StartCertPropSvcAfterHold(log_);
}

// ------------------------------------------------------------ force-close

void FidoWorkarounds::ForceClose()
{
    const PcscMonitorConfig &config = monitor_.Config();
    const ReaderInfo *target = nullptr;
    std::vector<ReaderInfo> readers = monitor_.Readers();
    for (const ReaderInfo &r : readers)
        if (r.present && r.slotId != 0xFFFFFFFF &&
            IsProtectedContactAtr(r.atr.data(), r.atr.size(), config.protectedAtrs)) {
            target = &r;
            break;
        }
    if (!target) {
        Log("PATCH_FIDO_FIREFOX ForceClose: no protected contact reader found");
        return;
    }
    HMODULE library = GetModuleHandleA(pkcs11Module_.c_str());
    if (!library) {
        Log("PATCH_FIDO_FIREFOX ForceClose: GetModuleHandle failed");
        return;
    }
    auto forceClose = reinterpret_cast<CK_IC_ForceCloseChannel01>(
        reinterpret_cast<void *>(GetProcAddress(library, "IC_ForceCloseChannel01")));
    if (!forceClose) {
        Log("PATCH_FIDO_FIREFOX ForceClose: GetProcAddress failed");
        return;
    }
    bool isV4 = target->version == 4;
    Log("PATCH_FIDO_FIREFOX ForceClose: slot=%lu reader=%s isV4=%d", target->slotId, target->name.c_str(),
        isV4 ? 1 : 0);
    CK_RV rv = forceClose(target->slotId);
    if (rv != 0) {
        Log("PATCH_FIDO_FIREFOX ForceClose: non-Firefox session (rv=0x%08lX) -> skip", (unsigned long)rv);
        return;
    }
    Log("PATCH_FIDO_FIREFOX ForceClose: Firefox sessions cleared -> proceed");
    if (!isV4)
        return;
    OwnContext context;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG crv = context.ConnectShared(target->name, card, protocol);
    if (crv != SCARD_S_SUCCESS) {
        Log("PATCH_FIDO_FIREFOX ForceClose: SCardConnect failed rv=0x%08lX", (unsigned long)crv);
        return;
    }
    Exchange x;
    TransmitApdu(card, protocol, kCloseChannel1, x);
    Log("PATCH_FIDO_FIREFOX ForceClose: MANAGE CHANNEL CLOSE rv=0x%08lX sw=%02X%02X",
        (unsigned long)x.response.rv, x.response.ByteOrZero(0), x.response.ByteOrZero(1));
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

// ------------------------------------------------------------ VEL4 health

void FidoWorkarounds::CheckV4AtStartup(const std::string &reader)
{
    const PcscMonitorConfig &config = monitor_.Config();
    if (config.startupResetDelayMs < 0)
        return;
    if (config.startupResetDelayMs > 0) {
        Log("[ZEB] P4 additional delay %lums before reset", (unsigned long)config.startupResetDelayMs);
        if (WaitStop(DWORD(config.startupResetDelayMs)))
            return;
    }
    OwnContext context;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rv = context.ConnectShared(reader, card, protocol);
    if (rv != SCARD_S_SUCCESS) {
        Log("[ZEB] P4 check 2TER connect failed rv=0x%08lX reader=%s", (unsigned long)rv, reader.c_str());
    } else {
        Exchange x;
        TransmitApdu(card, protocol, kSelect5F78, x);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        uint16_t sw = 0;
        if (!x.response.StatusWord(sw)) {
            Log("[ZEB] P4 check 2TER transmit failed rv=0x%08lX reader=%s", (unsigned long)x.response.rv,
                reader.c_str());
        } else {
            Log("[ZEB] P4 check 2TER SELECT 5F78 sw=0x%04X reader=%s", sw, reader.c_str());
            if (HealthyAtStartup(sw)) {
                Log("[ZEB] P4 2TER active on channel 0 (healthy) -> skip reset reader=%s", reader.c_str());
                return;
            }
        }
    }
    bool reset = config.resetMode != 0;
    Log("[ZEB] P4 2TER NOT active (FIDO/corrupted) -> %s reader=%s", reset ? "reset" : "restore VEL2Ter",
        reader.c_str());
    rv = context.ConnectShared(reader, card, protocol);
    if (rv != SCARD_S_SUCCESS) {
        Log("[ZEB] P4 %s connect failed rv=0x%08lX reader=%s", reset ? "reset" : "restore", (unsigned long)rv,
            reader.c_str());
        return;
    }
    if (reset) {
        rv = SCardReconnect(card, SCARD_SHARE_SHARED, kBothProtocols, SCARD_RESET_CARD, &protocol);
        Log("[ZEB] P4 reset card rv=0x%08lX reader=%s", (unsigned long)rv, reader.c_str());
    } else {
        RestoreApplication(card, protocol, "restore", reader);
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

void FidoWorkarounds::RestoreApplication(SCARDHANDLE card, DWORD protocol, const char *word,
                                         const std::string &reader)
{
    Exchange x;
    TransmitApdu(card, protocol, kSelectVelAid, x);
    uint16_t sw = 0;
    if (!x.response.StatusWord(sw))
        Log("[ZEB] P4 %s transmit failed rv=0x%08lX reader=%s", word, (unsigned long)x.response.rv,
            reader.c_str());
    else
        Log("[ZEB] P4 %s SELECT VEL2Ter sw=0x%04X reader=%s", word, sw, reader.c_str());
}

void FidoWorkarounds::StartP4Worker(bool unlock)
{
    WorkerArgs *args = new (std::nothrow) WorkerArgs{this, unlock};
    DWORD tid = 0;
    if (!args || !Spawn(WorkerThreadProc, args, tid))
        delete args;
}

DWORD WINAPI FidoWorkarounds::WorkerThreadProc(LPVOID p)
{
    WorkerArgs *args = static_cast<WorkerArgs *>(p);
    args->self->P4Worker(args->unlock);
    delete args;
    return 0;
}

void FidoWorkarounds::P4Worker(bool unlock)
{
    const char *word = unlock ? "unlock" : "resume";
    bool reset = monitor_.Config().resetMode != 0;
    Log("[ZEB] ***** P4 %s worker start *****", word);
    OwnContext context;
    if (context.Rv() != SCARD_S_SUCCESS) {
        Log("[ZEB] P4 %s SCardEstablishContext failed", word);
        Log("[ZEB] ***** P4 %s worker end *****", word);
        return;
    }
    for (const ReaderInfo &r : monitor_.Readers()) {
        if (r.version != 4 || !r.present)
            continue;
        const char *name = r.name.c_str();
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        LONG rv = context.ConnectShared(r.name, card, protocol);
        if (rv != SCARD_S_SUCCESS) {
            Log("[ZEB] P4 %s connect failed rv=0x%08lX reader=%s", word, (unsigned long)rv, name);
            continue;
        }
        Exchange x;
        TransmitApdu(card, protocol, kSelectMasterFile, x);
        uint16_t sw = x.response.StatusOrZero();
        if (HealthyOnResume(sw)) {
            Log("[ZEB] P4 %s 2TER active (OK) sw=0x%04X reader=%s", word, sw, name);
        } else {
            Log("[ZEB] P4 %s 2TER NOT active sw=0x%04X reader=%s -> %s", word, sw, name,
                reset ? "reset" : "restore VEL2Ter");
            if (reset) {
                rv = SCardReconnect(card, SCARD_SHARE_SHARED, kBothProtocols, SCARD_RESET_CARD, &protocol);
                Log("[ZEB] P4 %s reset rv=0x%08lX reader=%s", word, (unsigned long)rv, name);
            } else {
                RestoreApplication(card, protocol, word, r.name);
            }
        }
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    Log("[ZEB] ***** P4 %s worker end *****", word);
}

} // namespace zeb
