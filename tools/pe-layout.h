// Planning a copy of a PE image with sections appended: where every section goes in the
// file and in memory, the output's header region, and the stub data that moves when the
// section table needs more room than the headers have.
#pragma once

#include "image-stream.h"
#include "pe-image.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane {

struct AppendedSection {
    std::string name; // 1 to 8 bytes
    std::uint64_t size;
    // Its data goes after all other sections' in the file (its header stays in table
    // order), so that it can be made from what the others hold while they are written.
    bool data_last = false;
};

struct PeLayout {
    std::vector<std::uint8_t> headers; // the output's header region, CheckSum zero
    std::uint64_t stub_data_from = 0;  // stub bytes [from, from + length) go to output offset to
    std::uint64_t stub_data_length = 0;
    std::uint64_t stub_data_to = 0;
    std::vector<PeSection> appended; // where each appended section goes, in table order
    std::vector<Fixup> fixups;       // pointers in the stub data that moved with it (output offsets)
    std::uint64_t file_size = 0;
    std::uint64_t checksum_offset = 0;
};

// Lays out stub followed by sections, in order. debug_pointers are the stub's debug
// directory entries' PointerToRawData values (read_debug_pointers). Throws ToolError
// (with what) when the image cannot hold them.
PeLayout plan_append(const PeHeaders &stub, std::span<const AppendedSection> sections,
                     std::span<const std::uint32_t> debug_pointers, const std::string &what);

} // namespace korvane
