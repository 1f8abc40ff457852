#include "section-table.h"

#include "assert-fundamental.h"
#include "string-util-fundamental.h"

namespace korvane {

const char *const image_section_names[IMAGE_SECTION_COUNT + 1] = {
    ".linux", ".osrel", ".cmdline", ".initrd", ".ucode", ".splash", ".dtb", ".uname",
    ".sbat", ".pcrsig", ".pcrpkey", ".profile", ".dtbauto", ".hwids", nullptr,
};

namespace {

void record_section(const PeSectionHeader *h, PeSectionSpan *out) {
    *out = {
        .mem_size = h->VirtualSize,
        .mem_offset = h->VirtualAddress,
        .raw_size = h->VirtualSize < h->SizeOfRawData ? h->VirtualSize : h->SizeOfRawData,
        .raw_offset = h->PointerToRawData,
    };
}

bool is_profile_header(const PeSectionHeader *h) {
    return pe_section_name_equal(h->Name, image_section_names[SECTION_PROFILE]);
}

const PeSectionHeader *find_profile_start(const PeSectionHeader *table, size_t n, uint32_t profile) {
    uint32_t seen = 0;
    for (size_t i = 0; i < n; i++) {
        if (!is_profile_header(&table[i]))
            continue;
        if (seen == profile)
            return &table[i];
        seen++;
    }
    return nullptr;
}

} // namespace

bool pe_section_name_equal(const char header_name[8], const char *name) {
    for (size_t i = 0; i < 8; i++) {
        if (header_name[i] != name[i])
            return false;
        if (header_name[i] == 0)
            return true;
    }
    return true;
}

size_t pe_section_table_find_profile_length(const PeSectionHeader *section_table, size_t n_section_table,
                                            const PeSectionHeader *start, uint32_t profile) {
    ASSERT(section_table);
    ASSERT(n_section_table > 0);
    ASSERT(start >= section_table && start < section_table + n_section_table);
    const PeSectionHeader *end = section_table + n_section_table;
    const PeSectionHeader *i = start;
    if (profile != PROFILE_BASE) {
        ASSERT(is_profile_header(start));
        i++;
    }
    while (i < end && !is_profile_header(i))
        i++;
    return static_cast<size_t>(i - start);
}

bool pe_profile_range(const PeSectionHeader *section_table, size_t n_section_table, uint32_t profile,
                      const PeSectionHeader **ret_start, size_t *ret_n) {
    ASSERT(section_table || n_section_table == 0);
    if (!section_table || (profile != PROFILE_BASE && n_section_table == 0))
        return false;
    const PeSectionHeader *start = section_table;
    if (profile != PROFILE_BASE) {
        start = find_profile_start(section_table, n_section_table, profile);
        if (!start)
            return false;
    }
    *ret_start = start;
    *ret_n = pe_section_table_find_profile_length(section_table, n_section_table, start, profile);
    return true;
}

void pe_locate_sections_with(const PeSectionHeader *section_table, size_t n_section_table,
                             const char *const names[], DtbautoFilter accept, void *context, PeSectionSpan *out) {
    ASSERT(section_table || n_section_table == 0);
    for (size_t k = 0; names[k]; k++) {
        // Of several ".dtbauto" blobs the machine takes one; without a filter, none.
        bool dtbauto = pe_section_name_equal(names[k], image_section_names[SECTION_DTBAUTO]);
        if (dtbauto && !accept)
            continue;
        for (size_t i = 0; i < n_section_table; i++)
            if (pe_section_name_equal(section_table[i].Name, names[k]) &&
                (!dtbauto || accept(&section_table[i], i, context))) {
                record_section(&section_table[i], &out[k]);
                break;
            }
    }
}

size_t pe_section_measurements(const PeSectionSpan sections[IMAGE_SECTION_COUNT],
                               SectionMeasurement out[SECTION_MEASUREMENTS_MAX]) {
    size_t n = 0;
    for (size_t i = 0; i < IMAGE_SECTION_COUNT; i++) {
        // The PCR signature is computed over these measurements, so it cannot be one of them.
        if (i == SECTION_PCRSIG || sections[i].mem_size == 0)
            continue;
        const char *name = image_section_names[i];
        out[n++] = {name, name, 0, str8_len(name) + 1};
        out[n++] = {name, nullptr, sections[i].mem_offset, sections[i].mem_size};
    }
    return n;
}

} // namespace korvane
