// The three firmware tables every module reaches the firmware through. Set once at entry.
#pragma once

#include "efi/efi.h"

namespace korvane {

extern EFI_SYSTEM_TABLE *ST;
extern EFI_BOOT_SERVICES *BS;
extern EFI_RUNTIME_SERVICES *RT;

void firmware_init(EFI_SYSTEM_TABLE *system_table);

} // namespace korvane
