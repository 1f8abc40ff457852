#include "pe-test-image.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace uki_test {

std::uint16_t le16(const Bytes &b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}

std::uint32_t le32(const Bytes &b, std::size_t at) {
    return le16(b, at) | static_cast<std::uint32_t>(le16(b, at + 2)) << 16;
}

void put16(Bytes &b, std::size_t at, std::uint16_t v) {
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes &b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v));
    put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

std::uint64_t align(std::uint64_t v, std::uint64_t a) {
    return (v + a - 1) / a * a;
}

const Section *Image::find(const std::string &name) const {
    for (const Section &s : sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

Bytes Image::data(const Section &s) const {
    if (std::uint64_t{s.raw_pointer} + s.virtual_size > bytes.size()) {
        ADD_FAILURE() << "section " << s.name << " runs past the end of the file";
        return {};
    }
    return Bytes(bytes.begin() + s.raw_pointer, bytes.begin() + s.raw_pointer + s.virtual_size);
}

Image read_image(const Bytes &bytes) {
    Image im{};
    im.bytes = bytes;
    if (bytes.size() < 64 || le16(bytes, 0) != 0x5A4D) {
        ADD_FAILURE() << "no DOS header";
        return im;
    }
    im.pe = le32(bytes, 0x3C);
    EXPECT_EQ(le32(bytes, im.pe), 0x00004550u) << "PE signature";
    im.number_of_sections = le16(bytes, im.pe + 6);
    im.symbol_table = le32(bytes, im.pe + 12);
    im.optional_size = le16(bytes, im.pe + 20);
    im.optional = im.pe + 24;
    im.table = im.optional + im.optional_size;
    const std::size_t o = im.optional;
    EXPECT_EQ(le16(bytes, o), 0x20Bu) << "PE32+ magic";
    im.size_of_initialized_data = le32(bytes, o + 8);
    im.section_alignment = le32(bytes, o + 32);
    im.file_alignment = le32(bytes, o + 36);
    im.size_of_image = le32(bytes, o + 56);
    im.size_of_headers = le32(bytes, o + 60);
    im.checksum = le32(bytes, o + 64);
    std::uint32_t directories = le32(bytes, o + 108);
    if (directories > 4) {
        im.security_offset = le32(bytes, o + 112 + 4 * 8);
        im.security_size = le32(bytes, o + 112 + 4 * 8 + 4);
    }
    if (directories > 6) {
        im.debug_rva = le32(bytes, o + 112 + 6 * 8);
        im.debug_size = le32(bytes, o + 112 + 6 * 8 + 4);
    }
    for (std::size_t i = 0; i < im.number_of_sections; i++) {
        std::size_t h = im.table + 40 * i;
        Section s{};
        s.header_offset = h;
        for (std::size_t k = 0; k < 8 && bytes.at(h + k) != 0; k++)
            s.name.push_back(static_cast<char>(bytes[h + k]));
        s.virtual_size = le32(bytes, h + 8);
        s.virtual_address = le32(bytes, h + 12);
        s.raw_size = le32(bytes, h + 16);
        s.raw_pointer = le32(bytes, h + 20);
        s.relocations_pointer = le32(bytes, h + 24);
        s.linenumbers_pointer = le32(bytes, h + 28);
        s.characteristics = le32(bytes, h + 36);
        im.sections.push_back(s);
    }
    return im;
}

std::uint32_t pe_checksum(const Bytes &file, std::size_t checksum_offset) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        std::uint32_t word = file[i];
        if (i + 1 < file.size())
            word |= static_cast<std::uint32_t>(file[i + 1]) << 8;
        if (i >= checksum_offset && i < checksum_offset + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<std::uint32_t>(file.size());
}

namespace {

constexpr std::size_t OPTIONAL_SIZE = 240; // PE32+ with 16 data directories
constexpr std::size_t DEBUG_ENTRY = 28;

void write_headers(Bytes &b, const StubSpec &spec, std::size_t headers, std::uint32_t image_size) {
    put16(b, 0, 0x5A4D);
    put32(b, 0x3C, spec.pe_offset);
    const std::size_t pe = spec.pe_offset, o = pe + 24;
    put32(b, pe, 0x00004550);
    put16(b, pe + 4, spec.machine);
    put16(b, pe + 6, static_cast<std::uint16_t>(spec.sections.size()));
    put16(b, pe + 20, OPTIONAL_SIZE);
    put16(b, pe + 22, 0x0022);
    put16(b, o, spec.magic);
    put32(b, o + 16, 0x1000); // AddressOfEntryPoint
    put32(b, o + 24, 0x40000000);
    put32(b, o + 32, spec.section_alignment);
    put32(b, o + 36, spec.file_alignment);
    put32(b, o + 56, image_size);
    put32(b, o + 60, static_cast<std::uint32_t>(headers));
    put16(b, o + 68, 10); // EFI application
    put32(b, o + 108, 16);
}

} // namespace

Bytes build_pe(const StubSpec &spec, StubInfo *info) {
    const std::size_t table = spec.pe_offset + 24 + OPTIONAL_SIZE;
    const std::size_t headers = align(table + 40 * spec.header_slots, spec.file_alignment);
    std::vector<std::pair<std::string, Bytes>> sections = spec.sections;
    std::size_t debug_in_section = 0;
    if (spec.debug_directory) {
        // An entry followed by the CodeView-like record it points at.
        Bytes &first = sections.at(0).second;
        debug_in_section = first.size();
        first.resize(first.size() + DEBUG_ENTRY);
        const char record[] = "RSDS-test-debug-record";
        first.insert(first.end(), record, record + sizeof record);
    }
    Bytes b(headers, 0);
    std::uint32_t va = static_cast<std::uint32_t>(align(headers, spec.section_alignment));
    std::vector<std::uint32_t> vas, pointers;
    for (std::size_t i = 0; i < sections.size(); i++) {
        const auto &[name, data] = sections[i];
        std::size_t h = table + 40 * i;
        std::copy(name.begin(), name.end(), b.begin() + h);
        put32(b, h + 8, static_cast<std::uint32_t>(data.size()));
        put32(b, h + 12, va);
        put32(b, h + 16, static_cast<std::uint32_t>(align(data.size(), spec.file_alignment)));
        put32(b, h + 20, static_cast<std::uint32_t>(b.size()));
        put32(b, h + 36, 0x60000020);
        vas.push_back(va);
        pointers.push_back(static_cast<std::uint32_t>(b.size()));
        b.insert(b.end(), data.begin(), data.end());
        b.resize(align(b.size(), spec.file_alignment), 0);
        va = static_cast<std::uint32_t>(align(va + data.size(), spec.section_alignment));
    }
    write_headers(b, spec, headers, va);
    StubInfo local;
    if (spec.debug_directory) {
        std::size_t entry = pointers[0] + debug_in_section;
        put32(b, entry + 12, 2); // IMAGE_DEBUG_TYPE_CODEVIEW
        put32(b, entry + 16, 23);
        put32(b, entry + 20, static_cast<std::uint32_t>(vas[0] + debug_in_section + DEBUG_ENTRY));
        put32(b, entry + 24, static_cast<std::uint32_t>(entry + DEBUG_ENTRY));
        put32(b, spec.pe_offset + 24 + 112 + 6 * 8, static_cast<std::uint32_t>(vas[0] + debug_in_section));
        put32(b, spec.pe_offset + 24 + 112 + 6 * 8 + 4, DEBUG_ENTRY);
        local.debug_entry = static_cast<std::uint32_t>(entry);
        local.debug_data = static_cast<std::uint32_t>(entry + DEBUG_ENTRY);
        local.debug_data_size = 23;
    }
    if (spec.symbol_table) {
        local.symbol_table = static_cast<std::uint32_t>(b.size());
        put32(b, spec.pe_offset + 12, local.symbol_table);
        put32(b, spec.pe_offset + 16, 1);
        const char symbols[] = "SYMBOLS-AND-STRINGS!";
        b.insert(b.end(), symbols, symbols + sizeof symbols);
    }
    b.insert(b.end(), spec.trailer.begin(), spec.trailer.end());
    if (info)
        *info = local;
    return b;
}

Bytes build_kernel(std::size_t payload_size, std::uint8_t seed) {
    StubSpec spec;
    Bytes payload(payload_size);
    std::uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (std::uint8_t &byte : payload) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x);
    }
    spec.sections = {{".text", std::move(payload)}};
    return build_pe(spec);
}

std::map<std::string, const Section *> stub_view(const Image &image, std::optional<unsigned> profile) {
    std::map<std::string, const Section *> view;
    std::size_t i = 0;
    for (; i < image.sections.size() && image.sections[i].name != ".profile"; i++)
        view.try_emplace(image.sections[i].name, &image.sections[i]);
    if (!profile)
        return view;
    for (unsigned k = 0; i < image.sections.size(); i++) {
        if (image.sections[i].name == ".profile" && k++ == *profile)
            break;
    }
    if (i == image.sections.size()) {
        ADD_FAILURE() << "no profile " << *profile;
        return view;
    }
    std::map<std::string, const Section *> own;
    for (std::size_t j = i; j < image.sections.size() && (j == i || image.sections[j].name != ".profile"); j++)
        own.try_emplace(image.sections[j].name, &image.sections[j]);
    for (const auto &[name, section] : own)
        view[name] = section;
    return view;
}

} // namespace uki_test
