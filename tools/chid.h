// Computer hardware IDs (CHIDs): name-based UUIDs over a machine's SMBIOS identity strings,
// computed the way the stub computes them on the machine, so that a table made here matches.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// In EFI_GUID byte layout: the first three fields little-endian.
using Chid = std::array<std::uint8_t, 16>;

// The identity fields, numbered as the bits of a CHID type's field mask.
enum ChidField {
    CHID_MANUFACTURER,
    CHID_FAMILY,
    CHID_PRODUCT_NAME,
    CHID_SKU,
    CHID_BASEBOARD_MANUFACTURER,
    CHID_BASEBOARD_PRODUCT,
    CHID_FIELD_COUNT,
};

struct ChidType {
    unsigned number;
    std::uint8_t mask;
};

// The types the stub matches, most specific first: the order in which it tries them.
inline constexpr std::array<ChidType, 9> CHID_TYPES = {{
    {3, 0x3F}, {6, 0x39}, {8, 0x35}, {10, 0x33}, {4, 0x0F}, {5, 0x07}, {7, 0x09}, {9, 0x05}, {11, 0x03},
}};

// A field as it is hashed: leading blanks, then the zeros after them, and trailing blanks
// dropped, as UTF-16. The stub keeps only characters of the Basic Multilingual Plane, so
// anything else (and text that is not UTF-8) is refused: throws ToolError naming what.
std::u16string chid_normalize_field(std::string_view value, const std::string &what);

// The CHID of one type over normalised fields.
Chid chid_compute(const std::array<std::u16string, CHID_FIELD_COUNT> &fields, std::uint8_t mask);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (hex digits of either case) in EFI_GUID layout;
// nullopt for anything else.
std::optional<Chid> chid_parse(std::string_view text);

// The text form of a CHID, lower-case.
std::string chid_text(const Chid &chid);

} // namespace korvane
