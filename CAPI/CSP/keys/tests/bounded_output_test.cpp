// The size-query protocol of every output buffer.
#include <gtest/gtest.h>

#include <vector>

#include "bounded_output.h"

using namespace cspkeys;

namespace {

TEST(BoundedOutput, SizeQueryShortExactAndLargeBuffers)
{
    const uint8_t answer[5] = {1, 2, 3, 4, 5};
    struct Case {
        const char *what;
        bool buffer;
        uint32_t capacity;
        uint32_t result;
        uint32_t lengthAfter;
        bool written;
    };
    const Case cases[] = {
        {"size query", false, 0, kOk, 5, false},
        {"size query with a length", false, 100, kOk, 5, false},
        {"empty buffer", true, 0, kErrorMoreData, 5, false},
        {"one byte short", true, 4, kErrorMoreData, 5, false},
        {"exact", true, 5, kOk, 5, true},
        {"larger", true, 8, kOk, 5, true},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> buf(8, 0xEE);
        uint32_t len = c.capacity;
        EXPECT_EQ(c.result, PutBounded(answer, sizeof(answer), c.buffer ? buf.data() : nullptr, &len)) << c.what;
        EXPECT_EQ(c.lengthAfter, len) << c.what;
        const std::vector<uint8_t> want = c.written ? std::vector<uint8_t>{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE}
                                                    : std::vector<uint8_t>(8, 0xEE);
        EXPECT_EQ(want, buf) << c.what;
    }
    uint8_t buf[4];
    EXPECT_EQ(kErrorInvalidParameter, PutBounded(answer, sizeof(answer), buf, static_cast<uint32_t *>(nullptr)));
}

TEST(BoundedOutput, FourByteValues)
{
    uint8_t buf[4] = {};
    uint32_t len = 4;
    ASSERT_EQ(kOk, PutDword(0xA400, buf, &len));
    EXPECT_EQ(std::vector<uint8_t>({0x00, 0xA4, 0, 0}), std::vector<uint8_t>(buf, buf + 4));
    len = 3;
    EXPECT_EQ(kErrorMoreData, PutDword(2048, buf, &len));
    EXPECT_EQ(4u, len);
}

}  // namespace
