// The tool's running checksum, fed in pieces of any size, against the word-by-word sum.
#include "pe-checksum.h"
#include "pe-test-image.h"

#include <gtest/gtest.h>

#include <random>

namespace uki_test {
namespace {

TEST(PeChecksum, PiecesOfAnySizeSumLikeTheWholeFile) {
    std::mt19937 random(7);
    for (std::size_t size : {0u, 1u, 2u, 3u, 4095u, 65536u, 1000003u}) {
        Bytes file(size);
        for (std::uint8_t &b : file)
            b = static_cast<std::uint8_t>(random());
        // Runs of 0xFF push the folding through its carries.
        for (std::size_t i = 0; i < size / 3; i++)
            file[i] = 0xFF;
        korvane::PeChecksum checksum;
        for (std::size_t at = 0; at < size;) {
            std::size_t n = std::min<std::size_t>(size - at, random() % 5000);
            checksum.add(file.data() + at, n);
            at += n;
        }
        EXPECT_EQ(checksum.finish(), pe_checksum(file, size)) << size << " bytes";
    }
}

} // namespace
} // namespace uki_test
