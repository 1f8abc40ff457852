// An input as a flags byte followed by parts, each a little-endian 16-bit length and that many
// bytes (fewer when the input ends first). Reading past the end gives zeros and empty parts, so
// that every input means something. encode() writes parts as Input reads them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}
    uint8_t byte() {
        if (left_ == 0)
            return 0;
        left_--;
        return *p_++;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return u16() | uint32_t(u16()) << 16; }
    Bytes part() { return take(u16()); }
    Bytes rest() { return take(left_); }
    bool empty() const { return left_ == 0; }

private:
    Bytes take(size_t n) {
        if (n > left_)
            n = left_;
        Bytes b(p_, p_ + n);
        p_ += n;
        left_ -= n;
        return b;
    }

    const uint8_t *p_;
    size_t left_;
};

inline void append_part(Bytes &out, const Bytes &part) {
    out.push_back(static_cast<uint8_t>(part.size()));
    out.push_back(static_cast<uint8_t>(part.size() >> 8));
    out.insert(out.end(), part.begin(), part.end());
}

// Bytes as UTF-16 code units (little-endian pairs; an odd last byte is dropped).
inline std::u16string utf16_of(const Bytes &b) {
    std::u16string s;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        s.push_back(static_cast<char16_t>(b[i] | b[i + 1] << 8));
    return s;
}

inline Bytes bytes_of_utf16(const std::u16string &s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}

} // namespace fuzz
