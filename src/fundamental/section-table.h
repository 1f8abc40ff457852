// The sections of a unified kernel image as the stub selects and measures them: the section
// vocabulary, the split of a section table into the base and profiles, the first-of-a-kind
// lookup, and the PCR 11 measurements of a selection. Pure functions of the section table,
// compiled by the stub and by the host tools, so that a predicted PCR value follows the
// stub's own rules.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korvane {

enum ImageSection {
    SECTION_LINUX,
    SECTION_OSREL,
    SECTION_CMDLINE,
    SECTION_INITRD,
    SECTION_UCODE,
    SECTION_SPLASH,
    SECTION_DTB,
    SECTION_UNAME,
    SECTION_SBAT,
    SECTION_PCRSIG,
    SECTION_PCRPKEY,
    SECTION_PROFILE,
    SECTION_DTBAUTO,
    SECTION_HWIDS,
    IMAGE_SECTION_COUNT,
};

// Indexed by ImageSection, ended by a null entry.
extern const char *const image_section_names[IMAGE_SECTION_COUNT + 1];

// Where one located section lies; all zero when none was found. Present when mem_size != 0.
struct PeSectionSpan {
    uint64_t mem_size;
    uint64_t mem_offset;
    uint64_t raw_size;
    uint64_t raw_offset;
};

// A PE/COFF section header as it lies in an image.
struct [[gnu::packed]] PeSectionHeader {
    char Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};
static_assert(sizeof(PeSectionHeader) == 40);

// Names are equal up to their first NUL; an 8-byte header name needs none.
bool pe_section_name_equal(const char header_name[8], const char *name);

// The profile number that stands for the base group alone.
constexpr uint32_t PROFILE_BASE = UINT32_MAX;

// The number of headers in the group that begins at `start`: the base when profile is
// PROFILE_BASE (start is the first header), else the profile whose ".profile" header is start.
size_t pe_section_table_find_profile_length(const PeSectionHeader *section_table, size_t n_section_table,
                                            const PeSectionHeader *start, uint32_t profile);

// The headers of the base (PROFILE_BASE) or of profile k; false when the table has no such
// group. A null table must have no headers (assertion), as for every function here.
bool pe_profile_range(const PeSectionHeader *section_table, size_t n_section_table, uint32_t profile,
                      const PeSectionHeader **ret_start, size_t *ret_n);

// Whether the ".dtbauto" header at `index` of the searched table holds this machine's blob.
using DtbautoFilter = bool (*)(const PeSectionHeader *header, size_t index, void *context);

// For each name, records the first header of that name into out[name index]; for ".dtbauto",
// the first header that `accept` takes (none when accept is null). Slots of names that are
// not found keep what they held, so a profile's lookup lays its kinds over the base's.
void pe_locate_sections_with(const PeSectionHeader *section_table, size_t n_section_table,
                             const char *const names[], DtbautoFilter accept, void *context, PeSectionSpan *out);

// One extend of PCR 11: `size` bytes of `data` (a section's name with its NUL), or, when data
// is null, of the section's contents at image base + `offset`.
struct SectionMeasurement {
    const char *description; // the section's name
    const void *data;
    uint64_t offset;
    uint64_t size;
};

constexpr size_t SECTION_MEASUREMENTS_MAX = 2 * IMAGE_SECTION_COUNT;

// The measurements of a selection, in order: every present kind but ".pcrsig", in index order,
// each its name and then its contents. Returns how many were written to out.
size_t pe_section_measurements(const PeSectionSpan sections[IMAGE_SECTION_COUNT],
                               SectionMeasurement out[SECTION_MEASUREMENTS_MAX]);

} // namespace korvane
