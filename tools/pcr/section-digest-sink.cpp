#include "section-digest-sink.h"

#include <algorithm>
#include <cstring>

namespace korvane {

SectionDigestSink::SectionDigestSink(const std::vector<PeSectionHeader> &table, const std::vector<Bank> &banks) {
    for (std::size_t i = 0; i < table.size(); i++) {
        const PeSectionHeader &h = table[i];
        sections_.push_back({h, {}, ""});
        std::string name(h.Name, strnlen(h.Name, sizeof h.Name));
        if (is_measured_section(name))
            ranges_.push_back({i, h.PointerToRawData,
                               std::uint64_t{h.PointerToRawData} + std::min(h.SizeOfRawData, h.VirtualSize),
                               SectionDigester(h, banks)});
    }
    std::sort(ranges_.begin(), ranges_.end(), [](const Range &a, const Range &b) { return a.from < b.from; });
}

void SectionDigestSink::add(std::uint64_t offset, const std::uint8_t *data, std::size_t size) {
    std::uint64_t end = offset + size;
    for (Range &r : ranges_) {
        if (r.from >= end)
            break;
        std::uint64_t from = std::max(r.from, offset), to = std::min(r.to, end);
        if (from < to)
            r.digester.add(data + (from - offset), static_cast<std::size_t>(to - from));
    }
}

std::vector<MeasuredSection> SectionDigestSink::finish() {
    for (Range &r : ranges_) {
        const PeSectionHeader &h = sections_[r.index].header;
        sections_[r.index] = r.digester.finish(h.VirtualSize - (r.to - r.from));
    }
    ranges_.clear();
    return sections_;
}

} // namespace korvane
