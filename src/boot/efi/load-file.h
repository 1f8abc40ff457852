// EFI_LOAD_FILE2_PROTOCOL (UEFI 2.10, section 13.2).
#pragma once

#include "device-path.h"
#include "types.h"

constexpr EFI_GUID EFI_LOAD_FILE2_PROTOCOL_GUID = {
    0x4006c0c1, 0xfcb3, 0x403e, {0x99, 0x6d, 0x4a, 0x6c, 0x87, 0x24, 0xe0, 0x6d}};

struct EFI_LOAD_FILE2_PROTOCOL {
    EFI_STATUS(EFIAPI *LoadFile)(EFI_LOAD_FILE2_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *FilePath,
                                 BOOLEAN BootPolicy, UINTN *BufferSize, VOID *Buffer);
};
static_assert(sizeof(EFI_LOAD_FILE2_PROTOCOL) == 8);
