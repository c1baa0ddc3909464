// Pane lines compared with the expected ones, for the tests that check whole
// blocks of text.
#ifndef VEL3GES_TESTS_PANE_LINES_H
#define VEL3GES_TESTS_PANE_LINES_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vel {

using Lines = std::vector<std::string>;

// One failure per line that differs, after the count.
inline void ExpectLines(const Lines &expected, const Lines &actual)
{
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], actual[i]) << "line " << i;
}

} // namespace vel

#endif
