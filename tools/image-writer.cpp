#include "image-writer.h"

#include "file-io.h"
#include "image-signing.h"
#include "image-stream.h"

#include <algorithm>
#include <cassert>
#include <numeric>
#include <optional>
#include <vector>

namespace korvane {

void write_pe_image(const InputFile &stub, const PeLayout &layout, std::span<const SectionContent> sections,
                    const std::string &output, std::span<StreamSink *const> sinks, const SigningKey *key) {
    assert(sections.size() == layout.appended.size());
    std::vector<std::size_t> file_order(sections.size());
    std::iota(file_order.begin(), file_order.end(), 0);
    std::stable_sort(file_order.begin(), file_order.end(), [&](std::size_t a, std::size_t b) {
        return layout.appended[a].pointer_to_raw_data < layout.appended[b].pointer_to_raw_data;
    });
    std::vector<std::uint8_t> headers = layout.headers;
    std::vector<StreamSink *> all_sinks(sinks.begin(), sinks.end());
    std::optional<ImageSigner> signer;
    if (key) {
        signer.emplace(*key, headers, layout.file_size, output);
        all_sinks.push_back(&signer->digest());
    }
    OutputFile out(output);
    ImageStream stream(out, all_sinks);
    stream.bytes(headers.data(), headers.size());
    assert(stream.position() == layout.stub_data_to);
    stream.file(stub, layout.stub_data_from, layout.stub_data_length, layout.fixups);
    for (std::size_t i : file_order) {
        const PeSection &s = layout.appended[i];
        stream.zeros_to(s.pointer_to_raw_data);
        sections[i].write(stream);
        stream.zeros_to(std::uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data);
    }
    stream.zeros_to(layout.file_size);
    if (signer) {
        stream.zeros_to(signer->certificate_offset());
        std::vector<std::uint8_t> table = signer->certificate_table();
        stream.bytes(table.data(), table.size());
    }
    stream.finish_checksum(layout.checksum_offset);
    out.commit();
}

} // namespace korvane
