// The launcher's list of images to start, one line each:
//
//     <path on the ESP>[ <load options as hex>]
//
// e.g. "\EFI\Linux\uki.efi 710075006900650074000000" for the UTF-16 text "quiet" and its NUL.
// Without hex the image gets no load options. CR before LF and empty lines are ignored.
#pragma once

#include "boot/util.h"

namespace korvane::vmtest {

struct LaunchEntry {
    PoolPtr<char16_t> path;
    PoolPtr<uint8_t> options; // null when the line has none
    size_t options_size = 0;
};

// Parses the line that starts at *offset in (data, size) and moves *offset past it. false at
// the end of the list; EFI_INVALID_PARAMETER in *ret_status for a line that is no entry.
bool next_launch_entry(const uint8_t *data, size_t size, size_t *offset, LaunchEntry *ret, EFI_STATUS *ret_status);

} // namespace korvane::vmtest
