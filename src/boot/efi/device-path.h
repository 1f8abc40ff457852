// EFI_DEVICE_PATH_PROTOCOL node header (UEFI 2.10, section 10.2).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_DEVICE_PATH_PROTOCOL_GUID = {
    0x09576e91, 0x6d3f, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

struct EFI_DEVICE_PATH_PROTOCOL {
    UINT8 Type;
    UINT8 SubType;
    UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);

constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7f;
constexpr UINT8 END_ENTIRE_DEVICE_PATH_SUBTYPE = 0xff;
constexpr UINT8 END_INSTANCE_DEVICE_PATH_SUBTYPE = 0x01;
