// A PIN or unblock code: a small fixed buffer that is wiped when it is
// cleared or destroyed, so that no copy of the code outlives its use.
#ifndef VEL3GES_CARD_SECRETTEXT_H
#define VEL3GES_CARD_SECRETTEXT_H

#include <cstddef>
#include <cstring>

namespace vel {

class SecretText {
public:
    static constexpr size_t Capacity = 16; // longest code kept (unblock codes have 8)

    SecretText() { Wipe(); }
    explicit SecretText(const char *text) { Assign(text); }
    SecretText(const SecretText &) = delete;
    SecretText &operator=(const SecretText &) = delete;
    ~SecretText() { Wipe(); }

    // Keeps at most Capacity characters of `text` (null gives an empty text).
    void Assign(const char *text)
    {
        Wipe();
        if (!text)
            return;
        size_t n = 0;
        while (n < Capacity && text[n] != '\0') {
            buf_[n] = text[n];
            ++n;
        }
        len_ = n;
    }
    void Wipe()
    {
        // volatile stores: the compiler may not drop a wipe of memory that is
        // about to die.
        volatile char *p = buf_;
        for (size_t i = 0; i < sizeof buf_; ++i)
            p[i] = 0;
        len_ = 0;
    }
    const char *c_str() const { return buf_; }
    size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }

private:
    char buf_[Capacity + 1];
    size_t len_ = 0;
};

} // namespace vel

#endif
