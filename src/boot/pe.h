// PE images in memory: section lookup (with profiles and the machine's choice of .dtbauto),
// and the header checks applied to our own image, add-ons and the kernel.
#pragma once

#include "efi/efi.h"
#include "efi/loaded-image.h"
#include "../fundamental/section-table.h"

namespace korvane {

// PE/COFF structures as they lie in an image; the PE header may sit at any byte offset.
struct [[gnu::packed]] DosHeader {
    uint8_t e_magic[2];
    uint8_t unused[58];
    uint32_t e_lfanew;
};
static_assert(sizeof(DosHeader) == 64);
static_assert(__builtin_offsetof(DosHeader, e_lfanew) == 0x3c);

struct [[gnu::packed]] PeFileHeader {
    uint8_t Signature[4];
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};
static_assert(sizeof(PeFileHeader) == 24);
static_assert(__builtin_offsetof(PeFileHeader, NumberOfSections) == 6);
static_assert(__builtin_offsetof(PeFileHeader, SizeOfOptionalHeader) == 20);

// The part of the optional header that PE32 and PE32+ share at the same offsets.
struct [[gnu::packed]] PeOptionalHeaderStart {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint8_t image_base_and_alignment[16];
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
};
static_assert(sizeof(PeFileHeader) + __builtin_offsetof(PeOptionalHeaderStart, MajorImageVersion) == 68);
static_assert(sizeof(PeFileHeader) + __builtin_offsetof(PeOptionalHeaderStart, SizeOfImage) == 80);

constexpr uint16_t PE_MACHINE_X64 = 0x8664;
constexpr uint16_t PE_MACHINE_UNKNOWN = 0;
constexpr uint16_t PE_MAGIC_PE32 = 0x10b;
constexpr uint16_t PE_MAGIC_PE32_PLUS = 0x20b;

struct HwidMatch;

void pe_locate_sections(const PeSectionHeader *section_table, size_t n_section_table, const char *const names[],
                        uintptr_t validate_base, PeSectionSpan *out);
void pe_locate_sections_internal(const PeSectionHeader *section_table, size_t n_section_table,
                                 const char *const names[], uintptr_t validate_base, const HwidMatch *hwid,
                                 PeSectionSpan *out);

// The section table of an image of `size` bytes mapped by the firmware; null unless the headers
// are usable and they and every section lie inside the image.
const PeSectionHeader *pe_section_table_from_base(const void *base, size_t size, size_t *ret_n);
EFI_STATUS pe_memory_locate_sections(const void *base, size_t size, const char *const names[], PeSectionSpan *out);

EFI_STATUS pe_locate_profile_sections(const PeSectionHeader *section_table, size_t n_section_table,
                                      uint32_t profile, uintptr_t validate_base, PeSectionSpan *out);

[[nodiscard]] char *pe_section_to_str8(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *section);
[[nodiscard]] char16_t *pe_section_to_str16(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                                            const PeSectionSpan *section);

bool verify_pe(const void *dos, const void *pe, bool allow_compatibility);

// How the kernel can be started: EFI_SUCCESS through the firmware's loader (possibly via a
// compatibility entry point), EFI_UNSUPPORTED through the handover entry, EFI_LOAD_ERROR not at all.
EFI_STATUS inspect_kernel_image(const void *kernel, size_t kernel_size, uint32_t *ret_compat_entry_point,
                                uint32_t *ret_size_in_memory);
uint32_t find_compat_entry_point(const void *kernel, size_t kernel_size, const PeFileHeader *pe);

} // namespace korvane
