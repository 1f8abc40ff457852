#include "der.h"

#include <algorithm>
#include <cassert>

namespace korvane::der {

namespace {

void append_length(Bytes &out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::uint8_t digits[sizeof length];
    std::size_t n = 0;
    for (; length != 0; length >>= 8)
        digits[n++] = static_cast<std::uint8_t>(length);
    out.push_back(static_cast<std::uint8_t>(0x80 | n));
    while (n > 0)
        out.push_back(digits[--n]);
}

// Base 128, most significant group first, every byte but the last with its top bit set.
void append_base128(Bytes &out, std::uint32_t value) {
    std::uint8_t groups[5];
    std::size_t n = 0;
    do {
        groups[n++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1)
        out.push_back(static_cast<std::uint8_t>(0x80 | groups[--n]));
    out.push_back(groups[0]);
}

} // namespace

Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> contents) {
    Bytes out{tag};
    append_length(out, contents.size());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes constructed(std::uint8_t tag, std::initializer_list<std::span<const std::uint8_t>> elements) {
    Bytes contents;
    for (std::span<const std::uint8_t> e : elements)
        contents.insert(contents.end(), e.begin(), e.end());
    return tlv(tag, contents);
}

Bytes sequence(std::initializer_list<std::span<const std::uint8_t>> elements) {
    return constructed(SEQUENCE, elements);
}

Bytes set_of(std::vector<Bytes> elements) {
    std::sort(elements.begin(), elements.end());
    Bytes contents;
    for (const Bytes &e : elements)
        contents.insert(contents.end(), e.begin(), e.end());
    return tlv(SET, contents);
}

std::span<const std::uint8_t> contents_of(std::span<const std::uint8_t> encoded) {
    assert(encoded.size() >= 2);
    std::size_t header = 2 + (encoded[1] & 0x80 ? encoded[1] & 0x7F : 0);
    assert(encoded.size() >= header);
    return encoded.subspan(header);
}

Bytes oid(std::initializer_list<std::uint32_t> arcs) {
    assert(arcs.size() >= 2);
    const std::uint32_t *a = arcs.begin();
    Bytes contents;
    append_base128(contents, a[0] * 40 + a[1]);
    for (const std::uint32_t *p = a + 2; p != arcs.end(); p++)
        append_base128(contents, *p);
    return tlv(0x06, contents);
}

Bytes null() {
    return {0x05, 0x00};
}

Bytes small_integer(std::uint8_t value) {
    assert(value < 0x80);
    return {INTEGER, 0x01, value};
}

} // namespace korvane::der
