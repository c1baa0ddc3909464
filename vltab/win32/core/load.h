// The process's one dictionary: loaded once, on the first table lookup, from
// the dictionary file or else from the built-in copy; shared by all threads.
// Platform-free: the file is read by a function the library supplies.
#ifndef VLTAB_LOAD_H
#define VLTAB_LOAD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "dictionary.h"

namespace vltab {

// The whole file, read in one pass: the bytes parsed are the bytes hashed.
struct FileBytes {
    uint8_t *data = nullptr; // from std::malloc
    size_t size = 0;
    FileBytes() = default;
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;
    ~FileBytes();
};

// Reads the dictionary file. Returns kOk, kCannotOpen, kReadError,
// kBadLine (larger than the format allows) or kOutOfMemory.
using ReadFileFunction = std::function<uint16_t(FileBytes &)>;

class DictionaryLoad {
public:
    DictionaryLoad(ReadFileFunction readFile, const uint8_t *builtin, size_t builtinSize,
                   Allocator allocator = DefaultAllocator());
    ~DictionaryLoad();
    DictionaryLoad(const DictionaryLoad &) = delete;
    DictionaryLoad &operator=(const DictionaryLoad &) = delete;

    // The first step of every table lookup. A caller that arrives while
    // another thread loads waits for that load. Returns kOk with the load
    // status and the dictionary; kOutOfMemory when the load ran out of memory
    // (everything freed, the next call loads again); or the failure of the
    // built-in copy's parse (the dictionary then stays empty).
    uint16_t Acquire(uint16_t &loadStatus, const Dictionary *&dictionary);

private:
    enum : uint16_t { kNotLoaded = 0, kLoading = 1, kLoaded = 2 };
    uint16_t Load();

    ReadFileFunction readFile_;
    const uint8_t *builtin_;
    size_t builtinSize_;
    // The gate: one caller moves it from not loaded to loading and back to
    // not loaded (out of memory) or to loaded; the others wait meanwhile.
    // No lock object: taking one could itself need memory.
    std::atomic<uint16_t> state_{kNotLoaded};
    uint16_t loadStatus_ = kOk;
    Dictionary dictionary_;
};

} // namespace vltab

#endif
