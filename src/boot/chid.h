// Hardware IDs (CHIDs) and the choice of one ".dtbauto" devicetree blob per machine.
#pragma once

#include "efi/efi.h"
#include "pe.h"

namespace korvane {

// One record of a ".hwids" section.
struct HwidEntry {
    uint32_t descriptor;
    EFI_GUID chid;
    uint32_t reserved;
    uint32_t compatible_string_offset;
};
static_assert(sizeof(HwidEntry) == 28);

constexpr uint32_t HWID_DESCRIPTOR_DEVICETREE = 0x1000001c;

// The ".hwids" section a lookup matched this machine in, and the entry that matched.
struct HwidMatch {
    const uint8_t *hwids;
    size_t hwids_size;
    const HwidEntry *entry;
};

// An SMBIOS identity string as CHIDs hash it: leading blanks, then leading zeros, and trailing
// blanks dropped, converted to UTF-16. Null gives the empty string. The caller frees the result.
[[nodiscard]] char16_t *chid_normalize_field(const char *s);

// The entry of a ".hwids" section (`size` bytes) that holds this machine's highest-priority CHID:
// EFI_SUCCESS with the entry, EFI_UNSUPPORTED for a table with an entry of another kind,
// EFI_NOT_FOUND for an empty table or no match.
EFI_STATUS chid_match(const void *hwids, size_t size, const HwidEntry **ret_entry);

// The identity step of a lookup that wants ".dtbauto": which table and entry, if any, describe
// this machine. All null when the firmware's own devicetree decides, or when nothing matches.
HwidMatch chid_identify(const PeSectionHeader *section_table, size_t n_section_table, uintptr_t validate_base);

// Whether the ".dtbauto" blob of section `section_index` is the one for this machine: its root
// compatible equals the firmware devicetree's, or else the string the matched entry names.
// `hwid` may be null. A malformed blob is rejected, and logged only on the hardware-ID path.
bool pe_use_this_dtb(const void *blob, size_t blob_size, size_t section_index, const HwidMatch *hwid);

} // namespace korvane
