// SHA-1 and SHA-256, platform-free. Used to check the dictionary file and by
// the software card's hash-and-sign mechanisms.
#ifndef VEL_SHA_H
#define VEL_SHA_H

#include <cstddef>
#include <cstdint>

namespace vel {

// The framing both hashes share (64-byte blocks, a 0x80 byte, zeros and the
// message length in bits); `Compress` gives the initial state and the block
// function. Instantiated for the two hashes in sha.cpp only.
template <class Compress> class MdHash {
public:
    static constexpr size_t kDigestSize = Compress::kWords * 4;
    MdHash() { reset(); }
    void reset();
    void update(const void *data, size_t size);
    // Writes the digest and leaves the object ready for a new message.
    void final(uint8_t digest[kDigestSize]);
    static void digest(const void *data, size_t size, uint8_t out[kDigestSize]);

private:
    uint32_t h_[Compress::kWords];
    uint8_t buf_[64];
    size_t used_;
    uint64_t total_;
};

struct Sha1Compress {
    static constexpr size_t kWords = 5;
    static void init(uint32_t h[kWords]);
    static void block(uint32_t h[kWords], const uint8_t *p);
};

struct Sha256Compress {
    static constexpr size_t kWords = 8;
    static void init(uint32_t h[kWords]);
    static void block(uint32_t h[kWords], const uint8_t *p);
};

using Sha1 = MdHash<Sha1Compress>;
using Sha256 = MdHash<Sha256Compress>;

extern template class MdHash<Sha1Compress>;
extern template class MdHash<Sha256Compress>;

} // namespace vel

#endif
