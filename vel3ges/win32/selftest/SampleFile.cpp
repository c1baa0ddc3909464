#include "SampleFile.h"

#include <cstdio>

namespace vel {

namespace {
constexpr unsigned long kMaxCounted = 1024UL * 1024UL;
}

SampleFileInfo InspectSampleFile(const std::string &path)
{
    if (path.empty())
        return {SampleFileState::Absent, 0};
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {SampleFileState::Absent, 0};
    // Counted by reading, as the signing service reads it: a size from the
    // directory could differ from what can be read.
    unsigned long size = 0;
    char chunk[4096];
    size_t n;
    // The signing service reads no more than about a megabyte either.
    while (size < kMaxCounted && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        size += static_cast<unsigned long>(n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        return {SampleFileState::Absent, 0};
    if (size == 0)
        return {SampleFileState::Empty, 0};
    return {SampleFileState::Present, size};
}

} // namespace vel
