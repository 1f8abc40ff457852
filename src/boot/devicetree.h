// Flattened devicetree blobs: installing one as the firmware's devicetree table (and putting
// the previous one back), and the root node's "compatible" string, used to pick the blob that
// belongs to this machine.
#pragma once

#include "efi/efi.h"

namespace korvane {

// One per boot, zero-initialised. Describes the last successful installation: its copy, and
// the firmware's own entry from before the first installation (null when there was none).
struct DtInstallState {
    EFI_PHYSICAL_ADDRESS copy_address;
    uint64_t copy_pages;
    const void *previous_table;
};

// Allocates ACPI-reclaim pages for `size` bytes into `state`; on failure `state` is unchanged.
EFI_STATUS dt_allocate_pages(DtInstallState *state, size_t size);

// Copies the blob into firmware pages, lets the firmware's fix-up protocol (if any) work on the
// copy and installs it as the devicetree table; the copy of an earlier call that it replaces is
// freed. On failure the table and `state` are as they were and the new copy is freed.
EFI_STATUS devicetree_install_from_memory(DtInstallState *state, const void *dtb_buffer, size_t dtb_length);

// Puts back the firmware's own entry; frees the installed copy only once the table no longer
// points at it.
void devicetree_restore(DtInstallState *state);

// The root node's first "compatible" string inside the blob, or null. The blob is trusted to
// be as long as its header's totalsize: use it only on blobs whose size that was checked against.
const char *devicetree_get_compatible(const void *blob);

// EFI_SUCCESS when the blob's first root "compatible" string is `compatible`, EFI_NOT_FOUND when
// it is another, EFI_INVALID_PARAMETER when the `length` bytes at `blob` are no usable devicetree.
EFI_STATUS devicetree_match_by_compatible(const void *blob, size_t length, const char *compatible);

} // namespace korvane
