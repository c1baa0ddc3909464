// Fuzzes everything that reads a blob or a card value: the session-key blob,
// the private key blob made exponent-one, the public key blob from a modulus
// and exponent, the DigestInfo and the signature order. Broken bounds trap
// under the sanitizers; broken invariants trap here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "digest_info.h"
#include "key_blobs.h"
#include "key_codes.h"

using namespace csp::keys;

namespace {

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each reader gets its own exactly-sized copy, so any overrun is seen.
    std::vector<uint8_t> blob(data, data + size);

    SimpleBlobView view{};
    if (ParseSimpleBlob(blob.data(), blob.size(), view) == kOk) {
        Require(view.wrapped == blob.data() + 12 && view.wrappedLen + 12 == size);
        std::vector<uint8_t> reversed(view.wrappedLen);
        ReverseInto(view.wrapped, view.wrappedLen, reversed.data());
    }

    MakeExponentOnePrivateBlob(blob.data(), blob.size());

    // The first byte splits the rest into a modulus and an exponent.
    if (size > 1) {
        const size_t split = data[0] % size; // modulus bytes, at most size - 1
        std::vector<uint8_t> modulus(data + 1, data + 1 + split);
        std::vector<uint8_t> exponent(data + 1 + split, data + size);
        size_t needed = 0;
        if (BuildPublicKeyBlob(modulus.data(), modulus.size(), exponent.data(), exponent.size(), nullptr, 0,
                               &needed) == kOk) {
            std::vector<uint8_t> out(needed);
            Require(BuildPublicKeyBlob(modulus.data(), modulus.size(), exponent.data(), exponent.size(),
                                       out.data(), out.size(), &needed) == kOk);
            Require(out[0] == kPublicKeyBlob && needed == out.size());
        }

        const size_t modulusLen = data[0];
        std::vector<uint8_t> signature(modulusLen ? modulusLen : 1);
        if (WidenLittleEndian(data + 1, size - 1, modulusLen, signature.data()) == kOk)
            Require(size - 1 <= modulusLen && signature[0] == data[1] &&
                    signature[size - 2] == data[size - 1]);

        const uint32_t algId = 0x8000u | (data[0] & 0x0F);
        DigestInfo d{};
        if (BuildDigestInfo(algId, data + 1, size - 1, d) == kOk)
            Require(d.len <= kMaxDigestInfo &&
                    std::memcmp(d.bytes + d.len - (size - 1), data + 1, size - 1) == 0);
    }
    return 0;
}
