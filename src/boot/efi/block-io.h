// EFI_BLOCK_IO_PROTOCOL (UEFI 2.10, section 13.9).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_BLOCK_IO_PROTOCOL_GUID = {
    0x964e5b21, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

struct EFI_BLOCK_IO_MEDIA {
    UINT32 MediaId;
    BOOLEAN RemovableMedia;
    BOOLEAN MediaPresent;
    BOOLEAN LogicalPartition;
    BOOLEAN ReadOnly;
    BOOLEAN WriteCaching;
    UINT32 BlockSize;
    UINT32 IoAlign;
    EFI_LBA LastBlock;
    // Revision 2 and later.
    EFI_LBA LowestAlignedLba;
    UINT32 LogicalBlocksPerPhysicalBlock;
    // Revision 3 and later.
    UINT32 OptimalTransferLengthGranularity;
};
static_assert(sizeof(EFI_BLOCK_IO_MEDIA) == 48);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, MediaPresent) == 5);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, LogicalPartition) == 6);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, BlockSize) == 12);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, LastBlock) == 24);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, LowestAlignedLba) == 32);
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, OptimalTransferLengthGranularity) == 44);

struct EFI_BLOCK_IO_PROTOCOL {
    UINT64 Revision;
    EFI_BLOCK_IO_MEDIA *Media;
    EFI_STATUS(EFIAPI *Reset)(EFI_BLOCK_IO_PROTOCOL *This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI *ReadBlocks)(EFI_BLOCK_IO_PROTOCOL *This, UINT32 MediaId, EFI_LBA Lba, UINTN BufferSize,
                                   VOID *Buffer);
    EFI_STATUS(EFIAPI *WriteBlocks)(EFI_BLOCK_IO_PROTOCOL *This, UINT32 MediaId, EFI_LBA Lba, UINTN BufferSize,
                                    VOID *Buffer);
    EFI_STATUS(EFIAPI *FlushBlocks)(EFI_BLOCK_IO_PROTOCOL *This);
};
static_assert(sizeof(EFI_BLOCK_IO_PROTOCOL) == 48);
static_assert(offsetof(EFI_BLOCK_IO_PROTOCOL, Media) == 8);
static_assert(offsetof(EFI_BLOCK_IO_PROTOCOL, ReadBlocks) == 24);
static_assert(offsetof(EFI_BLOCK_IO_PROTOCOL, FlushBlocks) == 40);

constexpr UINT64 EFI_BLOCK_IO_PROTOCOL_REVISION3 = 0x0002001f;
