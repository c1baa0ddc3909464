// Callers of the library served one at a time, in the order they arrived, as
// a reader serialises the commands sent to its card: a short call waits for
// the calls ahead of it only, never for those that came after it.
#ifndef SOFTCARD_TURNS_H
#define SOFTCARD_TURNS_H

#include <cstdint>

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace softcard {

class FairQueue {
public:
    FairQueue() = default;
    FairQueue(const FairQueue &) = delete;
    FairQueue &operator=(const FairQueue &) = delete;

    // Held for the whole of one call: waits for the turns taken before it.
    class Turn {
    public:
        explicit Turn(FairQueue &queue) : queue_(queue) { queue_.wait(); }
        ~Turn() { queue_.release(); }
        Turn(const Turn &) = delete;
        Turn &operator=(const Turn &) = delete;

    private:
        FairQueue &queue_;
    };

    // Turns taken and not yet ended (the one running and those waiting).
    uint64_t taken();

private:
    void wait();
    void release();

#if defined(_WIN32)
    // The system's own lock and condition (an SRWLOCK and a
    // CONDITION_VARIABLE, one pointer each, zero when free): the C++ ones of
    // a DLL built with the static runtime go through its own thread library,
    // which keeps a TLS slot, a thread handle and an event for every thread
    // that waits, and leaves them behind when the DLL is freed.
    void *lock_ = nullptr;
    void *changed_ = nullptr;
#else
    std::mutex mutex_;
    std::condition_variable changed_;
#endif
    uint64_t next_ = 0;    // the ticket the next caller gets
    uint64_t serving_ = 0; // the ticket whose call runs
};

} // namespace softcard

#endif
