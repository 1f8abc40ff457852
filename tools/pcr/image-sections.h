// The sections of a PE image file as the firmware's loader maps them: read for their
// digests, texts and devicetree names.
#pragma once

#include "file-io.h"
#include "pcr-prediction.h"
#include "pe-image.h"

#include <string>
#include <vector>

namespace korvane {

PeSectionHeader to_section_header(const PeSection &s);

// Shows the section's VirtualSize bytes to sink: its raw data, then zeros.
void read_section(const InputFile &file, const PeSection &s, const ChunkSink &sink);

// Every section of the table with the digests the stub's measurement needs (for the
// sections it may measure; all sections when all is true), and the compatible of each
// ".dtbauto". sections[i] lies in file.
std::vector<MeasuredSection> measure_sections_of(const InputFile &file, const std::vector<PeSection> &sections,
                                                 const std::vector<Bank> &banks, bool all = false);

// Digests of a section's bytes, fed by chunks, with a ".dtbauto" blob kept for its name.
class SectionDigester {
public:
    SectionDigester(const PeSectionHeader &header, const std::vector<Bank> &banks);
    void add(const std::uint8_t *data, std::size_t size);
    MeasuredSection finish(std::uint64_t zeros = 0);

private:
    PeSectionHeader header_;
    BankDigests digests_;
    bool keep_;
    Bytes kept_;
};

} // namespace korvane
