#include "pe-image.h"

#include "file-io.h"
#include "pe-format.h"
#include "tool-error.h"

#include <algorithm>
#include <cassert>

namespace korvane {

namespace {

using namespace pe;

// Real images keep their headers within a few KiB; more than this is no image we know.
constexpr std::size_t MAX_HEADER_REGION = 1 << 20;

bool is_power_of_two(std::uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

PeSection read_section_header(const std::uint8_t *p) {
    PeSection s;
    std::size_t len = 0;
    while (len < SECTION_NAME_SIZE && p[len] != 0)
        len++;
    s.name.assign(reinterpret_cast<const char *>(p), len);
    s.virtual_size = load_le32(p + SECTION_VIRTUAL_SIZE);
    s.virtual_address = load_le32(p + SECTION_VIRTUAL_ADDRESS);
    s.size_of_raw_data = load_le32(p + SECTION_SIZE_OF_RAW_DATA);
    s.pointer_to_raw_data = load_le32(p + SECTION_POINTER_TO_RAW_DATA);
    return s;
}

struct DataDirectory {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

DataDirectory data_directory(const std::uint8_t *optional, std::size_t index) {
    if (load_le32(optional + OPT_NUMBER_OF_RVA_AND_SIZES) <= index)
        return {};
    const std::uint8_t *d = optional + OPT_DATA_DIRECTORIES + index * DATA_DIRECTORY_SIZE;
    return {load_le32(d), load_le32(d + 4)};
}

// The certificate table is kept out of the copy; that works only when nothing follows it.
void locate_certificate_table(const std::uint8_t *optional, PeHeaders &h, const std::string &what) {
    DataDirectory cert = data_directory(optional, DIRECTORY_SECURITY);
    h.data_end = h.file_size;
    if (cert.address == 0 && cert.size == 0)
        return;
    std::uint64_t sections_end = h.data_start;
    for (const PeSection &s : h.sections)
        sections_end = std::max<std::uint64_t>(sections_end, std::uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data);
    std::uint64_t end = std::uint64_t{cert.address} + cert.size;
    // Up to 7 bytes of padding may follow the last certificate.
    if (cert.address < sections_end || end > h.file_size || h.file_size - end >= 8)
        throw ToolError(what, "its certificate table is not at the end of the file; cannot remove the signature");
    h.has_certificate_table = true;
    h.data_end = cert.address;
}

void locate_debug_directory(const std::uint8_t *optional, PeHeaders &h, const std::string &what) {
    DataDirectory debug = data_directory(optional, DIRECTORY_DEBUG);
    if (debug.address == 0 || debug.size == 0)
        return;
    h.debug_entries = debug.size / DEBUG_ENTRY_SIZE;
    if (debug.address + std::uint64_t{debug.size} <= h.data_start) {
        h.debug_directory = debug.address; // headers are mapped at their file offsets
        return;
    }
    for (const PeSection &s : h.sections) {
        if (debug.address >= s.virtual_address &&
            std::uint64_t{debug.address} - s.virtual_address + debug.size <= s.size_of_raw_data) {
            h.debug_directory = s.pointer_to_raw_data + std::uint64_t{debug.address - s.virtual_address};
            return;
        }
    }
    throw ToolError(what, "its debug directory (RVA " + hex_text(debug.address) + ") is not in the file's data");
}

void read_sections(const std::uint8_t *table, std::size_t count, PeHeaders &h, const std::string &what) {
    for (std::size_t i = 0; i < count; i++) {
        PeSection s = read_section_header(table + i * SECTION_HEADER_SIZE);
        if (s.size_of_raw_data != 0 && std::uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data > h.file_size)
            throw ToolError(what,
                            "section " + std::to_string(i) + " (" + s.name + ") extends beyond the end of the file");
        h.sections.push_back(std::move(s));
    }
}

std::uint64_t first_section_data(const PeHeaders &h, std::uint64_t headers_end) {
    std::uint64_t start = h.file_size;
    bool any = false;
    for (const PeSection &s : h.sections) {
        if (s.size_of_raw_data != 0) {
            start = std::min<std::uint64_t>(start, s.pointer_to_raw_data);
            any = true;
        }
    }
    return any ? start : std::min(h.file_size, headers_end);
}

} // namespace

std::size_t parse_pe_headers(std::span<const std::uint8_t> head, std::uint64_t file_size, const std::string &what,
                             PeHeaders &out) {
    auto need = [&](std::uint64_t n) {
        if (n > file_size)
            throw ToolError(what, "not a PE image: its headers are cut short");
        if (n > MAX_HEADER_REGION)
            throw ToolError(what, "its headers are larger than 1 MiB");
        return n > head.size();
    };
    if (need(DOS_HEADER_SIZE))
        return DOS_HEADER_SIZE;
    const std::uint8_t *b = head.data();
    if (load_le16(b) != DOS_MAGIC)
        throw ToolError(what, "not a PE image: no MZ signature");
    std::uint32_t pe_offset = load_le32(b + DOS_LFANEW);
    if (pe_offset < DOS_HEADER_SIZE)
        throw ToolError(what,
                        "not a PE image: PE header offset " + std::to_string(pe_offset) + " is inside the DOS header");
    std::uint64_t optional = std::uint64_t{pe_offset} + OPTIONAL_HEADER;
    if (need(optional + 2))
        return optional + 2;
    if (load_le32(b + pe_offset) != PE_SIGNATURE)
        throw ToolError(what, "not a PE image: no PE signature");
    std::uint16_t machine = load_le16(b + pe_offset + COFF_MACHINE);
    if (machine != MACHINE_X86_64)
        throw ToolError(what, "not an x86-64 image (machine " + hex_text(machine) + ")");
    std::uint16_t magic = load_le16(b + optional + OPT_MAGIC);
    if (magic != MAGIC_PE32_PLUS)
        throw ToolError(what, "not a PE32+ image (optional header magic " + hex_text(magic) + ")");
    std::uint16_t optional_size = load_le16(b + pe_offset + COFF_SIZE_OF_OPTIONAL_HEADER);
    std::uint16_t count = load_le16(b + pe_offset + COFF_NUMBER_OF_SECTIONS);
    std::uint64_t table = optional + optional_size;
    std::uint64_t table_end = table + std::uint64_t{count} * SECTION_HEADER_SIZE;
    if (need(table_end))
        return table_end;
    if (optional_size < OPT_DATA_DIRECTORIES ||
        OPT_DATA_DIRECTORIES + std::min<std::uint64_t>(load_le32(b + optional + OPT_NUMBER_OF_RVA_AND_SIZES), 16) *
                                   DATA_DIRECTORY_SIZE >
            optional_size)
        throw ToolError(what, "its optional header is too short for its data directories");
    if (count == 0)
        throw ToolError(what, "the image has no sections");

    PeHeaders h;
    h.file_size = file_size;
    h.optional_header = optional;
    h.section_table = table;
    h.section_alignment = load_le32(b + optional + OPT_SECTION_ALIGNMENT);
    h.file_alignment = load_le32(b + optional + OPT_FILE_ALIGNMENT);
    if (!is_power_of_two(h.file_alignment) || !is_power_of_two(h.section_alignment) ||
        h.file_alignment > h.section_alignment)
        throw ToolError(what, "bad alignment (FileAlignment " + hex_text(h.file_alignment) + ", SectionAlignment " +
                                  hex_text(h.section_alignment) + ")");
    read_sections(b + table, count, h, what);
    h.data_start =
        first_section_data(h, std::max<std::uint64_t>(table_end, load_le32(b + optional + OPT_SIZE_OF_HEADERS)));
    if (h.data_start < table_end)
        throw ToolError(what, "section data overlaps the section table");
    std::uint32_t symbols = load_le32(b + pe_offset + COFF_POINTER_TO_SYMBOL_TABLE);
    if (symbols != 0 && symbols < h.data_start)
        throw ToolError(what, "its symbol table lies inside the headers");
    if (need(h.data_start))
        return h.data_start;
    h.bytes.assign(b, b + h.data_start);
    locate_certificate_table(b + optional, h, what);
    locate_debug_directory(b + optional, h, what);
    out = std::move(h);
    return 0;
}

PeHeaders load_pe_headers(const InputFile &file) {
    std::vector<std::uint8_t> head(std::min<std::uint64_t>(file.size(), 4096));
    file.read_at(head.data(), head.size(), 0);
    PeHeaders headers;
    while (std::size_t n = parse_pe_headers(head, file.size(), file.path(), headers)) {
        std::size_t have = head.size();
        head.resize(n);
        file.read_at(head.data() + have, n - have, have);
    }
    return headers;
}

std::optional<std::size_t> find_section(const PeHeaders &headers, std::string_view name) {
    for (std::size_t i = 0; i < headers.sections.size(); i++)
        if (headers.sections[i].name == name)
            return i;
    return std::nullopt;
}

void rename_section(PeHeaders &headers, std::size_t index, std::string_view name) {
    assert(index < headers.sections.size() && !name.empty() && name.size() <= SECTION_NAME_SIZE);
    std::uint8_t *field = headers.bytes.data() + headers.section_table + index * SECTION_HEADER_SIZE;
    std::fill(field, field + SECTION_NAME_SIZE, 0);
    std::copy(name.begin(), name.end(), field);
    headers.sections[index].name = name;
}

void set_time_stamp(PeHeaders &headers, std::uint32_t seconds) {
    store_le32(headers.bytes.data() + headers.optional_header - OPTIONAL_HEADER + COFF_TIME_DATE_STAMP, seconds);
}

std::vector<std::uint32_t> read_debug_pointers(const InputFile &file, const PeHeaders &headers) {
    std::vector<std::uint8_t> raw(std::size_t{headers.debug_entries} * DEBUG_ENTRY_SIZE);
    if (headers.debug_directory == 0 || raw.empty())
        return {};
    file.read_at(raw.data(), raw.size(), headers.debug_directory);
    std::vector<std::uint32_t> pointers;
    for (std::size_t i = 0; i < headers.debug_entries; i++)
        pointers.push_back(load_le32(raw.data() + i * DEBUG_ENTRY_SIZE + DEBUG_POINTER_TO_RAW_DATA));
    return pointers;
}

} // namespace korvane
