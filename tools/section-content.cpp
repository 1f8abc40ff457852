#include "section-content.h"

#include <algorithm>
#include <cassert>

namespace korvane {

void SectionContent::add_file(InputFile file) {
    size_ += file.size();
    pieces_.emplace_back(std::move(file));
}

void SectionContent::add_text(std::string text) {
    size_ += text.size();
    pieces_.emplace_back(std::move(text));
}

void SectionContent::pad_to(std::uint64_t alignment) {
    std::uint64_t pad = (alignment - size_ % alignment) % alignment;
    if (pad == 0)
        return;
    size_ += pad;
    pieces_.emplace_back(Zeros{pad});
}

void SectionContent::add_deferred(std::uint64_t size, std::function<std::string()> make) {
    size_ += size;
    pieces_.emplace_back(Deferred{size, std::move(make)});
}

std::vector<const InputFile *> SectionContent::files() const {
    std::vector<const InputFile *> files;
    for (const Piece &p : pieces_)
        if (const auto *f = std::get_if<InputFile>(&p))
            files.push_back(f);
    return files;
}

void SectionContent::write(ImageStream &stream) const {
    for (const Piece &p : pieces_) {
        if (const auto *f = std::get_if<InputFile>(&p)) {
            stream.file(*f, 0, f->size());
        } else if (const auto *text = std::get_if<std::string>(&p)) {
            stream.bytes(reinterpret_cast<const std::uint8_t *>(text->data()), text->size());
        } else if (const auto *zeros = std::get_if<Zeros>(&p)) {
            stream.zeros_to(stream.position() + zeros->size);
        } else {
            const Deferred &d = std::get<Deferred>(p);
            std::string bytes = d.make();
            assert(bytes.size() == d.size);
            stream.bytes(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        }
    }
}

void SectionContent::read(const ChunkSink &sink) const {
    static const std::uint8_t zeros[4096] = {};
    std::vector<std::uint8_t> buffer;
    for (const Piece &p : pieces_) {
        if (const auto *f = std::get_if<InputFile>(&p)) {
            buffer.resize(DataCopier::CHUNK);
            for (std::uint64_t done = 0; done < f->size();) {
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(f->size() - done, buffer.size()));
                f->read_at(buffer.data(), n, done);
                sink(buffer.data(), n);
                done += n;
            }
            f->check_unchanged();
        } else if (const auto *text = std::get_if<std::string>(&p)) {
            sink(reinterpret_cast<const std::uint8_t *>(text->data()), text->size());
        } else if (const auto *z = std::get_if<Zeros>(&p)) {
            for (std::uint64_t left = z->size; left > 0;) {
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof zeros));
                sink(zeros, n);
                left -= n;
            }
        } else {
            assert(!"a deferred piece has no bytes before it is written");
        }
    }
}

} // namespace korvane
