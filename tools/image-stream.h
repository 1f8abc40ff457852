// The output image written front to back, with the PE checksum summed over every byte
// on the way (the CheckSum field is written as zero and filled in at the end).
#pragma once

#include "file-io.h"
#include "pe-checksum.h"

#include <cstdint>
#include <span>

namespace korvane {

// A 32-bit value that replaces the bytes at offset while they are copied.
struct Fixup {
    std::uint64_t offset;
    std::uint32_t value;
};

class ImageStream {
public:
    explicit ImageStream(OutputFile &out) : out_(out) {}

    std::uint64_t position() const { return position_; }

    void bytes(const std::uint8_t *data, std::size_t size);
    // Zero bytes up to offset, which must not lie behind the position.
    void zeros_to(std::uint64_t offset);
    // size bytes of in from in_offset, with the fixups that fall into them applied.
    void file(const InputFile &in, std::uint64_t in_offset, std::uint64_t size, std::span<const Fixup> fixups = {});

    // Writes the sum into the CheckSum field at offset.
    void finish_checksum(std::uint64_t offset);

private:
    void patched_file(const InputFile &in, std::uint64_t in_offset, std::uint64_t size, std::span<const Fixup> fixups);

    OutputFile &out_;
    DataCopier copier_;
    PeChecksum checksum_;
    std::uint64_t position_ = 0;
};

} // namespace korvane
