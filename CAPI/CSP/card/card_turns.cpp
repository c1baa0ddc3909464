#include "card_turns.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "cardmatch/prompt_record.h"
#include "pkcs_container.h"

struct CardOperation::Slot {
    Slot() { InitializeCriticalSection(&lock); }
    ~Slot() { DeleteCriticalSection(&lock); }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    CRITICAL_SECTION lock;
    int depth = 0;       // the holder's nested turns (lock held)
    uint32_t ticket = 0; // the ticket of the holder's outermost turn (lock held)
    std::atomic<int> waiting{0};
    csp::cardmatch::PromptRecord prompts;
};

namespace {

// One entry per slot the process ever used (a few), kept until it ends.
std::mutex slotsLock;
std::map<CK_SLOT_ID, std::unique_ptr<CardOperation::Slot>> slots;

CardOperation::Slot *SlotOf(CK_SLOT_ID id, bool make)
{
    std::lock_guard<std::mutex> hold(slotsLock);
    auto it = slots.find(id);
    if (it != slots.end())
        return it->second.get();
    if (!make)
        return nullptr;
    return (slots[id] = std::unique_ptr<CardOperation::Slot>(new CardOperation::Slot())).get();
}

} // namespace

CardOperation::CardOperation(const PKCSContainer *container)
{
    if (container)
        Take(SlotOf(container->m_slotID, true));
}

CardOperation::CardOperation(CK_SLOT_ID slot)
{
    Take(SlotOf(slot, true));
}

void CardOperation::Take(Slot *slot)
{
    // The ticket first: a prompt that ends from now on is one this
    // operation waited behind.
    const uint32_t ticket = slot->prompts.Ticket();
    ++slot->waiting;
    EnterCriticalSection(&slot->lock);
    --slot->waiting;
    if (slot->depth++ == 0)
        slot->ticket = ticket;
    slot_ = slot;
}

CardOperation::~CardOperation()
{
    if (!slot_)
        return;
    --slot_->depth;
    LeaveCriticalSection(&slot_->lock);
}

bool CardOperation::PromptCancelledMeanwhile() const
{
    return slot_ && slot_->prompts.CancelledSince(slot_->ticket);
}

void CardOperation::PromptEnded(bool cancelled)
{
    if (slot_)
        slot_->prompts.Ended(cancelled);
}

int OperationsWaitingFor(CK_SLOT_ID slot)
{
    const CardOperation::Slot *s = SlotOf(slot, false);
    return s ? s->waiting.load() : 0;
}
