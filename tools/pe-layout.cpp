#include "pe-layout.h"

#include "pe-format.h"
#include "tool-error.h"

#include <algorithm>
#include <limits>

namespace korvane {

namespace {

using namespace pe;

constexpr std::uint64_t MAX_FILE_OFFSET = std::numeric_limits<std::uint32_t>::max();

void write_section_header(std::uint8_t *p, const PeSection &s) {
    std::fill(p, p + SECTION_HEADER_SIZE, 0);
    std::copy(s.name.begin(), s.name.end(), p);
    store_le32(p + SECTION_VIRTUAL_SIZE, s.virtual_size);
    store_le32(p + SECTION_VIRTUAL_ADDRESS, s.virtual_address);
    store_le32(p + SECTION_SIZE_OF_RAW_DATA, s.size_of_raw_data);
    store_le32(p + SECTION_POINTER_TO_RAW_DATA, s.pointer_to_raw_data);
    store_le32(p + SECTION_CHARACTERISTICS, SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ);
}

// Where the sections after the stub's start in memory: past everything the stub maps.
std::uint64_t first_free_rva(const PeHeaders &stub) {
    const std::uint8_t *optional = stub.bytes.data() + stub.optional_header;
    std::uint64_t end = load_le32(optional + OPT_SIZE_OF_IMAGE);
    for (const PeSection &s : stub.sections)
        end = std::max<std::uint64_t>(end,
                                      std::uint64_t{s.virtual_address} + std::max(s.virtual_size, s.size_of_raw_data));
    return align_up(end, stub.section_alignment);
}

std::uint32_t lowest_section_rva(const PeHeaders &stub) {
    std::uint32_t lowest = std::numeric_limits<std::uint32_t>::max();
    for (const PeSection &s : stub.sections)
        lowest = std::min(lowest, s.virtual_address);
    return lowest;
}

// The new section headers go where the stub's header padding was; it must be unused.
void check_header_padding(const PeHeaders &stub, std::uint64_t table_end, const std::string &what) {
    std::uint64_t old_end = stub.section_table + stub.sections.size() * SECTION_HEADER_SIZE;
    std::uint64_t end = std::min<std::uint64_t>(table_end, stub.data_start);
    for (std::uint64_t i = old_end; i < end; i++)
        if (stub.bytes[i] != 0)
            throw ToolError(what, "the stub keeps data after its section table (at offset " + hex_text(i) + ")");
}

// Moves one file offset that points into the stub's data by delta.
std::uint32_t moved(std::uint32_t offset, const PeHeaders &stub, std::uint64_t delta) {
    return offset != 0 && offset >= stub.data_start ? static_cast<std::uint32_t>(offset + delta) : offset;
}

void move_stub_pointers(const PeHeaders &stub, std::uint64_t delta, std::vector<std::uint8_t> &headers) {
    std::uint8_t *pe_header = headers.data() + stub.optional_header - OPTIONAL_HEADER;
    std::uint8_t *symbols = pe_header + COFF_POINTER_TO_SYMBOL_TABLE;
    store_le32(symbols, moved(load_le32(symbols), stub, delta));
    for (std::size_t i = 0; i < stub.sections.size(); i++) {
        std::uint8_t *s = headers.data() + stub.section_table + i * SECTION_HEADER_SIZE;
        for (std::size_t field :
             {SECTION_POINTER_TO_RAW_DATA, SECTION_POINTER_TO_RELOCATIONS, SECTION_POINTER_TO_LINENUMBERS})
            store_le32(s + field, moved(load_le32(s + field), stub, delta));
    }
}

void move_debug_pointers(const PeHeaders &stub, std::span<const std::uint32_t> pointers, std::uint64_t delta,
                         PeLayout &layout) {
    for (std::size_t i = 0; i < pointers.size(); i++) {
        std::uint32_t value = moved(pointers[i], stub, delta);
        std::uint64_t field = stub.debug_directory + i * DEBUG_ENTRY_SIZE + DEBUG_POINTER_TO_RAW_DATA;
        if (field < stub.data_start)
            store_le32(layout.headers.data() + field, value);
        else if (value != pointers[i])
            layout.fixups.push_back({field + delta, value});
    }
}

void place_sections(const PeHeaders &stub, std::span<const AppendedSection> sections, std::uint64_t raw,
                    PeLayout &layout, const std::string &what) {
    auto too_large = [&] { return ToolError(what, "the image would be larger than 4 GiB"); };
    std::uint64_t rva = first_free_rva(stub);
    for (const AppendedSection &a : sections) {
        if (rva + a.size > MAX_FILE_OFFSET)
            throw too_large();
        PeSection s;
        s.name = a.name;
        s.virtual_size = static_cast<std::uint32_t>(a.size);
        s.virtual_address = static_cast<std::uint32_t>(rva);
        layout.appended.push_back(s);
        rva = align_up(rva + a.size, stub.section_alignment);
    }
    if (rva > MAX_FILE_OFFSET)
        throw too_large();
    raw = align_up(raw, stub.file_alignment);
    for (bool last : {false, true}) {
        for (std::size_t i = 0; i < sections.size(); i++) {
            if (sections[i].data_last != last)
                continue;
            std::uint64_t raw_size = align_up(sections[i].size, stub.file_alignment);
            if (raw + raw_size > MAX_FILE_OFFSET)
                throw too_large();
            layout.appended[i].size_of_raw_data = static_cast<std::uint32_t>(raw_size);
            layout.appended[i].pointer_to_raw_data = static_cast<std::uint32_t>(raw);
            raw += raw_size;
        }
    }
    layout.file_size = raw;
    store_le32(layout.headers.data() + stub.optional_header + OPT_SIZE_OF_IMAGE, static_cast<std::uint32_t>(rva));
}

void update_header_fields(const PeHeaders &stub, std::size_t total, std::uint64_t size_of_headers, PeLayout &layout) {
    std::uint8_t *h = layout.headers.data();
    std::uint8_t *optional = h + stub.optional_header;
    store_le16(optional - OPTIONAL_HEADER + COFF_NUMBER_OF_SECTIONS, static_cast<std::uint16_t>(total));
    store_le32(optional + OPT_SIZE_OF_HEADERS, static_cast<std::uint32_t>(size_of_headers));
    store_le32(optional + OPT_CHECKSUM, 0);
    std::uint64_t data = load_le32(optional + OPT_SIZE_OF_INITIALIZED_DATA);
    for (const PeSection &s : layout.appended)
        data += s.size_of_raw_data;
    store_le32(optional + OPT_SIZE_OF_INITIALIZED_DATA,
               static_cast<std::uint32_t>(std::min<std::uint64_t>(data, MAX_FILE_OFFSET)));
    if (stub.has_certificate_table) {
        std::uint8_t *cert = optional + OPT_DATA_DIRECTORIES + DIRECTORY_SECURITY * DATA_DIRECTORY_SIZE;
        std::fill(cert, cert + DATA_DIRECTORY_SIZE, 0);
    }
    for (std::size_t i = 0; i < layout.appended.size(); i++)
        write_section_header(h + stub.section_table + (stub.sections.size() + i) * SECTION_HEADER_SIZE,
                             layout.appended[i]);
    layout.checksum_offset = stub.optional_header + OPT_CHECKSUM;
}

} // namespace

PeLayout plan_append(const PeHeaders &stub, std::span<const AppendedSection> sections,
                     std::span<const std::uint32_t> debug_pointers, const std::string &what) {
    std::size_t total = stub.sections.size() + sections.size();
    if (total > MAX_SECTIONS)
        throw ToolError(what, std::to_string(total) + " sections, but an image holds at most " +
                                  std::to_string(MAX_SECTIONS));
    std::uint64_t table_end = stub.section_table + total * SECTION_HEADER_SIZE;
    check_header_padding(stub, table_end, what);
    const std::uint8_t *optional = stub.bytes.data() + stub.optional_header;
    std::uint64_t size_of_headers =
        std::max<std::uint64_t>(load_le32(optional + OPT_SIZE_OF_HEADERS), align_up(table_end, stub.file_alignment));
    // The headers are mapped below the first section; that address cannot move.
    if (size_of_headers > lowest_section_rva(stub))
        throw ToolError(what, "no room for " + std::to_string(sections.size()) +
                                  " more section headers below the stub's first section (RVA " +
                                  hex_text(lowest_section_rva(stub)) + ")");
    // Without room after the section table, all section data moves back by whole file-alignment units.
    std::uint64_t delta =
        size_of_headers > stub.data_start ? align_up(size_of_headers - stub.data_start, stub.file_alignment) : 0;

    PeLayout layout;
    layout.headers = stub.bytes;
    layout.headers.resize(stub.data_start + delta, 0);
    if (delta != 0)
        move_stub_pointers(stub, delta, layout.headers);
    move_debug_pointers(stub, debug_pointers, delta, layout);
    layout.stub_data_from = stub.data_start;
    layout.stub_data_length = stub.data_end - stub.data_start;
    layout.stub_data_to = stub.data_start + delta;
    place_sections(stub, sections, stub.data_end + delta, layout, what);
    update_header_fields(stub, total, size_of_headers, layout);
    return layout;
}

} // namespace korvane
