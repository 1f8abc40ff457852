// Flattened devicetree blobs: the root node's "compatible" string, used to pick the blob that
// belongs to this machine.
#pragma once

#include "efi/efi.h"

namespace korvane {

// The root node's first "compatible" string inside the blob, or null. The blob is trusted to
// be as long as its header's totalsize: use it only on blobs whose size that was checked against.
const char *devicetree_get_compatible(const void *blob);

// EFI_SUCCESS when the blob's first root "compatible" string is `compatible`, EFI_NOT_FOUND when
// it is another, EFI_INVALID_PARAMETER when the `length` bytes at `blob` are no usable devicetree.
EFI_STATUS devicetree_match_by_compatible(const void *blob, size_t length, const char *compatible);

} // namespace korvane
