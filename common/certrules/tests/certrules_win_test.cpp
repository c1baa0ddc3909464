// The key-spec rule through the platform's certificate decoder agrees with
// the platform-free reading, and reports what it could not read.
#include <gtest/gtest.h>

#include "cert_builder.h"
#include "certificate_key_type.h"
#include "certificate_rules.h"

#include "card_certificates.inc"

using namespace certrules;
using namespace certrules_test;

namespace {

TEST(CertificateKeyType, AgreesWithTheDerReading)
{
    struct Case {
        const char *what;
        Bytes der;
        DWORD keySpec;
        KeyTypeOutcome outcome;
    };
    const Case cases[] = {
        {"card authentication", Bytes(k_auth, k_auth + sizeof k_auth), AT_KEYEXCHANGE, KeyTypeOutcome::Found},
        {"card signature", Bytes(k_sign, k_sign + sizeof k_sign), AT_SIGNATURE, KeyTypeOutcome::Found},
        {"card technical", Bytes(k_tech, k_tech + sizeof k_tech), AT_KEYEXCHANGE, KeyTypeOutcome::Found},
        {"no key usage", Certificate(CommonName("AB"), {BasicConstraints()}), 0, KeyTypeOutcome::NoKeyUsage},
        {"not a certificate", Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, 0, KeyTypeOutcome::NotDecoded},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0xdeadbeef);
        const KeyTypeResult r = GetCertificateKeyType(c.der.data(), static_cast<DWORD>(c.der.size()));
        EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "the caller's last error is kept";
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.keySpec, c.keySpec);
        EXPECT_EQ(CertificateKeyTypeFromDer(c.der.data(), c.der.size()), c.keySpec);
        if (c.outcome == KeyTypeOutcome::NotDecoded) {
            EXPECT_NE(r.error, 0u);
        }
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetCertificateKeyType(nullptr, 10).outcome, KeyTypeOutcome::NotDecoded);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

} // namespace
