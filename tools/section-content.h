// The contents of one section to append: pieces from files and from the command line,
// put together in order. Files are opened (and their sizes fixed) when the content is
// built, and copied into the output only when it is written.
#pragma once

#include "file-io.h"
#include "image-stream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace korvane {

class SectionContent {
public:
    explicit SectionContent(std::string name) : name_(std::move(name)) {}

    const std::string &name() const { return name_; }
    std::uint64_t size() const { return size_; }

    void add_file(InputFile file);
    void add_text(std::string text);
    // Zero bytes up to the next multiple of alignment.
    void pad_to(std::uint64_t alignment);
    // size bytes that make() gives when the piece is written, no sooner.
    void add_deferred(std::uint64_t size, std::function<std::string()> make);

    // The files among the pieces, in order.
    std::vector<const InputFile *> files() const;

    // Writes the pieces at the stream's position.
    void write(ImageStream &stream) const;
    // Shows the pieces' bytes to sink, in order, without writing them; no deferred piece.
    void read(const ChunkSink &sink) const;

private:
    struct Zeros {
        std::uint64_t size;
    };
    struct Deferred {
        std::uint64_t size;
        std::function<std::string()> make;
    };
    using Piece = std::variant<InputFile, std::string, Zeros, Deferred>;

    std::string name_;
    std::vector<Piece> pieces_;
    std::uint64_t size_ = 0;
};

} // namespace korvane
