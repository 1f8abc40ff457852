// The Authenticode digest of a PE image (Microsoft's Authenticode PE signature format):
// SHA-256 over the header region without the CheckSum field and the certificate table
// entry, then every section's raw data in the order of its file offset, then what follows
// the sections up to the certificate table. Computed while the image is written, so the
// parts must come in file order; an image whose sections leave gaps cannot be hashed so.
#pragma once

#include "image-stream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvane {

struct ByteRange {
    std::uint64_t offset;
    std::uint64_t length;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// The parts of the file that the digest covers, in hashing order, from the image's header
// region (with its final section table) and the offset where its certificate table will
// start. Throws ToolError (with what) when they are not in file order.
std::vector<ByteRange> authenticode_ranges(std::span<const std::uint8_t> headers, std::uint64_t certificate_offset,
                                           const std::string &what);

// Hashes the bytes it is fed that fall into the ranges.
class AuthenticodeHash : public StreamSink {
public:
    explicit AuthenticodeHash(std::vector<ByteRange> ranges);
    ~AuthenticodeHash() override;

    void add(std::uint64_t offset, const std::uint8_t *data, std::size_t size) override;
    // Every range must have been fed.
    Sha256Digest finish();

private:
    struct Context;
    std::vector<ByteRange> ranges_;
    std::size_t next_ = 0; // the first range not yet hashed to its end
    std::unique_ptr<Context> context_;
};

} // namespace korvane
