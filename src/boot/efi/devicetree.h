// The devicetree the firmware hands to the OS (UEFI 2.10, section 4.6.1.3).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_DTB_TABLE_GUID = {0xb1b621d5, 0xf19c, 0x41a5, {0x83, 0x0b, 0xd9, 0x15, 0x2c, 0x69, 0xaa, 0xe0}};

// EFI_DT_FIXUP_PROTOCOL: lets the firmware apply its own fix-ups to a devicetree the loader
// brings (UEFI devicetree fix-up protocol, revision 0x00010000).
constexpr EFI_GUID EFI_DT_FIXUP_PROTOCOL_GUID = {
    0xe617d64c, 0xfe08, 0x46da, {0xf4, 0xdc, 0xbb, 0xd5, 0x87, 0x0c, 0x73, 0x00}};

constexpr UINT64 EFI_DT_FIXUP_PROTOCOL_REVISION = 0x00010000;
constexpr UINT32 EFI_DT_APPLY_FIXUPS = 0x00000001;
constexpr UINT32 EFI_DT_RESERVE_MEMORY = 0x00000002;

struct EFI_DT_FIXUP_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI *Fixup)(EFI_DT_FIXUP_PROTOCOL *This, VOID *Fdt, UINTN *BufferSize, UINT32 Flags);
};
static_assert(sizeof(EFI_DT_FIXUP_PROTOCOL) == 16);
static_assert(offsetof(EFI_DT_FIXUP_PROTOCOL, Fixup) == 8);
