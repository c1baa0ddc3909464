// The size-query protocol of every output buffer of the provider.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "size_protocol.h"

using namespace sizeanswer;

namespace {

TEST(BoundedOutput, SizeQueryShortExactAndLargeBuffers)
{
    const uint8_t answer[5] = {1, 2, 3, 4, 5};
    struct Case {
        const char *what;
        bool buffer;
        uint32_t capacity;
        uint32_t error;
        uint32_t lengthAfter;
        bool written;
    };
    const Case cases[] = {
        {"size query", false, 0, 0, 5, false},
        {"size query with a length", false, 100, 0, 5, false},
        {"empty buffer", true, 0, kErrorMoreData, 5, false},
        {"one byte short", true, 4, kErrorMoreData, 5, false},
        {"exact", true, 5, 0, 5, true},
        {"larger", true, 8, 0, 5, true},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> buf(8, 0xEE);
        uint32_t len = c.capacity, error = 0xdeadbeef;
        EXPECT_EQ(c.error == 0,
                  AnswerBytes(answer, sizeof(answer), c.buffer ? buf.data() : nullptr, &len, &error))
            << c.what;
        EXPECT_EQ(c.error, error) << c.what;
        EXPECT_EQ(c.lengthAfter, len) << c.what;
        const std::vector<uint8_t> want =
            c.written ? std::vector<uint8_t>{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE} : std::vector<uint8_t>(8, 0xEE);
        EXPECT_EQ(want, buf) << c.what;
    }
    uint8_t buf[4];
    uint32_t error = 0;
    EXPECT_FALSE(AnswerBytes(answer, sizeof(answer), buf, nullptr, &error));
    EXPECT_EQ(kErrorInvalidParameter, error);
    EXPECT_EQ(87u, kErrorInvalidParameter);
    EXPECT_EQ(234u, kErrorMoreData);
}

TEST(BoundedOutput, FourByteValues)
{
    uint8_t buf[4] = {};
    uint32_t len = 4, error = 0;
    ASSERT_TRUE(AnswerDword(0xA400, buf, &len, &error));
    EXPECT_EQ(std::vector<uint8_t>({0x00, 0xA4, 0, 0}), std::vector<uint8_t>(buf, buf + 4));
    len = 3;
    EXPECT_FALSE(AnswerDword(2048, buf, &len, &error));
    EXPECT_EQ(kErrorMoreData, error);
    EXPECT_EQ(4u, len);
}

TEST(BoundedOutput, TextsCarryTheirNul)
{
    uint8_t buf[8];
    uint32_t len = 0, error = 1;
    ASSERT_TRUE(AnswerText("abc", nullptr, &len, &error));
    EXPECT_EQ(4u, len);
    EXPECT_EQ(0u, error);
    len = sizeof buf;
    ASSERT_TRUE(AnswerText("abc", buf, &len, &error));
    EXPECT_EQ(4u, len);
    EXPECT_STREQ("abc", reinterpret_cast<char *>(buf));
}

} // namespace
