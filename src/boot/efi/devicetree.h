// The devicetree the firmware hands to the OS (UEFI 2.10, section 4.6.1.3).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_DTB_TABLE_GUID = {0xb1b621d5, 0xf19c, 0x41a5, {0x83, 0x0b, 0xd9, 0x15, 0x2c, 0x69, 0xaa, 0xe0}};
