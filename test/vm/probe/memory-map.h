// Which kind of memory the firmware's memory map says an address lies in.
#pragma once

#include "boot/efi/efi.h"

namespace korvane::vmtest {

// The EFI_MEMORY_TYPE of the descriptor that holds `address`; false when the map cannot be
// read or no descriptor holds it.
bool memory_type_of(const void *address, uint32_t *ret_type);

} // namespace korvane::vmtest
