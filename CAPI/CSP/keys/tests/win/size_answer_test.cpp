// The size-query protocol of every output buffer of the provider.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "size_answer.h"

namespace {

TEST(BoundedOutput, SizeQueryShortExactAndLargeBuffers)
{
    const uint8_t answer[5] = {1, 2, 3, 4, 5};
    struct Case {
        const char *what;
        bool buffer;
        DWORD capacity;
        DWORD error;
        DWORD lengthAfter;
        bool written;
    };
    const Case cases[] = {
        {"size query", false, 0, 0, 5, false},
        {"size query with a length", false, 100, 0, 5, false},
        {"empty buffer", true, 0, ERROR_MORE_DATA, 5, false},
        {"one byte short", true, 4, ERROR_MORE_DATA, 5, false},
        {"exact", true, 5, 0, 5, true},
        {"larger", true, 8, 0, 5, true},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> buf(8, 0xEE);
        DWORD len = c.capacity, error = 0xdeadbeef;
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
    DWORD error = 0;
    EXPECT_FALSE(AnswerBytes(answer, sizeof(answer), buf, nullptr, &error));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), error);
}

TEST(BoundedOutput, FourByteValues)
{
    BYTE buf[4] = {};
    DWORD len = 4, error = 0;
    ASSERT_TRUE(AnswerDword(0xA400, buf, &len, &error));
    EXPECT_EQ(std::vector<uint8_t>({0x00, 0xA4, 0, 0}), std::vector<uint8_t>(buf, buf + 4));
    len = 3;
    EXPECT_FALSE(AnswerDword(2048, buf, &len, &error));
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), error);
    EXPECT_EQ(4u, len);
}

} // namespace
