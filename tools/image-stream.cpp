#include "image-stream.h"

#include "pe-format.h"

#include <algorithm>
#include <cassert>
#include <vector>

namespace korvane {

void ImageStream::bytes(const std::uint8_t *data, std::size_t size) {
    out_.write_at(data, size, position_);
    show(position_, data, size);
    position_ += size;
}

void ImageStream::show(std::uint64_t offset, const std::uint8_t *data, std::size_t size) {
    checksum_.add(data, size);
    for (StreamSink *sink : sinks_)
        sink->add(offset, data, size);
}

void ImageStream::zeros_to(std::uint64_t offset) {
    static const std::uint8_t zeros[4096] = {};
    assert(offset >= position_);
    while (position_ < offset)
        bytes(zeros, static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, sizeof zeros)));
}

void ImageStream::file(const InputFile &in, std::uint64_t in_offset, std::uint64_t size,
                       std::span<const Fixup> fixups) {
    if (!fixups.empty()) {
        patched_file(in, in_offset, size, fixups);
        return;
    }
    std::uint64_t offset = position_;
    copier_.copy(
        in, in_offset, size, out_, position_,
        [&](const std::uint8_t *data, std::size_t n) {
            show(offset, data, n);
            offset += n;
        },
        !sinks_.empty());
    in.check_unchanged();
    position_ += size;
}

// Only the stub's few KiB of data carry fixups; they go through a buffer.
void ImageStream::patched_file(const InputFile &in, std::uint64_t in_offset, std::uint64_t size,
                               std::span<const Fixup> fixups) {
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t done = 0; done < size; done += chunk.size()) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, DataCopier::CHUNK)));
        in.read_at(chunk.data(), chunk.size(), in_offset + done);
        for (const Fixup &f : fixups) {
            std::uint8_t value[4];
            pe::store_le32(value, f.value);
            for (std::uint64_t i = 0; i < sizeof value; i++)
                if (f.offset + i >= position_ && f.offset + i < position_ + chunk.size())
                    chunk[static_cast<std::size_t>(f.offset + i - position_)] = value[i];
        }
        bytes(chunk.data(), chunk.size());
    }
    in.check_unchanged();
}

void ImageStream::finish_checksum(std::uint64_t offset) {
    std::uint8_t value[4];
    pe::store_le32(value, checksum_.finish());
    out_.write_at(value, sizeof value, offset);
}

} // namespace korvane
