// EFI_GLOBAL_VARIABLE (UEFI 2.10, section 3.3): the vendor of the firmware's own variables.
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_GLOBAL_VARIABLE = {
    0x8be4df61, 0x93ca, 0x11d2, {0xaa, 0x0d, 0x00, 0xe0, 0x98, 0x03, 0x2b, 0x8c}};
