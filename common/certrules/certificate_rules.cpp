#include "certificate_rules.h"

#include "der_reader.h"

namespace certrules {

long ContainerNameFromSubject(const uint8_t *subject, size_t length, char *name, size_t capacity)
{
    if (!name || capacity == 0)
        return -1;
    name[0] = '\0';
    if (!subject && length)
        return -1;
    size_t kept = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = subject[i];
        if (c < 0x21 || c > 0x7E)
            continue;
        if (kept + 1 >= capacity) {
            name[0] = '\0';
            return -1;
        }
        name[kept++] = static_cast<char>(c);
    }
    name[kept] = '\0';
    return static_cast<long>(kept);
}

uint32_t CertificateKeyTypeFromDer(const uint8_t *der, size_t length)
{
    CertificateFields fields;
    if (!ReadCertificateFields(der, length, fields) || !fields.hasKeyUsage)
        return kNoKeyType;
    return KeyTypeFromKeyUsage(fields.keyUsageFirstByte);
}

} // namespace certrules
