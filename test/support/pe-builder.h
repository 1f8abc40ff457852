// Builds small PE32+ images for tests. Sections are laid out page by page with each
// section's file offset equal to its virtual address, so one buffer serves both as the
// file and as the image mapped in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct PeSectionSpec {
    std::string name; // up to 8 bytes; exactly 8 leaves no terminator
    std::vector<uint8_t> data;
    std::optional<uint32_t> virtual_size; // default: data size
    std::optional<uint32_t> raw_size;     // default: data size
};

struct PeImageSpec {
    uint32_t e_lfanew = 0x80;
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20b;
    uint16_t major_image_version = 1;
    uint32_t entry_point = 0;
    std::optional<uint16_t> number_of_sections; // default: the number of sections given
    std::vector<PeSectionSpec> sections;
};

constexpr uint32_t PE_BUILDER_PAGE = 0x1000;

std::vector<uint8_t> build_pe(const PeImageSpec &spec);

std::vector<uint8_t> bytes_of(const std::string &s);

} // namespace testsupport
