#include "devicetree-compatible.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr std::uint32_t FDT_MAGIC = 0xd00dfeed;
constexpr std::uint32_t FDT_BEGIN_NODE = 1, FDT_PROP = 3, FDT_NOP = 4;

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The NUL-terminated text at `at`; false when no NUL comes before end.
bool string_at(std::span<const std::uint8_t> b, std::size_t at, std::size_t end, std::string &out) {
    for (std::size_t i = at; i < end; i++)
        if (b[i] == 0) {
            out.assign(reinterpret_cast<const char *>(b.data() + at), i - at);
            return true;
        }
    return false;
}

std::size_t align4(std::size_t v) {
    return (v + 3) & ~std::size_t{3};
}

} // namespace

std::string devicetree_compatible(std::span<const std::uint8_t> blob) {
    if (blob.size() < 40 || be32(blob, 0) != FDT_MAGIC)
        return "";
    std::size_t size = std::min<std::size_t>(be32(blob, 4), blob.size());
    std::size_t structs = be32(blob, 8), strings = be32(blob, 12), strings_size = be32(blob, 32);
    if (strings > size || strings_size > size - strings)
        return "";
    std::size_t pos = structs;
    auto token = [&] { return pos + 4 <= size ? be32(blob, pos) : 0; };
    while (token() == FDT_NOP)
        pos += 4;
    std::string name;
    if (token() != FDT_BEGIN_NODE || !string_at(blob, pos + 4, size, name))
        return "";
    pos = align4(pos + 4 + name.size() + 1);
    for (;;) {
        std::uint32_t t = token();
        if (t == FDT_NOP) {
            pos += 4;
            continue;
        }
        if (t != FDT_PROP || pos + 12 > size)
            return "";
        std::size_t length = be32(blob, pos + 4), name_offset = be32(blob, pos + 8), value = pos + 12;
        if (length > size - value || name_offset >= strings_size)
            return "";
        std::string prop;
        if (string_at(blob, strings + name_offset, strings + strings_size, prop) && prop == "compatible") {
            std::string compatible;
            return string_at(blob, value, value + length, compatible) ? compatible : "";
        }
        pos = align4(value + length);
    }
}

} // namespace korvane
