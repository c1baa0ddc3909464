// Card values into CryptoAPI order: reversal, and short signatures widened to the modulus.
#include <gtest/gtest.h>

#include <vector>

#include "byte_order.h"
#include "key_codes.h"

using namespace csp::keys;

namespace {

TEST(ByteOrder, SignatureOfEveryLength)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> card;
        size_t modulusLen;
        uint32_t result;
        std::vector<uint8_t> out;
    };
    const Case cases[] = {
        {"the modulus length", {1, 2, 3, 4}, 4, kOk, {1, 2, 3, 4}},
        {"one leading zero dropped", {2, 3, 4}, 4, kOk, {2, 3, 4, 0}},
        {"a one-byte answer", {9}, 4, kOk, {9, 0, 0, 0}},
        {"longer than the modulus", {1, 2, 3, 4, 5}, 4, kNteBadData, {0xEE, 0xEE, 0xEE, 0xEE}},
        {"empty", {}, 4, kNteBadData, {0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> out(c.modulusLen + 1, 0xEE);
        EXPECT_EQ(c.result, WidenLittleEndian(c.card.data(), c.card.size(), c.modulusLen, out.data()))
            << c.what;
        EXPECT_EQ(0xEE, out.back()) << c.what << ": written past the modulus";
        out.pop_back();
        EXPECT_EQ(c.out, out) << c.what;
    }
}

TEST(ByteOrder, ByteZeroOfA256ByteAnswerEndsAtPosition255)
{
    std::vector<uint8_t> card(256), out(256);
    for (size_t i = 0; i < card.size(); ++i)
        card[i] = uint8_t(i * 7 + 1);
    ReverseInto(card.data(), card.size(), out.data());
    EXPECT_EQ(card[0], out[255]);
    EXPECT_EQ(card[255], out[0]);
    std::vector<uint8_t> back(256);
    ReverseInto(out.data(), out.size(), back.data());
    EXPECT_EQ(card, back);
}

TEST(ByteOrder, WideningInPlace)
{
    std::vector<uint8_t> sig = {7, 8, 9, 0xEE, 0xEE};
    ASSERT_EQ(kOk, WidenLittleEndian(sig.data(), 3, 5, sig.data()));
    EXPECT_EQ(std::vector<uint8_t>({7, 8, 9, 0, 0}), sig);
}

} // namespace
