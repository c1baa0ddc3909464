#include "turns.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace softcard {

#if defined(_WIN32)

namespace {
PSRWLOCK Lock(void *&p)
{
    static_assert(sizeof(SRWLOCK) == sizeof(void *), "an SRWLOCK is one pointer");
    return reinterpret_cast<PSRWLOCK>(&p);
}
PCONDITION_VARIABLE Condition(void *&p)
{
    static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void *), "a CONDITION_VARIABLE is one pointer");
    return reinterpret_cast<PCONDITION_VARIABLE>(&p);
}
} // namespace

uint64_t FairQueue::taken()
{
    AcquireSRWLockExclusive(Lock(lock_));
    const uint64_t n = next_ - serving_;
    ReleaseSRWLockExclusive(Lock(lock_));
    return n;
}

void FairQueue::wait()
{
    AcquireSRWLockExclusive(Lock(lock_));
    const uint64_t mine = next_++;
    while (serving_ != mine)
        SleepConditionVariableSRW(Condition(changed_), Lock(lock_), INFINITE, 0);
    ReleaseSRWLockExclusive(Lock(lock_));
}

void FairQueue::release()
{
    AcquireSRWLockExclusive(Lock(lock_));
    ++serving_;
    ReleaseSRWLockExclusive(Lock(lock_));
    WakeAllConditionVariable(Condition(changed_)); // each waiter checks its own ticket
}

#else

uint64_t FairQueue::taken()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return next_ - serving_;
}

void FairQueue::wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t mine = next_++;
    changed_.wait(lock, [&] { return serving_ == mine; });
}

void FairQueue::release()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++serving_;
    }
    changed_.notify_all(); // each waiter checks its own ticket
}

#endif

} // namespace softcard
