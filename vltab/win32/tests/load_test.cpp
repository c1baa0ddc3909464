// The one-time load: which copy answers with which load status, a real once
// under 16 threads, and a retry after running out of memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "builtin.h"
#include "dictionary_text.h"
#include "load.h"
#include "lookups.h"

using namespace vltab;

namespace {

// A file reader that hands out a given text, or fails with a given code.
ReadFileFunction Reader(const std::string &text, uint16_t rc, std::atomic<int> *reads = nullptr)
{
    return [text, rc, reads](FileBytes &out) -> uint16_t {
        if (reads)
            ++*reads;
        if (rc != kOk)
            return rc;
        out.data = static_cast<uint8_t *>(std::malloc(text.size() + 1));
        std::memcpy(out.data, text.data(), text.size());
        out.size = text.size();
        return kOk;
    };
}

std::string Version(DictionaryLoad &load, uint16_t &status)
{
    char version[kFieldBufferSize] = "unwritten", checksum[kFieldBufferSize] = "";
    uint16_t count = 0;
    EXPECT_EQ(kOk, VersionTables(load, &status, version, checksum, &count));
    return version;
}

TEST(Load, StatusTellsWhichCopyAnswers)
{
    using vltab_test::Listing;
    using vltab_test::Record;
    const std::string own = Listing({"G999"}) + Record("G999", "Version", "own file");
    struct Case {
        const char *what;
        ReadFileFunction reader;
        uint16_t status;
        const char *version;
    };
    const Case cases[] = {
        {"a good file", Reader(vltab_test::WithChecksum(own), kOk), kOk, "own file"},
        {"no file", Reader("", kCannotOpen), kCannotOpen, "Version : 01.07 - 06/11/2001"},
        {"a read error", Reader("", kReadError), kReadError, "Version : 01.07 - 06/11/2001"},
        {"a file too large", Reader("", kBadLine), kBadLine, "Version : 01.07 - 06/11/2001"},
        {"a bad digest", Reader(own + Record("G999", "Checksum", "SHA-1 : " + std::string(40, '0')), kOk),
         kDigestMismatch, "Version : 01.07 - 06/11/2001"},
        {"a bad line", Reader(own + "G999\tbroken\r\n", kOk), kBadLine, "Version : 01.07 - 06/11/2001"},
    };
    for (const Case &c : cases) {
        DictionaryLoad load(c.reader, kBuiltinDictionaryText, kBuiltinDictionarySize);
        uint16_t status = 0xBEEF;
        EXPECT_EQ(c.version, Version(load, status)) << c.what;
        EXPECT_EQ(c.status, status) << c.what;
    }
}

TEST(Load, SixteenThreadsAtFirstCallLoadOnce)
{
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> reads{0};
        ReadFileFunction slow = [&reads](FileBytes &) -> uint16_t {
            ++reads;
            std::this_thread::sleep_for(std::chrono::milliseconds(2)); // widen the window
            return kCannotOpen;
        };
        DictionaryLoad load(slow, kBuiltinDictionaryText, kBuiltinDictionarySize);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        std::vector<std::string> labels(16);
        std::vector<uint16_t> results(16, 0xBEEF), statuses(16, 0xBEEF);
        for (int i = 0; i < 16; ++i)
            threads.emplace_back([&, i] {
                while (!go.load())
                    std::this_thread::yield();
                char table[] = "G03", key1[] = "31", key2[] = "", key3[] = "", label[kFieldBufferSize];
                uint16_t length = 0;
                results[i] = LectureLibelle(load, &statuses[i], table, key1, key2, key3, &length, label);
                labels[i] = label;
            });
        go = true;
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(1, reads.load());
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(kOk, results[i]);
            EXPECT_EQ(kCannotOpen, statuses[i]);
            EXPECT_EQ("Monsieur", labels[i]);
        }
    }
}

struct OneFailure {
    static inline bool fail = false;
    static void *Allocate(size_t size)
    {
        if (fail) {
            fail = false;
            return nullptr;
        }
        return std::malloc(size);
    }
};

TEST(Load, OutOfMemoryLeavesNothingAndTheNextCallLoads)
{
    std::atomic<int> reads{0};
    DictionaryLoad load(Reader("", kCannotOpen, &reads), kBuiltinDictionaryText, kBuiltinDictionarySize,
                        Allocator{OneFailure::Allocate, std::free});
    OneFailure::fail = true;
    uint16_t status = 0xBEEF, count = 0xBEEF;
    char version[kFieldBufferSize] = "unwritten", checksum[kFieldBufferSize] = "unwritten";
    EXPECT_EQ(kOutOfMemory, VersionTables(load, &status, version, checksum, &count));
    EXPECT_EQ(0xBEEF, status);
    EXPECT_STREQ("unwritten", version);
    EXPECT_EQ(0xBEEF, count);

    EXPECT_EQ(kOk, VersionTables(load, &status, version, checksum, &count));
    EXPECT_EQ(kCannotOpen, status);
    EXPECT_EQ(29, count);
    EXPECT_EQ(2, reads.load());
    // Loaded now: nothing is read again.
    EXPECT_EQ(kOk, VersionTables(load, &status, version, checksum, &count));
    EXPECT_EQ(2, reads.load());
}

} // namespace
