#include "pe.h"

#include "chid.h"
#include "log.h"
#include "util.h"

namespace korvane {

namespace {

template <typename T> const T *at(const void *base, size_t offset) {
    return reinterpret_cast<const T *>(static_cast<const uint8_t *>(base) + offset);
}

const PeOptionalHeaderStart *optional_header(const PeFileHeader *pe) { return at<PeOptionalHeaderStart>(pe, sizeof(*pe)); }

const PeSectionHeader *section_table_of(const PeFileHeader *pe) {
    return at<PeSectionHeader>(pe, sizeof(*pe) + pe->SizeOfOptionalHeader);
}

bool dos_header_usable(const DosHeader *dos) {
    return dos->e_magic[0] == 'M' && dos->e_magic[1] == 'Z' && dos->e_lfanew >= sizeof(DosHeader);
}

bool names_include(const char *const names[], const char *wanted) {
    for (size_t i = 0; names[i]; i++)
        if (pe_section_name_equal(names[i], wanted))
            return true;
    return false;
}

// The machine's choice among ".dtbauto" blobs: the firmware devicetree or the hardware IDs.
struct DtbautoChoice {
    uintptr_t validate_base;
    const HwidMatch *hwid;
};

bool use_dtbauto(const PeSectionHeader *h, size_t index, void *context) {
    auto *choice = static_cast<const DtbautoChoice *>(context);
    return pe_use_this_dtb(reinterpret_cast<const void *>(choice->validate_base + h->VirtualAddress), h->VirtualSize,
                           index, choice->hwid);
}

const char *section_bytes(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *section) {
    return at<char>(loaded_image->ImageBase, section->mem_offset);
}

// Whether [offset, offset + size) lies within a buffer of `total` bytes.
constexpr bool fits(uint64_t offset, uint64_t size, uint64_t total) { return offset <= total && size <= total - offset; }

// The firmware's loader maps every section inside the image, or refuses the image; we do not
// count on it: a table or a section reaching past the image means the headers are not usable.
bool sections_inside(const PeFileHeader *pe, const uint8_t *base, size_t size) {
    const PeSectionHeader *table = section_table_of(pe);
    uint64_t table_offset = reinterpret_cast<const uint8_t *>(table) - base;
    if (!fits(table_offset, uint64_t{pe->NumberOfSections} * sizeof(PeSectionHeader), size))
        return false;
    for (size_t i = 0; i < pe->NumberOfSections; i++)
        if (table[i].VirtualSize != 0 && !fits(table[i].VirtualAddress, table[i].VirtualSize, size))
            return false;
    return true;
}

// An entry of a kernel's ".compat" section.
struct [[gnu::packed]] CompatEntry {
    uint8_t type;
    uint8_t size;
    uint16_t machine;
    uint32_t entry_point;
};
static_assert(sizeof(CompatEntry) == 8);

constexpr uint8_t COMPAT_ENTRY_TYPE_ENTRY_POINT = 1;

} // namespace

void pe_locate_sections_internal(const PeSectionHeader *section_table, size_t n_section_table,
                                 const char *const names[], uintptr_t validate_base, const HwidMatch *hwid,
                                 PeSectionSpan *out) {
    DtbautoChoice choice = {validate_base, hwid};
    pe_locate_sections_with(section_table, n_section_table, names, validate_base ? use_dtbauto : nullptr, &choice, out);
}

void pe_locate_sections(const PeSectionHeader *section_table, size_t n_section_table, const char *const names[],
                        uintptr_t validate_base, PeSectionSpan *out) {
    if (!names_include(names, image_section_names[SECTION_DTBAUTO])) {
        pe_locate_sections_internal(section_table, n_section_table, names, validate_base, nullptr, out);
        return;
    }
    ASSERT(validate_base != 0);
    HwidMatch hwid = chid_identify(section_table, n_section_table, validate_base);
    pe_locate_sections_internal(section_table, n_section_table, names, validate_base, &hwid, out);
}

const PeSectionHeader *pe_section_table_from_base(const void *base, size_t size, size_t *ret_n) {
    ASSERT(base);
    auto *dos = static_cast<const DosHeader *>(base);
    if (size < sizeof(*dos) || !dos_header_usable(dos) ||
        !fits(dos->e_lfanew, sizeof(PeFileHeader) + sizeof(uint16_t), size))
        return nullptr;
    auto *pe = at<PeFileHeader>(base, dos->e_lfanew);
    if (!verify_pe(dos, pe, false))
        return nullptr;
    if (!sections_inside(pe, static_cast<const uint8_t *>(base), size))
        return nullptr;
    *ret_n = pe->NumberOfSections;
    return section_table_of(pe);
}

EFI_STATUS pe_memory_locate_sections(const void *base, size_t size, const char *const names[], PeSectionSpan *out) {
    size_t n = 0;
    const PeSectionHeader *table = pe_section_table_from_base(base, size, &n);
    if (!table)
        return EFI_LOAD_ERROR;
    pe_locate_sections(table, n, names, reinterpret_cast<uintptr_t>(base), out);
    return EFI_SUCCESS;
}

EFI_STATUS pe_locate_profile_sections(const PeSectionHeader *section_table, size_t n_section_table,
                                      uint32_t profile, uintptr_t validate_base, PeSectionSpan *out) {
    const PeSectionHeader *start = nullptr;
    size_t n = 0;
    if (!pe_profile_range(section_table, n_section_table, profile, &start, &n))
        return EFI_NOT_FOUND;
    pe_locate_sections(start, n, image_section_names, validate_base, out);
    return EFI_SUCCESS;
}

char *pe_section_to_str8(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *section) {
    ASSERT(loaded_image);
    return xstr8_dup(section_bytes(loaded_image, section), section->mem_size);
}

char16_t *pe_section_to_str16(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *section) {
    ASSERT(loaded_image);
    return xstr8_to_utf16(section_bytes(loaded_image, section), section->mem_size);
}

bool verify_pe(const void *dos, const void *pe, bool allow_compatibility) {
    ASSERT(dos);
    auto *h = static_cast<const PeFileHeader *>(pe);
    if (h->Signature[0] != 'P' || h->Signature[1] != 'E' || h->Signature[2] != 0 || h->Signature[3] != 0)
        return false;
    if (h->Machine != PE_MACHINE_X64 && !(allow_compatibility && h->Machine == PE_MACHINE_UNKNOWN))
        return false;
    if (h->NumberOfSections == 0)
        return false;
    uint16_t magic = optional_header(h)->Magic;
    return magic == PE_MAGIC_PE32 || magic == PE_MAGIC_PE32_PLUS;
}

EFI_STATUS inspect_kernel_image(const void *kernel, size_t kernel_size, uint32_t *ret_compat_entry_point,
                                uint32_t *ret_size_in_memory) {
    auto *dos = static_cast<const DosHeader *>(kernel);
    // The headers are read straight from the section; keep every read inside it.
    if (kernel_size < sizeof(*dos) || !dos_header_usable(dos) ||
        !fits(dos->e_lfanew, sizeof(PeFileHeader) + sizeof(PeOptionalHeaderStart), kernel_size))
        return EFI_LOAD_ERROR;
    auto *pe = at<PeFileHeader>(kernel, dos->e_lfanew);
    if (!verify_pe(dos, pe, true))
        return EFI_LOAD_ERROR;
    *ret_size_in_memory = optional_header(pe)->SizeOfImage;
    *ret_compat_entry_point = 0;
    if (optional_header(pe)->MajorImageVersion == 0)
        return EFI_UNSUPPORTED;
    if (pe->Machine == PE_MACHINE_X64)
        return EFI_SUCCESS;
    *ret_compat_entry_point = find_compat_entry_point(kernel, kernel_size, pe);
    return *ret_compat_entry_point != 0 ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

uint32_t find_compat_entry_point(const void *kernel, size_t kernel_size, const PeFileHeader *pe) {
    static const char *const compat_names[] = {".compat", nullptr};
    size_t table_offset = reinterpret_cast<const uint8_t *>(section_table_of(pe)) - static_cast<const uint8_t *>(kernel);
    if (!fits(table_offset, size_t{pe->NumberOfSections} * sizeof(PeSectionHeader), kernel_size))
        return 0;
    PeSectionSpan compat = {};
    pe_locate_sections(section_table_of(pe), pe->NumberOfSections, compat_names, reinterpret_cast<uintptr_t>(kernel),
                       &compat);
    if (compat.mem_size == 0 || !fits(compat.mem_offset, compat.mem_size, kernel_size))
        return 0;
    const uint8_t *entry = at<uint8_t>(kernel, compat.mem_offset);
    for (size_t left = compat.mem_size; left >= sizeof(CompatEntry);) {
        uint8_t type = entry[0], size = entry[1];
        if (type == 0 || size == 0 || size > left)
            return 0;
        auto *e = reinterpret_cast<const CompatEntry *>(entry);
        if (type == COMPAT_ENTRY_TYPE_ENTRY_POINT && size >= sizeof(CompatEntry) && e->machine == PE_MACHINE_X64)
            return e->entry_point;
        entry += size;
        left -= size;
    }
    return 0;
}

} // namespace korvane
