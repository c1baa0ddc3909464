// SHA-1 and SHA-256, platform-free. Used to check the dictionary file and by
// the software card's hash-and-sign mechanisms.
#ifndef VEL_SHA_H
#define VEL_SHA_H

#include <cstddef>
#include <cstdint>

namespace vel {

class Sha1 {
public:
    static constexpr size_t kDigestSize = 20;
    Sha1() { reset(); }
    void reset();
    void update(const void *data, size_t size);
    // Writes the digest and leaves the object ready for a new message.
    void final(uint8_t digest[kDigestSize]);
    static void digest(const void *data, size_t size, uint8_t out[kDigestSize]);

    // Compresses one 64-byte block (called by the framing code the two share).
    void block(const uint8_t *p);

private:
    uint32_t h_[5];
    uint8_t buf_[64];
    size_t used_;
    uint64_t total_;
};

class Sha256 {
public:
    static constexpr size_t kDigestSize = 32;
    Sha256() { reset(); }
    void reset();
    void update(const void *data, size_t size);
    void final(uint8_t digest[kDigestSize]);
    static void digest(const void *data, size_t size, uint8_t out[kDigestSize]);

    // Compresses one 64-byte block (called by the framing code the two share).
    void block(const uint8_t *p);

private:
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_;
    uint64_t total_;
};

} // namespace vel

#endif
