#include "reader_names.h"

namespace zeb {

std::vector<std::string> ParseReaderList(const char *multi, size_t size)
{
    std::vector<std::string> names;
    size_t i = 0;
    while (multi && i < size && multi[i] != '\0') {
        size_t start = i;
        while (i < size && multi[i] != '\0')
            ++i;
        if (names.size() < kMaxReaders) {
            size_t n = i - start;
            names.emplace_back(multi + start, n < kMaxReaderName - 1 ? n : kMaxReaderName - 1);
        }
        ++i; // past the NUL (or the end)
    }
    return names;
}

} // namespace zeb
