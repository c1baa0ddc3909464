// Any bytes as a certificate and as a subject: never a read outside the input,
// never a name longer than its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "certificate_rules.h"
#include "der_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A heap copy of exactly the input's length, so that any over-read is caught.
    std::vector<uint8_t> input(data, data + size);
    const uint8_t *bytes = input.empty() ? nullptr : input.data();
    certrules::CertificateFields fields;
    if (certrules::ReadCertificateFields(bytes, input.size(), fields)) {
        char name[512];
        certrules::ContainerNameFromSubject(fields.subject.whole, fields.subject.wholeLength, name,
                                            sizeof name);
    }
    certrules::CertificateKeyTypeFromDer(bytes, input.size());
    char small[8];
    long kept = certrules::ContainerNameFromSubject(bytes, input.size(), small, sizeof small);
    if (kept >= static_cast<long>(sizeof small) || std::strlen(small) >= sizeof small)
        __builtin_trap();
    return 0;
}
