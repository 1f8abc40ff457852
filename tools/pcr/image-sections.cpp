#include "image-sections.h"

#include "devicetree-compatible.h"

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

// A devicetree is a few hundred KiB; a name is not worth more memory than this.
constexpr std::size_t DEVICETREE_KEPT_MAX = 16 << 20;

bool is_dtbauto(const PeSectionHeader &h) {
    return pe_section_name_equal(h.Name, image_section_names[SECTION_DTBAUTO]);
}

} // namespace

PeSectionHeader to_section_header(const PeSection &s) {
    PeSectionHeader h = {};
    std::memcpy(h.Name, s.name.data(), std::min(s.name.size(), sizeof h.Name));
    h.VirtualSize = s.virtual_size;
    h.VirtualAddress = s.virtual_address;
    h.SizeOfRawData = s.size_of_raw_data;
    h.PointerToRawData = s.pointer_to_raw_data;
    return h;
}

void read_section(const InputFile &file, const PeSection &s, const ChunkSink &sink) {
    static const std::uint8_t zeros[4096] = {};
    std::uint64_t raw = std::min(s.size_of_raw_data, s.virtual_size);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(raw, DataCopier::CHUNK)));
    for (std::uint64_t done = 0; done < raw;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(raw - done, buffer.size()));
        file.read_at(buffer.data(), n, s.pointer_to_raw_data + done);
        sink(buffer.data(), n);
        done += n;
    }
    for (std::uint64_t left = s.virtual_size - raw; left > 0;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof zeros));
        sink(zeros, n);
        left -= n;
    }
}

SectionDigester::SectionDigester(const PeSectionHeader &header, const std::vector<Bank> &banks)
    : header_(header), digests_(banks), keep_(is_dtbauto(header) && header.VirtualSize <= DEVICETREE_KEPT_MAX) {}

void SectionDigester::add(const std::uint8_t *data, std::size_t size) {
    digests_.add(data, size);
    if (keep_)
        kept_.insert(kept_.end(), data, data + size);
}

MeasuredSection SectionDigester::finish(std::uint64_t zeros) {
    if (keep_)
        kept_.resize(kept_.size() + zeros, 0);
    return {header_, digests_.finish(zeros), keep_ ? devicetree_compatible(kept_) : ""};
}

std::vector<MeasuredSection> measure_sections_of(const InputFile &file, const std::vector<PeSection> &sections,
                                                 const std::vector<Bank> &banks, bool all) {
    std::vector<MeasuredSection> out;
    for (const PeSection &s : sections) {
        PeSectionHeader header = to_section_header(s);
        if (!all && !is_measured_section(s.name)) {
            out.push_back({header, {}, ""});
            continue;
        }
        SectionDigester digester(header, banks);
        read_section(file, s, [&](const std::uint8_t *data, std::size_t n) { digester.add(data, n); });
        out.push_back(digester.finish());
    }
    return out;
}

} // namespace korvane
