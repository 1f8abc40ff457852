// The tests' own view of PE images, written apart from the tool: a reader for the fields
// the tool must keep right, the PE checksum word by word as the format defines it, a
// builder of small PE32+ images to use as stubs and kernels, and the stub's lookup of
// sections by profile.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace uki_test {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t le16(const Bytes &b, std::size_t at);
std::uint32_t le32(const Bytes &b, std::size_t at);
void put16(Bytes &b, std::size_t at, std::uint16_t v);
void put32(Bytes &b, std::size_t at, std::uint32_t v);
std::uint64_t align(std::uint64_t v, std::uint64_t a);

struct Section {
    std::string name; // up to the first NUL of the 8 bytes
    std::uint32_t virtual_size, virtual_address, raw_size, raw_pointer;
    std::uint32_t relocations_pointer, linenumbers_pointer, characteristics;
    std::size_t header_offset;
};

struct Image {
    Bytes bytes;
    std::size_t pe, optional, table;
    std::uint16_t number_of_sections, optional_size;
    std::uint32_t symbol_table;
    std::uint32_t size_of_initialized_data, section_alignment, file_alignment, size_of_image, size_of_headers, checksum;
    std::uint32_t security_offset, security_size, debug_rva, debug_size;
    std::vector<Section> sections;

    const Section *find(const std::string &name) const; // the first one
    Bytes data(const Section &s) const;                 // VirtualSize bytes at PointerToRawData
};

Image read_image(const Bytes &bytes); // fails the current test (ADD_FAILURE) on a malformed image

// Sum of 16-bit words with the carry added back after every word, CheckSum read as 0,
// then the file length added.
std::uint32_t pe_checksum(const Bytes &file, std::size_t checksum_offset);

struct StubSpec {
    std::vector<std::pair<std::string, Bytes>> sections{{".text", Bytes(700, 0xC3)}, {".data", Bytes(100, 0x5A)}};
    std::uint32_t file_alignment = 0x200;
    std::uint32_t section_alignment = 0x1000;
    std::uint32_t pe_offset = 0x80;
    std::size_t header_slots = 16; // section headers that fit before the first section's data
    std::uint16_t machine = 0x8664;
    std::uint16_t magic = 0x20B;
    bool symbol_table = false;    // a COFF symbol table after the section data
    bool debug_directory = false; // a debug directory in the first section
    Bytes trailer;                // bytes after everything else
};

// Offsets the builder used, for tests that look after data that moves.
struct StubInfo {
    std::uint32_t symbol_table = 0;
    std::uint32_t debug_entry = 0; // file offset of the debug directory entry
    std::uint32_t debug_data = 0;  // file offset of the data it points at
    std::size_t debug_data_size = 0;
};

Bytes build_pe(const StubSpec &spec, StubInfo *info = nullptr);

// A small PE32+ x86-64 image with one section of payload, usable as a kernel.
Bytes build_kernel(std::size_t payload_size, std::uint8_t seed);

// The sections the stub would use for a profile (nullopt: the base alone), by name:
// the first of each name in the base, replaced by the first of that name in the profile.
std::map<std::string, const Section *> stub_view(const Image &image, std::optional<unsigned> profile);

} // namespace uki_test
