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

[[nodiscard]] char16_t *chid_normalize_field(const char *s);
EFI_STATUS chid_match(const void *hwids, size_t size, const HwidEntry **ret_entry);

// The identity step of a lookup that wants ".dtbauto": which table and entry, if any, describe
// this machine. All null when the firmware's own devicetree decides, or when nothing matches.
HwidMatch chid_identify(const PeSectionHeader *section_table, size_t n_section_table, uintptr_t validate_base);

bool pe_use_this_dtb(const void *blob, size_t blob_size, size_t section_index, const HwidMatch *hwid);

} // namespace korvane
