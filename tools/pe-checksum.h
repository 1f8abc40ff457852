// The PE image checksum: a 16-bit one's-complement sum over the file's little-endian
// 16-bit words (the CheckSum field read as zero, an odd last byte padded with zero),
// folded and then added to the file length. Fed in pieces of any size, in file order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

class PeChecksum {
public:
    void add(const std::uint8_t *data, std::size_t size);
    std::uint32_t finish() const;

private:
    std::uint64_t sum_ = 0;
    std::uint64_t length_ = 0;
};

} // namespace korvane
