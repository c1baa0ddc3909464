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

std::string TrimSlotDescription(const uint8_t *description, size_t size)
{
    if (!description)
        return std::string();
    size_t n = size;
    while (n > 0 && (description[n - 1] == ' ' || description[n - 1] == '\0'))
        --n;
    return std::string(reinterpret_cast<const char *>(description), n);
}

bool DescriptionNamesReader(const std::string &trimmedDescription, const std::string &reader)
{
    if (reader.size() <= kSlotDescriptionWidth)
        return trimmedDescription == reader;
    std::string cut = reader.substr(0, kSlotDescriptionWidth);
    size_t end = cut.find_last_not_of(' ');
    cut.resize(end == std::string::npos ? 0 : end + 1);
    return trimmedDescription == cut;
}

} // namespace zeb
