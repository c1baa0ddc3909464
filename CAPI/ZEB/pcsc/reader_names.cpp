#include "reader_names.h"

#include "padded_field.h"

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

std::vector<int> ReadersOfDescriptions(const std::vector<std::string> &descriptions,
                                       const std::vector<std::string> &readers)
{
    std::vector<int> out;
    std::vector<bool> taken(readers.size(), false);
    for (const std::string &d : descriptions) {
        std::string field = d.substr(0, kSlotDescriptionWidth); // a shorter one is blank-padded
        field.resize(kSlotDescriptionWidth, ' ');
        int first = -1, free = -1;
        for (size_t j = 0; j < readers.size() && free < 0; ++j) {
            if (!vel::PaddedFieldEquals(reinterpret_cast<const unsigned char *>(field.data()), field.size(),
                                        readers[j].c_str()))
                continue;
            if (first < 0)
                first = int(j);
            if (!taken[j])
                free = int(j);
        }
        int reader = free >= 0 ? free : first;
        if (reader >= 0)
            taken[reader] = true;
        out.push_back(reader);
    }
    return out;
}

} // namespace zeb
