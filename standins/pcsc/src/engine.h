// The PC/SC stand-in behind the exported entry points: contexts and card
// handles of this process (typed handles, checked on every call behind one
// lock) over the shared world of every process. Each operation returns a
// PC/SC code; texts are ANSI (the boundary converts the wide variants).
// Windows only.
#ifndef PCSC_ENGINE_H
#define PCSC_ENGINE_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "shared_world.h"

namespace pcsc {

// One entry of a status-change query: the caller's reader and known state
// in, the reader's state and ATR out.
struct StatusQuery {
    std::string reader;
    DWORD current = 0;
    DWORD event = 0;
    std::vector<uint8_t> atr;
};

struct CardStatus {
    std::string reader;
    DWORD state = 0, protocol = 0;
    std::vector<uint8_t> atr;
};

class Engine {
public:
    static Engine &Instance();

    LONG Establish(DWORD scope, ULONG_PTR &context);
    LONG Release(ULONG_PTR context);
    LONG IsValid(ULONG_PTR context);
    LONG Cancel(ULONG_PTR context);
    // Reader names in order; a context of 0 is allowed, as on Windows.
    LONG ListReaders(ULONG_PTR context, std::vector<std::string> &names);
    // Waits until an entry differs from what the caller knows, the timeout
    // (INFINITE allowed) passes, or SCardCancel / release of the context.
    LONG GetStatusChange(ULONG_PTR context, DWORD timeout, std::vector<StatusQuery> &queries);
    LONG Connect(ULONG_PTR context, const std::string &reader, DWORD share, DWORD protocols, ULONG_PTR &card,
                 DWORD &active);
    LONG Reconnect(ULONG_PTR card, DWORD share, DWORD protocols, DWORD initialization, DWORD &active);
    LONG Disconnect(ULONG_PTR card, DWORD disposition);
    LONG BeginTransaction(ULONG_PTR card);
    LONG EndTransaction(ULONG_PTR card, DWORD disposition);
    LONG Status(ULONG_PTR card, CardStatus &out);
    // The card's answer in `response` (whole, whatever the caller's buffer).
    LONG Transmit(ULONG_PTR card, DWORD protocol, const uint8_t *apdu, size_t length,
                  std::vector<uint8_t> &response);
    // The smart-card database: the provider registered for a card type.
    LONG CardTypeProvider(ULONG_PTR context, const std::string &cardName, DWORD providerId,
                          std::string &provider);

    // Memory handed out for SCARD_AUTOALLOCATE, freed by SCardFreeMemory.
    void *Allocate(size_t bytes);
    LONG FreeMemory(ULONG_PTR context, const void *memory);

private:
    Engine() = default;

    struct Context {
        std::set<HANDLE> waiters; // events of calls waiting in this context
    };
    struct Card {
        ULONG_PTR context = 0;
        unsigned long number = 0; // connection id in the shared runtime
        std::string reader, cardName;
        unsigned long insertion = 0, resetsSeen = 0;
        DWORD share = 0, protocol = 0;
    };

    bool ValidContext(ULONG_PTR context);
    // Wakes the context's waiting calls (lock held); false for an unknown context.
    bool WakeWaiters(ULONG_PTR context);
    // The handle's record (lock held), or null for a stale or foreign value.
    Card *FindCard(ULONG_PTR card);
    // Runs `body` on the handle's record under the lock, or gives
    // SCARD_E_INVALID_HANDLE for a stale or foreign value.
    LONG WithCard(ULONG_PTR card, const std::function<LONG(Card &)> &body);
    // Copies the handle's record, or SCARD_E_INVALID_HANDLE.
    LONG CardRecord(ULONG_PTR card, Card &out);
    // The card behind the handle is still the one connected, not reset since.
    LONG CheckLive(const Card &c, const World &w);
    // Waits (watching the shared files) until no other handle holds the
    // reader's transaction, then runs `body` on the world under its lock.
    LONG WhenFree(ULONG_PTR card, const std::function<LONG(Card &, World &, bool &)> &body);
    void DisconnectAll(ULONG_PTR context);

    std::mutex mutex_;
    std::map<ULONG_PTR, Context> contexts_;
    std::map<ULONG_PTR, Card> cards_;
    std::set<void *> allocations_;
    unsigned long next_ = 1;
    SharedWorld world_;
};

} // namespace pcsc

#endif
