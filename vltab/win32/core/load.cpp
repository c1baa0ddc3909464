#include "load.h"

#include <cstdlib>
#include <thread>
#include <utility>

namespace vltab {

FileBytes::~FileBytes()
{
    std::free(data);
}

DictionaryLoad::DictionaryLoad(ReadFileFunction readFile, const uint8_t *builtin, size_t builtinSize,
                               Allocator allocator)
    : readFile_(std::move(readFile)), builtin_(builtin), builtinSize_(builtinSize), dictionary_(allocator)
{
}

DictionaryLoad::~DictionaryLoad() = default;

uint16_t DictionaryLoad::Acquire(uint16_t &loadStatus, const Dictionary *&dictionary)
{
    for (;;) {
        uint16_t state = state_.load(std::memory_order_acquire);
        if (state == kLoaded)
            break;
        if (state == kLoading ||
            !state_.compare_exchange_strong(state, kLoading, std::memory_order_acquire)) {
            // Another thread loads: wait for its end, reading the state afresh.
            std::this_thread::yield();
            continue;
        }
        uint16_t rc;
        try {
            rc = Load();
        } catch (...) {
            // The file reader could not allocate: as out of memory.
            rc = kOutOfMemory;
        }
        if (rc == kOutOfMemory) {
            // Freed before the gate opens again, so that the next caller starts afresh.
            dictionary_.Free();
            state_.store(kNotLoaded, std::memory_order_release);
            return rc;
        }
        if (rc != kOk)
            dictionary_.Free();
        state_.store(kLoaded, std::memory_order_release);
        if (rc != kOk)
            return rc;
        break;
    }
    loadStatus = loadStatus_;
    dictionary = &dictionary_;
    return kOk;
}

uint16_t DictionaryLoad::Load()
{
    uint16_t rc;
    {
        FileBytes file;
        rc = readFile_(file);
        if (rc == kOutOfMemory)
            return rc;
        if (rc == kOk) {
            rc = dictionary_.Parse(file.data, file.size, Source::File);
            if (rc == kOk || rc == kOutOfMemory) {
                loadStatus_ = kOk;
                return rc;
            }
        }
    }
    // Missing, unreadable or rejected: the built-in copy answers.
    loadStatus_ = rc;
    return dictionary_.Parse(builtin_, builtinSize_, Source::Builtin);
}

} // namespace vltab
