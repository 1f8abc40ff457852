#include "pe-checksum.h"

#include <bit>
#include <cstring>

namespace korvane {

static_assert(std::endian::native == std::endian::little, "the word sums below read little-endian words");

namespace {

// 2^16 is 1 modulo 0xFFFF, so a wide word adds the same as its 16-bit parts, and folding
// the carries back in at the end gives the same result as folding after every word.
std::uint64_t sum_aligned(const std::uint8_t *data, std::size_t size) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        sum += (word & 0xFFFFFFFF) + (word >> 32);
    }
    for (; i + 2 <= size; i += 2)
        sum += static_cast<std::uint64_t>(data[i] | data[i + 1] << 8);
    if (i < size)
        sum += data[i];
    return sum;
}

std::uint32_t fold16(std::uint64_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum);
}

} // namespace

void PeChecksum::add(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return;
    // A piece that starts at an odd file offset begins with the high byte of a word.
    if (length_ % 2) {
        sum_ += static_cast<std::uint64_t>(data[0]) << 8;
        data++;
        size--;
        length_++;
    }
    // Folding keeps the sum far from overflow however much is fed in.
    sum_ = fold16(sum_) + sum_aligned(data, size);
    length_ += size;
}

std::uint32_t PeChecksum::finish() const {
    return fold16(sum_) + static_cast<std::uint32_t>(length_);
}

} // namespace korvane
