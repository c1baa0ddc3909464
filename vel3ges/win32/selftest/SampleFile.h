// What the signing tests will sign: the sample data file of the `coffre`
// folder when it holds bytes, else the built-in sample. Looked at beforehand
// so that the self-test can say which data it signs.
#ifndef VEL3GES_SELFTEST_SAMPLEFILE_H
#define VEL3GES_SELFTEST_SAMPLEFILE_H

#include <string>

namespace vel {

constexpr const char kSampleFileName[] = "ACR_STANDARD_20130625.cer";

enum class SampleFileState {
    Present, // the file's bytes are signed
    Absent,  // no such file, or it cannot be opened
    Empty,   // a file of 0 bytes
};

struct SampleFileInfo {
    SampleFileState state;
    unsigned long size; // bytes of the file (0 unless Present)
};

SampleFileInfo InspectSampleFile(const std::string &path);

// Bytes a mode-2 signature with a key of `modulusBytes` signs: 0.4 of it.
inline unsigned long RawSampleLength(unsigned long modulusBytes)
{
    return modulusBytes * 2 / 5;
}

} // namespace vel

#endif
