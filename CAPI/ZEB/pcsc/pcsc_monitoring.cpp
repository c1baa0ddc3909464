#include "pcsc_monitoring.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "atr_rules.h"
#include "monitor_rules.h"

namespace zeb {

namespace {

const DWORD kStatusWaitMs = 1000;
const DWORD kRetryMs = 1000;
const DWORD kAntiThrashMs = 500;
const DWORD kPollMs = 100;

DWORD WithoutChanged(DWORD state)
{
    return state & ~DWORD(SCARD_STATE_CHANGED);
}

size_t AtrLength(const SCARD_READERSTATEA &s)
{
    return s.cbAtr < sizeof(s.rgbAtr) ? s.cbAtr : sizeof(s.rgbAtr);
}

} // namespace

PcscMonitoring::PcscMonitoring(PcscMonitorHost &host, const PcscMonitorConfig &config)
    : host_(host), config_(config), stopEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      ended_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    for (unsigned long &id : slotId_)
        id = 0xFFFFFFFF;
    Log("[ZEB] PCSC monitoring constructed");
    Log("[ZEB] config patch_fido_v4=%d patch_fido_webautn=%lu retry_ms=%lu retry_window_ms=%lu "
        "atr_fido_count=%d "
        "atr_contact_protected_count=%d",
        config_.vel4Mode ? 1 : 0, config_.holdSeconds, config_.retryMs, config_.retryWindowMs,
        int(config_.fidoAtrs.size()), int(config_.protectedAtrs.size()));
}

PcscMonitoring::~PcscMonitoring()
{
    Stop();
    if (stopEvent_)
        CloseHandle(stopEvent_);
    if (ended_)
        CloseHandle(ended_);
}

void PcscMonitoring::Log(const char *format, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
    host_.LogLine(line);
}

void PcscMonitoring::Start()
{
    std::lock_guard<std::mutex> guard(controlLock_);
    if (thread_.joinable()) {
        Log("[ZEB] PCSC monitoring already started");
        return;
    }
    stopFlag_.store(0);
    ResetEvent(stopEvent_);
    ResetEvent(ended_);
    thread_ = std::thread([this] {
        Run();
        SetEvent(ended_);
    });
    Log("[ZEB] PCSC monitoring start requested thread=%p caller_tid=0x%08lX", static_cast<void *>(&thread_),
        GetCurrentThreadId());
}

void PcscMonitoring::Stop()
{
    std::lock_guard<std::mutex> guard(controlLock_);
    if (!thread_.joinable())
        return;
    Log("[ZEB] PCSC monitoring stop requested");
    stopFlag_.exchange(1);
    SetEvent(stopEvent_);
    // Wakes a status wait at once. A cancel only reaches a wait already
    // under way, so it is repeated until the thread has ended; the thread
    // releases its own context.
    do {
        if (SCARDCONTEXT c = context_.load())
            SCardCancel(c);
    } while (WaitForSingleObject(ended_, 20) == WAIT_TIMEOUT);
    thread_.join();
    Log("[ZEB] PCSC monitoring stopped");
}

bool PcscMonitoring::WaitStop(DWORD ms)
{
    return WaitForSingleObject(stopEvent_, ms) == WAIT_OBJECT_0;
}

void PcscMonitoring::ReleaseContext()
{
    SCARDCONTEXT c = context_.exchange(0);
    if (c) {
        SCardReleaseContext(c);
        Log("[ZEB] SCardReleaseContext");
    }
}

std::vector<ReaderInfo> PcscMonitoring::Readers() const
{
    std::lock_guard<std::mutex> guard(publishedLock_);
    return published_;
}

void PcscMonitoring::Publish()
{
    std::vector<ReaderInfo> table;
    for (unsigned i = 0; i < count_; ++i) {
        ReaderInfo r;
        r.name = names_[i];
        r.present = present_[i];
        r.version = version_[i];
        r.fido = fido_[i];
        r.slotFound = slotFound_[i];
        r.slotId = slotId_[i];
        r.state = states_[i].dwEventState;
        r.atr.assign(states_[i].rgbAtr, states_[i].rgbAtr + AtrLength(states_[i]));
        table.push_back(r);
    }
    std::lock_guard<std::mutex> guard(publishedLock_);
    published_.swap(table);
}

void PcscMonitoring::Run()
{
    Log("[ZEB] PCSC monitoring thread started tid=0x%08lX", GetCurrentThreadId());
    while (!StopRequested()) {
        if (!context_.load()) {
            SCARDCONTEXT c = 0;
            LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c);
            if (rv != SCARD_S_SUCCESS) {
                Log("[ZEB] SCardEstablishContext failed: 0x%08lX", (unsigned long)rv);
                WaitStop(kRetryMs);
                continue;
            }
            context_.store(c);
            Log("[ZEB] SCardEstablishContext success");
            if (StopRequested())
                break; // Stop came before the context was known to it
        }
        bool changed = false;
        if (!RefreshReaderList(changed)) {
            ReleaseContext();
            WaitStop(kRetryMs);
            continue;
        }
        if (changed) {
            InitialScan();
            RebuildSlotCache();
            ScanReaderStates();
            Propagate("initial");
        }
        if (count_ == 0) {
            WaitStop(kRetryMs);
            continue;
        }
        LONG rv = SCardGetStatusChangeA(context_.load(), kStatusWaitMs, states_, count_ + 1);
        if (rv == SCARD_E_TIMEOUT) {
            // A quiet pass: a slot listing that failed is made again, and a
            // card whose propagation failed is tried again.
            if (slotCacheStale_)
                RebuildSlotCache();
            if (RetryPending())
                ScanReaderStates();
            continue;
        }
        if (rv == SCARD_E_CANCELLED && StopRequested())
            break;
        if (rv != SCARD_S_SUCCESS) {
            Log("[ZEB] SCardGetStatusChangeA failed: 0x%08lX (anti-thrash 500ms)", (unsigned long)rv);
            ReleaseContext();
            WaitStop(kAntiThrashMs);
            continue;
        }
        StatusChangeSeen seen;
        for (unsigned i = 0; i <= count_; ++i) {
            if (states_[i].dwEventState != states_[i].dwCurrentState) {
                if (i == count_)
                    seen.pnp = true;
                else
                    seen.readerEntry = true;
            }
            states_[i].dwCurrentState = WithoutChanged(states_[i].dwEventState);
        }
        if (seen.pnp) {
            seen.listRead = RefreshReaderList(changed);
            seen.listChanged = seen.listRead && changed;
        }
        switch (DecideAfterStatusChange(seen)) {
        case AfterChange::rescanAll:
            InitialScan();
            RebuildSlotCache();
            ScanReaderStates();
            Propagate("PnP");
            break;
        case AfterChange::scanStates:
            ScanReaderStates();
            break;
        case AfterChange::nothing:
            break;
        }
    }
    ReleaseContext();
    Log("[ZEB] PCSC monitoring thread ended");
}

void PcscMonitoring::Propagate(const char *why)
{
    std::vector<std::string> all(names_, names_ + count_), withCard;
    for (unsigned i = 0; i < count_; ++i)
        if (present_[i] && version_[i] != 0)
            withCard.push_back(names_[i]);
    host_.ReconcileReaders(all, withCard);
    for (unsigned i = 0; i < count_; ++i) {
        if (!present_[i] || version_[i] == 0)
            continue;
        Log("[ZEB] %s VEL V%u trigger propagation reader=%s", why, version_[i], names_[i]);
        present_[i] = false;
        ReaderKept kept = PropagateLooked(i, version_[i], insertions_[i]);
        present_[i] = true;
        insertions_[i] = kept.insertions;
        propagated_[i] = kept.propagated;
    }
    Publish();
}

ReaderKept PcscMonitoring::PropagateLooked(unsigned index, unsigned version, unsigned insertions)
{
    // The reader looked at around the propagation: the card the card side
    // finds may be newer than the one this decision was made on.
    ReaderNow before, after;
    bool beforeSeen = LookAt(index, before);
    bool propagated = InsertCertificatesFromReader(index, names_[index], version);
    bool afterSeen = LookAt(index, after);
    ReaderKept seen;
    seen.present = true;
    seen.version = version;
    seen.insertions = insertions;
    return KeptAfterPropagation(seen, beforeSeen ? &before : nullptr, afterSeen ? &after : nullptr,
                                propagated);
}

bool PcscMonitoring::LookAt(unsigned index, ReaderNow &now)
{
    SCARD_READERSTATEA q = {};
    q.szReader = names_[index];
    if (SCardGetStatusChangeA(context_.load(), 0, &q, 1) != SCARD_S_SUCCESS)
        return false;
    now.version = CardVersionOfAtr(q.rgbAtr, AtrLength(q));
    now.vel = (q.dwEventState & SCARD_STATE_PRESENT) && now.version != 0;
    now.insertions = InsertionCount(q.dwEventState);
    return true;
}

bool PcscMonitoring::RetryPending() const
{
    for (unsigned i = 0; i < count_; ++i)
        if (present_[i] && !propagated_[i])
            return true;
    return false;
}

void PcscMonitoring::ClearTables()
{
    std::memset(names_, 0, sizeof(names_));
    std::memset(states_, 0, sizeof(states_));
    for (unsigned i = 0; i < kMaxReaders; ++i) {
        fido_[i] = present_[i] = slotFound_[i] = propagated_[i] = false;
        version_[i] = insertions_[i] = 0;
        slotId_[i] = 0xFFFFFFFF;
    }
    protectedFound_ = false;
    protectedReader_.clear();
}

bool PcscMonitoring::RefreshReaderList(bool &changed)
{
    changed = false;
    char *multi = nullptr;
    DWORD size = SCARD_AUTOALLOCATE;
    LONG rv = SCardListReadersA(context_.load(), nullptr, reinterpret_cast<char *>(&multi), &size);
    if (rv == SCARD_E_NO_READERS_AVAILABLE) {
        for (unsigned i = 0; i < count_; ++i)
            if (present_[i] && version_[i]) {
                Log("[ZEB] reader removed (no_readers) cleanup VEL V%u on reader=%s", version_[i], names_[i]);
                DeleteCertificatesFromReader(i, names_[i], version_[i]);
            }
        bool hadReaders = count_ > 0;
        ClearTables();
        count_ = 0;
        changed = hadReaders;
        Publish();
        if (hadReaders)
            host_.ReadersChanged();
        return true;
    }
    if (rv != SCARD_S_SUCCESS) {
        Log("[ZEB] SCardListReadersA failed: 0x%08lX", (unsigned long)rv);
        return false;
    }
    std::vector<std::string> names = ParseReaderList(multi, size);
    SCardFreeMemory(context_.load(), multi);
    bool same = names.size() == count_;
    for (unsigned i = 0; same && i < count_; ++i)
        same = names[i] == names_[i];
    if (same)
        return true;
    changed = true;
    for (unsigned i = 0; i < count_; ++i) {
        if (!present_[i] || !version_[i])
            continue;
        bool stillThere = false;
        for (const std::string &n : names)
            stillThere = stillThere || n == names_[i];
        if (!stillThere) {
            Log("[ZEB] reader unplugged cleanup VEL V%u on reader=%s", version_[i], names_[i]);
            DeleteCertificatesFromReader(i, names_[i], version_[i]);
        }
    }
    std::memset(names_, 0, sizeof(names_));
    for (unsigned i = 0; i < names.size(); ++i) {
        std::memcpy(names_[i], names[i].c_str(), names[i].size()); // cut to 127 by ParseReaderList
        Log("[ZEB] reader[%u]=%s", i, names_[i]);
    }
    count_ = unsigned(names.size());
    Log("[ZEB] reader list updated count=%u", count_);
    Publish();
    host_.ReadersChanged();
    return true;
}

void PcscMonitoring::InitialScan()
{
    for (unsigned i = 0; i < count_; ++i) {
        std::memset(&states_[i], 0, sizeof(states_[i]));
        states_[i].szReader = names_[i];
    }
    std::memset(&states_[count_], 0, sizeof(states_[count_]));
    states_[count_].szReader = SCARD_PNP_NOTIFICATION;
    LONG rv = SCardGetStatusChangeA(context_.load(), 0, states_, count_ + 1);
    if (rv != SCARD_S_SUCCESS) {
        Log("[ZEB] initial SCardGetStatusChangeA failed: 0x%08lX", (unsigned long)rv);
        return;
    }
    states_[count_].dwCurrentState = WithoutChanged(states_[count_].dwEventState);
    for (unsigned i = 0; i < count_; ++i) {
        SCARD_READERSTATEA &s = states_[i];
        size_t n = AtrLength(s);
        bool fido = IsFidoBadgeAtr(s.rgbAtr, n, config_.fidoAtrs);
        s.dwCurrentState = WithoutChanged(s.dwEventState);
        unsigned version = CardVersionOfAtr(s.rgbAtr, n);
        bool present = (s.dwEventState & SCARD_STATE_PRESENT) && version != 0;
        std::string hex = AtrToHex(s.rgbAtr, n);
        Log("[ZEB] initial state reader=%s state=0x%08lX atrLen=%lu atr=%s", names_[i], s.dwEventState,
            (unsigned long)n, hex.c_str());
        present_[i] = present;
        version_[i] = present ? version : 0;
        insertions_[i] = InsertionCount(s.dwEventState);
        // The propagation that follows every initial scan tells whether it
        // worked; until then the scan in between does not take it for a failure.
        propagated_[i] = present;
        if (present) {
            Log("[ZEB] initial VEL V%u present on reader=%s atr=%s", version, names_[i], hex.c_str());
            if (version == 4)
                host_.CheckV4AtStartup(*this, names_[i]);
            Log("[ZEB] plan propagation certs on initial VEL V%u reader=%s", version, names_[i]);
        }
        if (fido)
            Log("[ZEB] FIDO badge detected on reader=%s atr=%s", names_[i], hex.c_str());
        fido_[i] = fido;
    }
    Publish();
}

bool PcscMonitoring::RebuildSlotCache()
{
    for (unsigned i = 0; i < kMaxReaders; ++i) {
        slotFound_[i] = false;
        slotId_[i] = 0xFFFFFFFF;
    }
    if (count_ == 0)
        return true;
    SlotListing listing = host_.ListSlots();
    slotCacheStale_ = true;
    if (!listing.initialised) {
        Log("[ZEB] slot cache init FAILED");
        return false;
    }
    bool ok = listing.listRv == 0;
    slotCacheStale_ = !ok;
    if (!ok) {
        Log("[ZEB] slot cache getSlotList FAILED rv=0x%08lX", listing.listRv);
    } else {
        std::vector<std::string> descriptions, readers(names_, names_ + count_);
        for (const SlotListing::Slot &slot : listing.slots)
            descriptions.push_back(slot.description);
        // Readers named alike over a description's width get one slot each.
        std::vector<int> owner = ReadersOfDescriptions(descriptions, readers);
        for (size_t k = 0; k < owner.size(); ++k) {
            if (owner[k] < 0)
                continue;
            unsigned j = unsigned(owner[k]);
            slotFound_[j] = true;
            slotId_[j] = listing.slots[k].id; // a later slot of the same reader wins
            Log("[ZEB] slot cache reader=%s slotId=%lu", names_[j], listing.slots[k].id);
        }
    }
    Log("[ZEB] slot cache finalise rv=0x%08lX", listing.finaliseRv);
    Publish();
    return ok;
}

void PcscMonitoring::ScanReaderStates()
{
    bool changed = false;
    int protectedIndex = -1;
    for (unsigned i = 0; i < count_; ++i) {
        SCARD_READERSTATEA q = {};
        q.szReader = names_[i];
        if (SCardGetStatusChangeA(context_.load(), 0, &q, 1) != SCARD_S_SUCCESS)
            continue;
        size_t n = AtrLength(q);
        std::string hex = AtrToHex(q.rgbAtr, n);
        bool isPresent = (q.dwEventState & SCARD_STATE_PRESENT) != 0;
        bool fido = IsFidoBadgeAtr(q.rgbAtr, n, config_.fidoAtrs) && isPresent;
        unsigned version = CardVersionOfAtr(q.rgbAtr, n);
        bool vel = isPresent && version != 0;
        SCARD_READERSTATEA &stored = states_[i];
        if (WithoutChanged(q.dwEventState) != WithoutChanged(stored.dwEventState) || n != AtrLength(stored) ||
            std::memcmp(q.rgbAtr, stored.rgbAtr, n) != 0)
            Log("[ZEB] scan reader=%s state=0x%08lX atrLen=%lu atr=%s", names_[i], q.dwEventState,
                (unsigned long)n, hex.c_str());
        if (fido && !fido_[i]) {
            Log("[ZEB] FIDO badge detected on reader=%s atr=%s", names_[i], hex.c_str());
            host_.FidoBadgeArrived(*this, i);
        } else if (!fido && fido_[i]) {
            Log("[ZEB] FIDO badge removed on reader=%s", names_[i]);
        }
        ReaderKept kept;
        kept.present = present_[i];
        kept.version = version_[i];
        kept.insertions = insertions_[i];
        kept.propagated = propagated_[i];
        ReaderNow now;
        now.vel = vel;
        now.version = version;
        now.insertions = InsertionCount(q.dwEventState);
        CardAction action = DecideCardAction(kept, now);
        if (action == CardAction::remove || action == CardAction::replace) {
            Log("[ZEB] VEL V%u removed on reader=%s", version_[i], names_[i]);
            Log("[ZEB] plan cleanup certs on VEL V%u removal reader=%s", version_[i], names_[i]);
            DeleteCertificatesFromReader(i, names_[i], version_[i]);
            propagated_[i] = false;
        }
        if (action == CardAction::insert || action == CardAction::replace) {
            Log("[ZEB] VEL V%u inserted on reader=%s atr=%s", version, names_[i], hex.c_str());
            Log("[ZEB] plan propagation certs on VEL V%u insert reader=%s", version, names_[i]);
            if (version == 4)
                WaitForCardAvailable(names_[i]);
        } else if (action == CardAction::retry) {
            Log("[ZEB] VEL V%u propagation retry on reader=%s", version, names_[i]);
        }
        unsigned insertions = now.insertions;
        if (action == CardAction::insert || action == CardAction::replace || action == CardAction::retry) {
            RebuildSlotCache();
            ReaderKept kept = PropagateLooked(i, version, now.insertions);
            propagated_[i] = kept.propagated;
            insertions = kept.insertions;
        }
        fido_[i] = fido;
        if (present_[i] != vel)
            changed = true;
        present_[i] = vel;
        version_[i] = vel ? version : 0;
        insertions_[i] = insertions;
        if (!vel)
            propagated_[i] = false;
        stored.dwEventState = q.dwEventState;
        stored.dwCurrentState = WithoutChanged(q.dwEventState);
        stored.cbAtr = DWORD(n);
        std::memcpy(stored.rgbAtr, q.rgbAtr, sizeof(stored.rgbAtr));
        if (isPresent && IsProtectedContactAtr(q.rgbAtr, n, config_.protectedAtrs))
            protectedIndex = int(i);
    }
    if (protectedIndex >= 0 && (!protectedFound_ || protectedReader_ != names_[protectedIndex])) {
        Log("[ZEB] protected contact card detected on reader=%s", names_[protectedIndex]);
        protectedFound_ = true;
        protectedReader_ = names_[protectedIndex];
    } else if (protectedIndex < 0 && protectedFound_) {
        Log("[ZEB] protected contact card not found");
        protectedFound_ = false;
        protectedReader_.clear();
    }
    Publish();
    if (changed)
        host_.ReadersChanged();
}

bool PcscMonitoring::InsertCertificatesFromReader(unsigned index, const std::string &name, unsigned version)
{
    return CertificatesFromReader(true, index, name, version);
}

bool PcscMonitoring::DeleteCertificatesFromReader(unsigned index, const std::string &name, unsigned version)
{
    return CertificatesFromReader(false, index, name, version);
}

bool PcscMonitoring::CertificatesFromReader(bool insert, unsigned index, const std::string &name,
                                            unsigned version)
{
    if (name.empty() || version == 0 || index >= count_)
        return false;
    const char *what = insert ? "InsertCertificatesFromReader" : "DeleteCertificatesFromReader";
    Log("[ZEB] %s begin tid=0x%08lX reader=%s vel=V%u", what, GetCurrentThreadId(), name.c_str(), version);
    bool result = false;
    if (!slotFound_[index] && !insert) {
        // The frame finds the entry by the reader's name: a removal needs no
        // slot id, and must never be lost to a listing that failed.
        Log("[ZEB] %s slot cache miss reader=%s vel=V%u", what, name.c_str(), version);
        result = host_.DeleteCertificatesFromSlot(0xFFFFFFFF, name, version);
    } else if (!slotFound_[index])
        Log("[ZEB] %s slot cache miss reader=%s vel=V%u", what, name.c_str(), version);
    else if (insert)
        result = host_.InsertCertificatesFromSlot(slotId_[index], name, version);
    else
        result = host_.DeleteCertificatesFromSlot(slotId_[index], name, version);
    Log("[ZEB] %s end tid=0x%08lX reader=%s vel=V%u %s=%d", what, GetCurrentThreadId(), name.c_str(), version,
        insert ? "propagated" : "deleted", result ? 1 : 0);
    return result;
}

void PcscMonitoring::WaitForCardAvailable(const std::string &reader)
{
    SCARDCONTEXT c = context_.load();
    if (!c || reader.empty())
        return;
    CardWaitSettings w = host_.WaitSettings();
    auto inUse = [&](bool &ok) {
        SCARD_READERSTATEA q = {};
        q.szReader = reader.c_str();
        ok = SCardGetStatusChangeA(c, 0, &q, 1) == SCARD_S_SUCCESS;
        return ok && (q.dwEventState & SCARD_STATE_INUSE) != 0;
    };
    // Counted in 64 bits, so that no setting near 2^32 wraps a loop.
    uint64_t detect = 0;
    bool detected = false;
    for (uint64_t t = 0; t < w.initialMs; t += kPollMs) {
        if (StopRequested())
            return;
        bool ok;
        if (inUse(ok)) {
            detect = t;
            detected = true;
            break;
        }
        if (WaitStop(kPollMs))
            return;
        detect = t + kPollMs;
    }
    if (!detected) {
        Log("[ZEB] WaitForCardAvailable no_inuse_detected reader=%s polled_ms=%llu", reader.c_str(),
            (unsigned long long)detect);
        return;
    }
    Log("[ZEB] WaitForCardAvailable inuse_detected_after_ms=%llu reader=%s", (unsigned long long)detect,
        reader.c_str());
    uint64_t needed = (uint64_t(w.stabilityMs) + kPollMs - 1) / kPollMs, quiet = 0, waited = 0;
    for (; waited < w.detectMs && !StopRequested(); waited += kPollMs) {
        bool ok;
        if (inUse(ok)) {
            quiet = 0;
        } else if (++quiet > needed) {
            break;
        }
        if (WaitStop(kPollMs))
            break;
    }
    Log("[ZEB] WaitForCardAvailable wait_done reader=%s detect_ms=%llu wait_ms=%llu (timeout=%lu "
        "stability_ms=%lu)",
        reader.c_str(), (unsigned long long)detect, (unsigned long long)waited, w.detectMs, w.stabilityMs);
}

} // namespace zeb
