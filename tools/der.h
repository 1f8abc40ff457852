// Just enough of ASN.1 DER (ITU-T X.690) to write a PKCS#7 signature: definite lengths,
// object identifiers from their arcs, SETs with their elements in sorted order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace korvane::der {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t INTEGER = 0x02;
inline constexpr std::uint8_t BIT_STRING = 0x03;
inline constexpr std::uint8_t OCTET_STRING = 0x04;
inline constexpr std::uint8_t SEQUENCE = 0x30;
inline constexpr std::uint8_t SET = 0x31;

// Context-specific tags: [n] of a constructed (EXPLICIT or structured) or a primitive value.
constexpr std::uint8_t context(unsigned n) {
    return static_cast<std::uint8_t>(0xA0 | n);
}
constexpr std::uint8_t context_primitive(unsigned n) {
    return static_cast<std::uint8_t>(0x80 | n);
}

// Tag, length and contents.
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> contents);
// Tag and length of the given elements, then the elements in the given order.
Bytes constructed(std::uint8_t tag, std::initializer_list<std::span<const std::uint8_t>> elements);
Bytes sequence(std::initializer_list<std::span<const std::uint8_t>> elements);
// A SET OF: DER orders its elements by their encodings.
Bytes set_of(std::vector<Bytes> elements);

// The contents of one encoded value, without its tag and length.
std::span<const std::uint8_t> contents_of(std::span<const std::uint8_t> encoded);

Bytes oid(std::initializer_list<std::uint32_t> arcs);
Bytes null();
Bytes small_integer(std::uint8_t value);

} // namespace korvane::der
