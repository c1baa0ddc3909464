// The container-name and key-spec rules on the card's certificates and on
// certificates made to show each edge: names that fit or not, key usages with
// and without the nonRepudiation bit, and damaged DER at every length.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cert_builder.h"
#include "certificate_rules.h"
#include "der_reader.h"

#include "card_certificates.inc"

using namespace certrules;
using namespace certrules_test;

namespace {

std::string NameOf(const Bytes &subject, size_t capacity = 512)
{
    std::string buffer(capacity, 'X');
    long kept = ContainerNameFromSubject(subject.data(), subject.size(), &buffer[0], capacity);
    return kept < 0 ? "<too long>" : std::string(buffer.c_str());
}

std::string SubjectName(const unsigned char *der, size_t size)
{
    CertificateFields fields;
    if (!ReadCertificateFields(der, size, fields))
        return "<not a certificate>";
    return NameOf(Bytes(fields.subject.whole, fields.subject.whole + fields.subject.wholeLength));
}

TEST(ContainerName, KeepsPrintableBytesOnly)
{
    // The worked example: CN=AB.
    EXPECT_EQ(
        NameOf({0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x02, 0x41, 0x42}),
        "010UAB");
    // Blank, DEL, control and high bytes go; the bounds 0x21 and 0x7E stay.
    EXPECT_EQ(NameOf({0x20, 0x21, 0x7E, 0x7F, 0x80, 0xE9, 0x00, 0x1F, 'a'}), "!~a");
    EXPECT_EQ(NameOf({}), "");
}

TEST(ContainerName, NeverOverrunsItsBuffer)
{
    const Bytes five(5, 'z');
    EXPECT_EQ(NameOf(five, 6), "zzzzz");
    EXPECT_EQ(NameOf(five, 5), "<too long>");
    // Bytes that are dropped take no room.
    EXPECT_EQ(NameOf(Bytes{'a', ' ', ' ', ' ', 'b'}, 3), "ab");
    // 511 characters fit the provider's 512 bytes, 512 do not.
    EXPECT_EQ(NameOf(Bytes(511, 'q')).size(), 511u);
    EXPECT_EQ(NameOf(Bytes(512, 'q')), "<too long>");

    char name[4] = "old";
    EXPECT_EQ(ContainerNameFromSubject(five.data(), five.size(), name, sizeof name), -1);
    EXPECT_STREQ(name, "") << "a name that does not fit leaves no truncated copy";
    EXPECT_EQ(ContainerNameFromSubject(nullptr, 3, name, sizeof name), -1);
    EXPECT_EQ(ContainerNameFromSubject(five.data(), five.size(), nullptr, 10), -1);
    EXPECT_EQ(ContainerNameFromSubject(nullptr, 0, name, sizeof name), 0);
}

TEST(CardCertificates, NamesAndKeySpecs)
{
    struct Case {
        const char *what;
        const unsigned char *der;
        size_t size;
        const char *name;
        uint32_t keySpec;
    };
    const Case cases[] = {
        // Length bytes that fall in the printable range are kept like any other (0x67 is g).
        {"authentication", k_auth, sizeof k_auth,
         "0g10UFR10UOvraneTest10U250001234510UMARTINJEANNE10U810001234567", kAtKeyExchange},
        {"signature", k_sign, sizeof k_sign,
         "0q10UFR10UOvraneTest10U250001234510UMARTINJEANNESIGNATURE10U810001234567", kAtSignature},
        {"technical", k_tech, sizeof k_tech, "0=10UFR10UOvraneTest10UCL10UAB", kAtKeyExchange},
        {"authentication, 1024 bits", k_auth1024, sizeof k_auth1024, nullptr, kAtKeyExchange},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.name) {
            EXPECT_EQ(SubjectName(c.der, c.size), c.name);
        }
        EXPECT_EQ(CertificateKeyTypeFromDer(c.der, c.size), c.keySpec);
    }
}

TEST(KeyType, FromKeyUsage)
{
    struct Case {
        const char *what;
        std::vector<Bytes> extensions;
        uint32_t keySpec;
    };
    const Case cases[] = {
        {"nonRepudiation alone", {KeyUsageExtension({0x06, 0x40})}, kAtSignature},
        {"digitalSignature and nonRepudiation", {KeyUsageExtension({0x06, 0xC0})}, kAtSignature},
        {"digitalSignature and keyEncipherment", {KeyUsageExtension({0x05, 0xA0})}, kAtKeyExchange},
        {"second byte only (decipherOnly)", {KeyUsageExtension({0x07, 0x00, 0x80})}, kAtKeyExchange},
        {"empty bit string", {KeyUsageExtension({0x00})}, kAtKeyExchange},
        {"not critical", {KeyUsageExtension({0x06, 0x40}, false)}, kAtSignature},
        {"after another extension", {BasicConstraints(), KeyUsageExtension({0x06, 0x40})}, kAtSignature},
        {"other extensions only", {BasicConstraints()}, kNoKeyType},
        {"no extensions", {}, kNoKeyType},
        {"unused-bit count above 7", {KeyUsageExtension({0x08, 0x40})}, kNoKeyType},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes der = Certificate(CommonName("AB"), c.extensions);
        EXPECT_EQ(CertificateKeyTypeFromDer(der.data(), der.size()), c.keySpec);
    }
}

TEST(DerReading, DamagedCertificatesAreRefused)
{
    const Bytes good = Certificate(CommonName("AB"), {KeyUsageExtension({0x06, 0x40})});
    CertificateFields fields;
    ASSERT_TRUE(ReadCertificateFields(good.data(), good.size(), fields));
    EXPECT_EQ(NameOf(Bytes(fields.subject.whole, fields.subject.whole + fields.subject.wholeLength)),
              "010UAB");

    // Every truncation, each as an exact-size heap copy so a sanitizer sees any over-read.
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(ReadCertificateFields(cut.empty() ? nullptr : cut.data(), cut.size(), fields)) << n;
        EXPECT_EQ(CertificateKeyTypeFromDer(cut.data(), cut.size()), kNoKeyType) << n;
    }

    struct Case {
        const char *what;
        Bytes der;
    };
    Bytes indefinite = good;
    indefinite[1] = 0x80;
    Bytes hugeLength = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    Bytes fiveLengthBytes = {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
    Bytes wrongOuterTag = good;
    wrongOuterTag[0] = 0x31;
    const Case cases[] = {
        {"indefinite length", indefinite},
        {"length beyond the buffer", hugeLength},
        {"five length bytes", fiveLengthBytes},
        {"outer tag not a sequence", wrongOuterTag},
        {"multi-byte tag", {0x1F, 0x81, 0x01, 0x00}},
        {"subject not a sequence", Certificate(Tlv(0x31, {}), {})},
        {"key usage with trailing bytes",
         Certificate(CommonName("AB"),
                     {Tlv(0x30, Cat({Tlv(0x06, {0x55, 0x1D, 0x0F}),
                                     Tlv(0x04, Cat({Tlv(0x03, {0x06, 0x40}), {0x00}}))}))})},
        {"key usage bit string empty of its unused-bits byte",
         Certificate(CommonName("AB"),
                     {Tlv(0x30, Cat({Tlv(0x06, {0x55, 0x1D, 0x0F}), Tlv(0x04, Tlv(0x03, {}))}))})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(ReadCertificateFields(c.der.data(), c.der.size(), fields));
    }
}

TEST(DerReading, LongFormLengths)
{
    // A subject of 300 bytes needs a two-byte length, and its name is then too long for 256 bytes.
    const Bytes der = Certificate(CommonName(std::string(290, 'N')), {KeyUsageExtension({0x06, 0x40})});
    CertificateFields fields;
    ASSERT_TRUE(ReadCertificateFields(der.data(), der.size(), fields));
    EXPECT_GT(fields.subject.wholeLength, 0x100u);
    EXPECT_EQ(CertificateKeyTypeFromDer(der.data(), der.size()), kAtSignature);
    const Bytes subject(fields.subject.whole, fields.subject.whole + fields.subject.wholeLength);
    EXPECT_EQ(NameOf(subject, 256), "<too long>");
    EXPECT_NE(NameOf(subject).find(std::string(290, 'N')), std::string::npos);
}

} // namespace
