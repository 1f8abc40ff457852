// The output image written front to back, with the PE checksum summed over every byte
// on the way (the CheckSum field is written as zero and filled in at the end), and every
// byte shown to the stream's sinks, which compute what else depends on the output's bytes.
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

// Sees the output's bytes as they are written, in file order, each piece with its offset.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    virtual void add(std::uint64_t offset, const std::uint8_t *data, std::size_t size) = 0;
};

class ImageStream {
public:
    explicit ImageStream(OutputFile &out, std::span<StreamSink *const> sinks = {}) : out_(out), sinks_(sinks) {}

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
    void show(std::uint64_t offset, const std::uint8_t *data, std::size_t size);

    OutputFile &out_;
    DataCopier copier_;
    std::span<StreamSink *const> sinks_;
    PeChecksum checksum_;
    std::uint64_t position_ = 0;
};

} // namespace korvane
