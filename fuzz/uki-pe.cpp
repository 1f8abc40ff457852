// The image tool's PE reader over a fuzzed stub, read as the tool reads a file: a first chunk,
// then as much more as the headers say they need. Every answer is an error or headers whose
// every offset lies inside the file; asking for more always asks for more than it has.
#include <algorithm>
#include <cstring>

#include "check.h"
#include "pe-image.h"
#include "tool-error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes say how much the first read takes; the rest is the file.
    size_t first = data[0] | data[1] << 8;
    std::span<const uint8_t> file(data + 2, size - 2);
    std::vector<uint8_t> head(file.begin(), file.begin() + std::min(first, file.size()));
    korvane::PeHeaders h;
    try {
        while (size_t n = korvane::parse_pe_headers(head, file.size(), "stub", h)) {
            FUZZ_CHECK(n > head.size() && n <= file.size());
            head.assign(file.begin(), file.begin() + n);
        }
    } catch (const korvane::ToolError &e) {
        FUZZ_CHECK(strncmp(e.what(), "stub: ", 6) == 0);
        return 0;
    }
    FUZZ_CHECK(h.bytes.size() == h.data_start && h.data_start <= h.file_size && h.file_size == file.size());
    FUZZ_CHECK(memcmp(h.bytes.data(), file.data(), h.bytes.size()) == 0);
    FUZZ_CHECK(h.optional_header < h.section_table && h.section_table + h.sections.size() * 40 <= h.data_start);
    FUZZ_CHECK(!h.sections.empty());
    for (const korvane::PeSection &s : h.sections)
        FUZZ_CHECK(s.size_of_raw_data == 0 || uint64_t(s.pointer_to_raw_data) + s.size_of_raw_data <= h.file_size);
    FUZZ_CHECK(h.data_start <= h.data_end && h.data_end <= h.file_size);
    FUZZ_CHECK(h.has_certificate_table || h.data_end == h.file_size);
    if (h.debug_directory != 0)
        FUZZ_CHECK(h.debug_directory + uint64_t(h.debug_entries) * 28 <= h.file_size);
    return 0;
}
