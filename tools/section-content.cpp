#include "section-content.h"

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
        } else {
            stream.zeros_to(stream.position() + std::get<Zeros>(p).size);
        }
    }
}

} // namespace korvane
