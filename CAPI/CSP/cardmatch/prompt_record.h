// The holder's answers to the PIN prompts of one card, as the operations
// waiting their turn on that card see them: an answer given to one prompt
// answers the operations that waited behind it, so a cancel fails them
// without a prompt of their own. No platform calls.
#ifndef VEL_CSP_PROMPT_RECORD_H
#define VEL_CSP_PROMPT_RECORD_H

#include <atomic>
#include <cstdint>

namespace csp::cardmatch {

class PromptRecord {
public:
    // Taken by an operation before it waits for its turn on the card (any
    // thread, no lock needed).
    uint32_t Ticket() const { return ended_.load(); }
    // A prompt of this card ended after `ticket` was taken, and the latest
    // one to end was cancelled: the operation that holds the ticket waited
    // behind a cancel. Read by the operation whose turn it is.
    bool CancelledSince(uint32_t ticket) const { return ended_.load() != ticket && lastCancelled_.load(); }
    // A prompt ended: cancelled by the holder, or answered with a PIN.
    // Written by the operation whose turn it is.
    void Ended(bool cancelled)
    {
        lastCancelled_.store(cancelled);
        ended_.fetch_add(1); // wraps after 2^32 prompts: tickets compare for equality only
    }

private:
    std::atomic<uint32_t> ended_{0};
    std::atomic<bool> lastCancelled_{false};
};

} // namespace csp::cardmatch

#endif
