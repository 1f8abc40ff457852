// The digests of the sections the stub measures, computed from the output's bytes while the
// image is written.
#pragma once

#include "image-sections.h"
#include "image-stream.h"

#include <vector>

namespace korvane {

class SectionDigestSink : public StreamSink {
public:
    // table: the output's section table; the sections the stub may measure are followed.
    SectionDigestSink(const std::vector<PeSectionHeader> &table, const std::vector<Bank> &banks);

    void add(std::uint64_t offset, const std::uint8_t *data, std::size_t size) override;

    // Once every measured section was written: the table with their digests.
    std::vector<MeasuredSection> finish();

private:
    struct Range {
        std::size_t index;
        std::uint64_t from, to; // file offsets of its raw data
        SectionDigester digester;
    };

    std::vector<MeasuredSection> sections_;
    std::vector<Range> ranges_; // by file offset
};

} // namespace korvane
