// A port that records what the handle table asks for: contexts destroyed,
// finalisations, name blocks handed out. Thread-safe, for the stress too.
#ifndef VEL_CSP_HANDLES_FAKE_PORT_H
#define VEL_CSP_HANDLES_FAKE_PORT_H

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "handle_table.h"

namespace handles_test {

struct Finalisation {
    bool forThread = false;
    csp::handles::ThreadId owner = 0;
};

class FakePort : public csp::handles::HandleTablePort {
public:
    void *AllocateName(size_t size) override
    {
        if (failNames.load())
            return nullptr;
        ++liveNames;
        return std::calloc(size, 1);
    }
    void FreeName(void *block) override
    {
        --liveNames;
        std::free(block);
    }
    void Destroy(csp::handles::Handle handle) override
    {
        std::lock_guard<std::mutex> hold(lock);
        destroyed.push_back(handle);
        if (onDestroy)
            onDestroy(handle);
    }
    bool TakeThreadData(csp::handles::ThreadId owner) override
    {
        std::lock_guard<std::mutex> hold(lock);
        return threadData.erase(owner) > 0;
    }
    void Finalise(const csp::handles::ThreadId *owner) override
    {
        std::lock_guard<std::mutex> hold(lock);
        finalisations.push_back({owner != nullptr, owner ? *owner : 0});
        if (onFinalise)
            onFinalise(owner);
    }

    std::mutex lock;
    std::vector<csp::handles::Handle> destroyed;
    std::vector<Finalisation> finalisations;
    std::set<csp::handles::ThreadId> threadData; // threads that initialised with data of their own
    std::atomic<long> liveNames{0};
    std::atomic<bool> failNames{false};
    void (*onDestroy)(csp::handles::Handle) = nullptr;
    void (*onFinalise)(const csp::handles::ThreadId *) = nullptr;
};

} // namespace handles_test

#endif
