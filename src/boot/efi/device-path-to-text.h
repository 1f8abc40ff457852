// EFI_DEVICE_PATH_TO_TEXT_PROTOCOL (UEFI 2.10, section 10.6.2). Both members return a new pool
// string that the caller frees, or null when the firmware is out of memory.
#pragma once

#include "device-path.h"
#include "types.h"

constexpr EFI_GUID EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID = {
    0x8b843e20, 0x8132, 0x4852, {0x90, 0xcc, 0x55, 0x1a, 0x4e, 0x4a, 0x7f, 0x1c}};

struct EFI_DEVICE_PATH_TO_TEXT_PROTOCOL {
    CHAR16 *(EFIAPI *ConvertDeviceNodeToText)(const EFI_DEVICE_PATH_PROTOCOL *DeviceNode, BOOLEAN DisplayOnly,
                                              BOOLEAN AllowShortcuts);
    CHAR16 *(EFIAPI *ConvertDevicePathToText)(const EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN DisplayOnly,
                                              BOOLEAN AllowShortcuts);
};
static_assert(sizeof(EFI_DEVICE_PATH_TO_TEXT_PROTOCOL) == 16);
static_assert(offsetof(EFI_DEVICE_PATH_TO_TEXT_PROTOCOL, ConvertDevicePathToText) == 8);
