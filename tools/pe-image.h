// Reading the headers of a PE32+ x86-64 image. Only the header region is held in memory;
// section data stays in the file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class InputFile;

struct PeSection {
    std::string name; // the header's 8 bytes up to the first NUL
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t size_of_raw_data = 0;
    std::uint32_t pointer_to_raw_data = 0;
};

struct PeHeaders {
    std::vector<std::uint8_t> bytes; // the file's first data_start bytes
    std::size_t optional_header = 0; // file offset of the optional header
    std::size_t section_table = 0;   // file offset of the first section header
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::vector<PeSection> sections;
    std::uint64_t file_size = 0;
    std::uint64_t data_start = 0; // end of the header region: the first section data
    std::uint64_t data_end = 0;   // end of what a copy keeps (a signature is not kept)
    bool has_certificate_table = false;
    std::uint64_t debug_directory = 0; // file offset, 0 for none
    std::uint32_t debug_entries = 0;
};

// Parses the header region in head (the file's first bytes). Returns the number of bytes
// the headers need when head is too short, 0 when out was filled. Throws ToolError
// (with what) for anything that is not a PE32+ x86-64 image this tool can extend.
std::size_t parse_pe_headers(std::span<const std::uint8_t> head, std::uint64_t file_size, const std::string &what,
                             PeHeaders &out);

// Reads and parses the headers of file.
PeHeaders load_pe_headers(const InputFile &file);

// The index of the first section of this name.
std::optional<std::size_t> find_section(const PeHeaders &headers, std::string_view name);

// Changes the header region in place: the name of section index (1 to 8 bytes), the COFF
// header's TimeDateStamp.
void rename_section(PeHeaders &headers, std::size_t index, std::string_view name);
void set_time_stamp(PeHeaders &headers, std::uint32_t seconds);

// The PointerToRawData field of each of the stub's debug directory entries.
std::vector<std::uint32_t> read_debug_pointers(const InputFile &file, const PeHeaders &headers);

} // namespace korvane
