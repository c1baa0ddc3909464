// Callers of the library served one at a time, in the order they arrived, as
// a reader serialises the commands sent to its card: a short call waits for
// the calls ahead of it only, never for those that came after it.
#ifndef SOFTCARD_TURNS_H
#define SOFTCARD_TURNS_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace softcard {

class FairQueue {
public:
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
    uint64_t taken()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_ - serving_;
    }

private:
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t mine = next_++;
        changed_.wait(lock, [&] { return serving_ == mine; });
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++serving_;
        }
        changed_.notify_all(); // each waiter checks its own ticket
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t next_ = 0;    // the ticket the next caller gets
    uint64_t serving_ = 0; // the ticket whose call runs
};

} // namespace softcard

#endif
