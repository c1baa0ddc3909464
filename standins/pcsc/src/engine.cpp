#include "engine.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "card_model.h"
#include "reader_view.h"
#include "scard_api.h"
#include "text_records.h"

namespace pcsc {
namespace {

// Handle values carry their kind in the low bits, so a card handle given as
// a context (or the reverse) is refused.
const ULONG_PTR kContextTag = 0xC, kCardTag = 0xA, kTagMask = 0xF;
const DWORD kWaitSliceMs = 250; // a safety net: the folder watch wakes us first
const DWORD kMaxQueries = 64;
const size_t kMaxApdu = 261; // short APDU: header, Lc, 255 bytes, Le

// Wakes a waiting call when a file of the shared world's folder changes.
class FolderWatch {
public:
    explicit FolderWatch(const std::string &folder)
        : handle_(FindFirstChangeNotificationA(folder.c_str(), FALSE,
                                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                                   FILE_NOTIFY_CHANGE_SIZE))
    {
    }
    ~FolderWatch()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            FindCloseChangeNotification(handle_);
    }
    // Waits for a change, `extra` (when given) or `ms`; true when `extra` fired.
    bool Wait(HANDLE extra, DWORD ms)
    {
        HANDLE handles[2];
        DWORD n = 0;
        if (extra)
            handles[n++] = extra;
        if (handle_ != INVALID_HANDLE_VALUE)
            handles[n++] = handle_;
        if (n == 0) {
            Sleep(ms);
            return false;
        }
        DWORD r = WaitForMultipleObjects(n, handles, FALSE, ms);
        if (extra && r == WAIT_OBJECT_0)
            return true;
        if (handle_ != INVALID_HANDLE_VALUE && r == WAIT_OBJECT_0 + n - 1)
            FindNextChangeNotification(handle_);
        return false;
    }
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

private:
    HANDLE handle_;
};

DWORD ChooseProtocol(DWORD wanted)
{
    if (wanted & SCARD_PROTOCOL_T0)
        return SCARD_PROTOCOL_T0;
    if (wanted & SCARD_PROTOCOL_T1)
        return SCARD_PROTOCOL_T1;
    return wanted & SCARD_PROTOCOL_RAW;
}

bool ValidShare(DWORD share)
{
    return share == SCARD_SHARE_EXCLUSIVE || share == SCARD_SHARE_SHARED || share == SCARD_SHARE_DIRECT;
}

bool ProtocolsFor(DWORD share, DWORD protocols)
{
    const DWORD known = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;
    if (protocols & ~known)
        return false;
    return share == SCARD_SHARE_DIRECT || protocols != 0;
}

std::string Hex(const uint8_t *p, size_t n)
{
    return softcard::hexString(std::vector<uint8_t>(p, p + n));
}

std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *format, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    return buf;
}

// Whether connection `o` is this process's connection `number`.
bool IsOurs(const Connection &o, unsigned long number)
{
    return o.pid == GetCurrentProcessId() && o.id == number;
}

// Whether a disposition resets the card.
bool Resets(DWORD disposition)
{
    return disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD;
}

// Drops this process's connection `number`; whether it was there.
bool RemoveConnection(Runtime &rt, unsigned long number)
{
    for (size_t i = 0; i < rt.connections.size(); ++i)
        if (IsOurs(rt.connections[i], number)) {
            rt.connections.erase(rt.connections.begin() + i);
            return true;
        }
    return false;
}

} // namespace

Engine &Engine::Instance()
{
    // Never destroyed: a process may call in while its other threads end.
    static Engine *engine = new Engine();
    return *engine;
}

bool Engine::ValidContext(ULONG_PTR context)
{
    return contexts_.count(context) != 0;
}

bool Engine::WakeWaiters(ULONG_PTR context)
{
    auto it = contexts_.find(context);
    if (it == contexts_.end())
        return false;
    for (HANDLE waiter : it->second.waiters)
        SetEvent(waiter); // the waiting calls end as cancelled
    return true;
}

LONG Engine::Establish(DWORD scope, ULONG_PTR &context)
{
    if (scope > SCARD_SCOPE_SYSTEM)
        return SCARD_E_INVALID_VALUE;
    long injected;
    if (world_.TakeInjection("SCardEstablishContext", injected))
        return injected;
    std::lock_guard<std::mutex> guard(mutex_);
    context = ULONG_PTR(next_++) << 4 | kContextTag;
    contexts_[context];
    return SCARD_S_SUCCESS;
}

void Engine::DisconnectAll(ULONG_PTR context)
{
    std::vector<ULONG_PTR> mine;
    for (const auto &c : cards_)
        if (c.second.context == context)
            mine.push_back(c.first);
    for (ULONG_PTR h : mine) {
        unsigned long number = cards_[h].number;
        world_.Update([&](World &w, bool &changed) -> long {
            changed = RemoveConnection(w.runtime, number);
            return SCARD_S_SUCCESS;
        });
        cards_.erase(h);
    }
}

LONG Engine::Release(ULONG_PTR context)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!WakeWaiters(context))
        return SCARD_E_INVALID_HANDLE;
    contexts_.erase(context);
    DisconnectAll(context);
    return SCARD_S_SUCCESS;
}

LONG Engine::IsValid(ULONG_PTR context)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return ValidContext(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG Engine::Cancel(ULONG_PTR context)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return WakeWaiters(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG Engine::ListReaders(ULONG_PTR context, std::vector<std::string> &names)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (context != 0 && !ValidContext(context))
            return SCARD_E_INVALID_HANDLE;
    }
    long injected;
    if (world_.TakeInjection("SCardListReaders", injected))
        return injected;
    World w;
    if (!world_.Read(w))
        return SCARD_F_INTERNAL_ERROR;
    names.clear();
    for (const softcard::Reader &r : w.state.readers)
        names.push_back(r.name);
    return names.empty() ? SCARD_E_NO_READERS_AVAILABLE : SCARD_S_SUCCESS;
}

LONG Engine::GetStatusChange(ULONG_PTR context, DWORD timeout, std::vector<StatusQuery> &queries)
{
    if (queries.size() > kMaxQueries)
        return SCARD_E_INVALID_VALUE;
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wake)
        return SCARD_E_NO_MEMORY;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = contexts_.find(context);
        if (it == contexts_.end()) {
            CloseHandle(wake);
            return SCARD_E_INVALID_HANDLE;
        }
        it->second.waiters.insert(wake);
    }
    LONG rv = SCARD_S_SUCCESS;
    long injected;
    if (world_.TakeInjection("SCardGetStatusChange", injected)) {
        rv = injected;
    } else {
        FolderWatch watch(world_.Folder());
        DWORD start = GetTickCount();
        for (;;) {
            World w;
            if (!world_.Read(w)) {
                rv = SCARD_F_INTERNAL_ERROR;
                break;
            }
            bool any = false;
            for (StatusQuery &q : queries) {
                if (q.current & SCARD_STATE_IGNORE) {
                    q.event = q.current & ~SCARD_STATE_CHANGED;
                    continue;
                }
                ReaderSnapshot s = SnapshotOf(w.state, w.runtime, q.reader);
                q.event = s.state;
                q.atr = s.atr;
                if (Differs(q.current, s.state)) {
                    q.event |= SCARD_STATE_CHANGED;
                    any = true;
                }
            }
            if (any) {
                rv = SCARD_S_SUCCESS;
                break;
            }
            DWORD elapsed = GetTickCount() - start;
            if (timeout != INFINITE && elapsed >= timeout) {
                rv = SCARD_E_TIMEOUT;
                break;
            }
            DWORD slice = kWaitSliceMs;
            if (timeout != INFINITE && timeout - elapsed < slice)
                slice = timeout - elapsed;
            if (watch.Wait(wake, slice)) {
                rv = SCARD_E_CANCELLED;
                break;
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = contexts_.find(context);
        if (it != contexts_.end())
            it->second.waiters.erase(wake);
    }
    CloseHandle(wake);
    return rv;
}

LONG Engine::Connect(ULONG_PTR context, const std::string &reader, DWORD share, DWORD protocols,
                     ULONG_PTR &card, DWORD &active)
{
    if (!ValidShare(share) || !ProtocolsFor(share, protocols))
        return SCARD_E_INVALID_VALUE;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ValidContext(context))
        return SCARD_E_INVALID_HANDLE;
    long injected;
    if (world_.TakeInjection("SCardConnect", injected))
        return injected;
    world_.ApplyLatency();
    Card c;
    c.context = context;
    c.number = next_++;
    c.reader = reader;
    c.share = share;
    LONG rv = world_.Update([&](World &w, bool &changed) -> long {
        if (!w.state.readerByName(reader))
            return SCARD_E_UNKNOWN_READER;
        const softcard::PlacedCard *placed = w.state.cardIn(reader);
        if (!placed && share != SCARD_SHARE_DIRECT)
            return SCARD_E_NO_SMARTCARD;
        c.insertion = placed ? placed->insertion : 0;
        c.cardName = placed ? placed->name : std::string();
        bool exclusive = false;
        bool used = w.runtime.ReaderInUse(reader, c.insertion, &exclusive);
        if (used && (share != SCARD_SHARE_SHARED || exclusive))
            return SCARD_E_SHARING_VIOLATION;
        if (placed) {
            const CardRuntime *m = w.runtime.FindCard(placed->name, placed->insertion);
            c.resetsSeen = m ? m->resets : 0;
        }
        Connection conn;
        conn.pid = GetCurrentProcessId();
        conn.id = c.number;
        conn.reader = reader;
        conn.insertion = c.insertion;
        conn.exclusive = share != SCARD_SHARE_SHARED;
        w.runtime.connections.push_back(conn);
        changed = true;
        return SCARD_S_SUCCESS;
    });
    world_.Log(Fmt("SCardConnect(reader=%s, share=%lu, protocols=0x%lX) = 0x%08lX", reader.c_str(), share,
                   protocols, (unsigned long)rv));
    if (rv != SCARD_S_SUCCESS)
        return rv;
    c.protocol = c.insertion ? ChooseProtocol(protocols) : 0;
    card = ULONG_PTR(c.number) << 4 | kCardTag;
    cards_[card] = c;
    active = c.protocol;
    return SCARD_S_SUCCESS;
}

Engine::Card *Engine::FindCard(ULONG_PTR card)
{
    auto it = cards_.find(card);
    return (card & kTagMask) == kCardTag && it != cards_.end() ? &it->second : nullptr;
}

LONG Engine::WithCard(ULONG_PTR card, const std::function<LONG(Card &)> &body)
{
    std::lock_guard<std::mutex> guard(mutex_);
    Card *c = FindCard(card);
    return c ? body(*c) : SCARD_E_INVALID_HANDLE;
}

LONG Engine::CardRecord(ULONG_PTR card, Card &out)
{
    return WithCard(card, [&](Card &c) -> LONG {
        out = c;
        return SCARD_S_SUCCESS;
    });
}

LONG Engine::CheckLive(const Card &c, const World &w)
{
    const softcard::PlacedCard *placed = w.state.cardIn(c.reader);
    if (!w.state.readerByName(c.reader))
        return SCARD_E_READER_UNAVAILABLE;
    if (c.insertion == 0)
        return placed ? SCARD_W_REMOVED_CARD : SCARD_S_SUCCESS; // direct, no card when connected
    if (!placed || placed->insertion != c.insertion || placed->name != c.cardName)
        return SCARD_W_REMOVED_CARD;
    const CardRuntime *m = w.runtime.FindCard(c.cardName, c.insertion);
    if ((m ? m->resets : 0) != c.resetsSeen)
        return SCARD_W_RESET_CARD;
    return SCARD_S_SUCCESS;
}

LONG Engine::Reconnect(ULONG_PTR card, DWORD share, DWORD protocols, DWORD initialization, DWORD &active)
{
    if (!ValidShare(share) || !ProtocolsFor(share, protocols) || initialization > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    return WithCard(card, [&](Card &c) -> LONG {
        long injected;
        if (world_.TakeInjection("SCardReconnect", injected))
            return injected;
        world_.ApplyLatency();
        unsigned long resets = c.resetsSeen;
        LONG rv = world_.Update([&](World &w, bool &changed) -> long {
            LONG live = CheckLive(c, w);
            if (live != SCARD_S_SUCCESS && live != SCARD_W_RESET_CARD)
                return live;
            bool othersExclusive = false, others = false;
            for (const Connection &o : w.runtime.connections)
                if (o.reader == c.reader && o.insertion == c.insertion && !IsOurs(o, c.number)) {
                    others = true;
                    othersExclusive = othersExclusive || o.exclusive;
                }
            if (others && (share != SCARD_SHARE_SHARED || othersExclusive))
                return SCARD_E_SHARING_VIOLATION;
            if (Connection *mine = w.runtime.FindConnection(GetCurrentProcessId(), c.number)) {
                mine->exclusive = share != SCARD_SHARE_SHARED;
                changed = true;
            }
            if (c.insertion) {
                CardRuntime &m = w.runtime.CardMemory(c.cardName, c.insertion);
                if (Resets(initialization))
                    ResetCard(m);
                resets = m.resets;
                changed = true;
            }
            return SCARD_S_SUCCESS;
        });
        world_.Log(Fmt("SCardReconnect(reader=%s, share=%lu, init=%lu) = 0x%08lX", c.reader.c_str(), share,
                       initialization, (unsigned long)rv));
        if (rv != SCARD_S_SUCCESS)
            return rv;
        c.share = share;
        c.resetsSeen = resets;
        c.protocol = c.insertion ? ChooseProtocol(protocols) : 0;
        active = c.protocol;
        return SCARD_S_SUCCESS;
    });
}

LONG Engine::Disconnect(ULONG_PTR card, DWORD disposition)
{
    if (disposition > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    return WithCard(card, [&](Card &found) -> LONG {
        Card c = found; // the record goes now
        cards_.erase(card);
        LONG rv = world_.Update([&](World &w, bool &changed) -> long {
            changed = RemoveConnection(w.runtime, c.number);
            if (Resets(disposition) && c.insertion && CheckLive(c, w) != SCARD_W_REMOVED_CARD) {
                ResetCard(w.runtime.CardMemory(c.cardName, c.insertion));
                changed = true;
            }
            return SCARD_S_SUCCESS;
        });
        world_.Log(Fmt("SCardDisconnect(reader=%s, disposition=%lu) = 0x%08lX", c.reader.c_str(), disposition,
                       (unsigned long)rv));
        return rv;
    });
}

LONG Engine::WhenFree(ULONG_PTR card, const std::function<LONG(Card &, World &, bool &)> &body)
{
    FolderWatch watch(world_.Folder());
    for (;;) {
        bool busy = false;
        LONG rv = WithCard(card, [&](Card &c) -> LONG {
            return world_.Update([&](World &w, bool &changed) -> long {
                LONG live = CheckLive(c, w);
                if (live != SCARD_S_SUCCESS)
                    return live;
                const Connection *holder = w.runtime.TransactionHolder(c.reader);
                if (holder && !IsOurs(*holder, c.number)) {
                    busy = true;
                    return SCARD_S_SUCCESS;
                }
                return body(c, w, changed);
            });
        });
        if (!busy)
            return rv;
        watch.Wait(nullptr, kWaitSliceMs);
    }
}

LONG Engine::BeginTransaction(ULONG_PTR card)
{
    Card probe;
    if (LONG rv = CardRecord(card, probe))
        return rv;
    long injected;
    if (world_.TakeInjection("SCardBeginTransaction", injected))
        return injected;
    return WhenFree(card, [&](Card &c, World &w, bool &changed) -> LONG {
        Connection *mine = w.runtime.FindConnection(GetCurrentProcessId(), c.number);
        if (!mine)
            return SCARD_E_INVALID_HANDLE;
        mine->transaction = true;
        changed = true;
        return SCARD_S_SUCCESS;
    });
}

LONG Engine::EndTransaction(ULONG_PTR card, DWORD disposition)
{
    if (disposition > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    return WithCard(card, [&](Card &c) -> LONG {
        return world_.Update([&](World &w, bool &changed) -> long {
            Connection *mine = w.runtime.FindConnection(GetCurrentProcessId(), c.number);
            if (!mine || !mine->transaction)
                return SCARD_E_NOT_TRANSACTED;
            mine->transaction = false;
            changed = true;
            LONG live = CheckLive(c, w);
            if (live == SCARD_W_REMOVED_CARD)
                return live;
            if (c.insertion && Resets(disposition)) {
                CardRuntime &m = w.runtime.CardMemory(c.cardName, c.insertion);
                ResetCard(m);
                c.resetsSeen = m.resets;
            }
            return SCARD_S_SUCCESS;
        });
    });
}

LONG Engine::Status(ULONG_PTR card, CardStatus &out)
{
    Card c;
    if (LONG rv = CardRecord(card, c))
        return rv;
    long injected;
    if (world_.TakeInjection("SCardStatus", injected))
        return injected;
    World w;
    if (!world_.Read(w))
        return SCARD_F_INTERNAL_ERROR;
    if (LONG live = CheckLive(c, w))
        return live;
    out.reader = c.reader;
    out.protocol = c.protocol;
    const softcard::PlacedCard *placed = w.state.cardIn(c.reader);
    out.state = placed ? (c.protocol ? SCARD_SPECIFIC : SCARD_POWERED) : SCARD_ABSENT;
    out.atr = placed ? placed->card.atr : std::vector<uint8_t>();
    return SCARD_S_SUCCESS;
}

LONG Engine::Transmit(ULONG_PTR card, DWORD protocol, const uint8_t *apdu, size_t length,
                      std::vector<uint8_t> &response)
{
    Card probe;
    if (LONG rv = CardRecord(card, probe))
        return rv;
    if (length == 0 || length > kMaxApdu)
        return SCARD_E_INVALID_PARAMETER;
    if (probe.protocol == 0 || protocol != probe.protocol)
        return SCARD_E_PROTO_MISMATCH;
    long injected;
    if (world_.TakeInjection("SCardTransmit", injected))
        return injected;
    world_.ApplyLatency();
    LONG rv = WhenFree(card, [&](Card &c, World &w, bool &changed) -> LONG {
        const softcard::PlacedCard *placed = w.state.cardIn(c.reader);
        bool known = w.runtime.FindCard(c.cardName, c.insertion) != nullptr;
        CardRuntime &m = w.runtime.CardMemory(c.cardName, c.insertion);
        CardRuntime before = m;
        response = AnswerApdu(KindOf(placed->card), m, apdu, length);
        changed = !known || before.foreignOnChannel0 != m.foreignOnChannel0 ||
                  before.channel1Open != m.channel1Open;
        return SCARD_S_SUCCESS;
    });
    world_.Log(Fmt("SCardTransmit(reader=%s, apdu=%s) = 0x%08lX, response=%s", probe.reader.c_str(),
                   Hex(apdu, length).c_str(), (unsigned long)rv,
                   rv == SCARD_S_SUCCESS ? Hex(response.data(), response.size()).c_str() : ""));
    return rv;
}

LONG Engine::CardTypeProvider(ULONG_PTR context, const std::string &cardName, DWORD providerId,
                              std::string &provider)
{
    if (LONG rv = IsValid(context))
        return rv;
    const char *value = providerId == SCARD_PROVIDER_CSP   ? "Crypto Provider"
                        : providerId == SCARD_PROVIDER_KSP ? "Smart Card Key Storage Provider"
                                                           : nullptr;
    if (!value)
        return SCARD_E_INVALID_VALUE;
    std::string key = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\" + cardName;
    HKEY h;
    if (cardName.empty() ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return SCARD_E_UNKNOWN_CARD;
    char buf[261];
    DWORD type = 0, size = sizeof(buf) - 1;
    LONG r = RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS || type != REG_SZ)
        return SCARD_E_UNKNOWN_CARD;
    buf[size] = 0; // stored without its terminator, perhaps
    provider = buf;
    return SCARD_S_SUCCESS;
}

void *Engine::Allocate(size_t bytes)
{
    void *p = std::malloc(bytes ? bytes : 1);
    if (!p)
        return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    allocations_.insert(p);
    return p;
}

LONG Engine::FreeMemory(ULONG_PTR context, const void *memory)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (context != 0 && !ValidContext(context))
        return SCARD_E_INVALID_HANDLE;
    auto it = allocations_.find(const_cast<void *>(memory));
    if (it == allocations_.end())
        return SCARD_E_INVALID_PARAMETER;
    std::free(*it);
    allocations_.erase(it);
    return SCARD_S_SUCCESS;
}

} // namespace pcsc
