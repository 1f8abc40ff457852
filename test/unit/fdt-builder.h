// Flattened devicetree blobs for tests, well-formed or not.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fdttest {

inline constexpr uint32_t FDT_BEGIN_NODE = 1, FDT_END_NODE = 2, FDT_PROP = 3, FDT_NOP = 4, FDT_END = 9;
inline constexpr size_t HEADER_SIZE = 40, RSVMAP_SIZE = 16;

inline void put_be32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
    v[at] = x >> 24;
    v[at + 1] = x >> 16;
    v[at + 2] = x >> 8;
    v[at + 3] = x;
}

inline uint32_t get_be32(const std::vector<uint8_t> &v, size_t at) {
    return uint32_t{v[at]} << 24 | uint32_t{v[at + 1]} << 16 | uint32_t{v[at + 2]} << 8 | v[at + 3];
}

// Builds a flattened devicetree (version 17 layout): header, empty memory reservation map,
// structure block, strings block.
class Fdt {
public:
    Fdt &begin_node(const std::string &name) {
        word(FDT_BEGIN_NODE);
        bytes(name.data(), name.size() + 1);
        return *this;
    }
    Fdt &end_node() { return word(FDT_END_NODE); }
    Fdt &nop() { return word(FDT_NOP); }
    Fdt &end() { return word(FDT_END); }
    Fdt &word(uint32_t w) {
        size_t at = structure_.size();
        structure_.resize(at + 4);
        put_be32(structure_, at, w);
        return *this;
    }
    // A property whose value is the given bytes; `value` may hold embedded NULs.
    Fdt &prop(const std::string &name, const std::string &value) {
        return prop_raw(static_cast<uint32_t>(value.size()), name_offset(name), value);
    }
    Fdt &prop_raw(uint32_t len, uint32_t name_off, const std::string &value) {
        word(FDT_PROP);
        word(len);
        word(name_off);
        bytes(value.data(), value.size());
        return *this;
    }
    uint32_t name_offset(const std::string &name) {
        size_t at = strings_.find(name + '\0');
        if (at != std::string::npos)
            return static_cast<uint32_t>(at);
        strings_ += name;
        strings_ += '\0';
        return static_cast<uint32_t>(strings_.size() - name.size() - 1);
    }
    // Raw bytes for the strings block, e.g. a last name without its NUL.
    Fdt &append_strings(const std::string &s) {
        strings_ += s;
        return *this;
    }

    std::vector<uint8_t> build() const {
        size_t off_struct = HEADER_SIZE + RSVMAP_SIZE;
        size_t off_strings = off_struct + structure_.size();
        std::vector<uint8_t> v(off_strings + strings_.size());
        put_be32(v, 0, 0xd00dfeed);
        put_be32(v, 4, static_cast<uint32_t>(v.size()));
        put_be32(v, 8, static_cast<uint32_t>(off_struct));
        put_be32(v, 12, static_cast<uint32_t>(off_strings));
        put_be32(v, 16, HEADER_SIZE);
        put_be32(v, 20, 17);
        put_be32(v, 24, 16);
        put_be32(v, 32, static_cast<uint32_t>(strings_.size()));
        put_be32(v, 36, static_cast<uint32_t>(structure_.size()));
        std::memcpy(v.data() + off_struct, structure_.data(), structure_.size());
        std::memcpy(v.data() + off_strings, strings_.data(), strings_.size());
        return v;
    }

private:
    void bytes(const void *p, size_t n) {
        size_t at = structure_.size();
        structure_.resize(at + (n + 3) / 4 * 4);
        std::memcpy(structure_.data() + at, p, n);
    }

    std::vector<uint8_t> structure_;
    std::string strings_;
};

} // namespace fdttest
