// The GUID partition table on disk (UEFI 2.10, section 5.3). All fields little-endian.
#pragma once

#include "types.h"

constexpr UINT64 EFI_PTAB_HEADER_ID = 0x5452415020494645ULL; // "EFI PART"
constexpr UINT32 EFI_GPT_REVISION_1_0 = 0x00010000;

struct EFI_PARTITION_TABLE_HEADER {
    EFI_TABLE_HEADER Header;
    EFI_LBA MyLBA;
    EFI_LBA AlternateLBA;
    EFI_LBA FirstUsableLBA;
    EFI_LBA LastUsableLBA;
    EFI_GUID DiskGUID;
    EFI_LBA PartitionEntryLBA;
    UINT32 NumberOfPartitionEntries;
    UINT32 SizeOfPartitionEntry;
    UINT32 PartitionEntryArrayCRC32;
};
// The structure has 4 bytes of tail padding; the header proper is 92 bytes.
constexpr UINT32 EFI_PARTITION_TABLE_HEADER_SIZE = 92;
static_assert(sizeof(EFI_PARTITION_TABLE_HEADER) == 96);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, Header.HeaderSize) == 12);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, Header.CRC32) == 16);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, MyLBA) == 24);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, AlternateLBA) == 32);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, DiskGUID) == 56);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, PartitionEntryLBA) == 72);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, NumberOfPartitionEntries) == 80);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, SizeOfPartitionEntry) == 84);
static_assert(offsetof(EFI_PARTITION_TABLE_HEADER, PartitionEntryArrayCRC32) == 88);

struct EFI_PARTITION_ENTRY {
    EFI_GUID PartitionTypeGUID;
    EFI_GUID UniquePartitionGUID;
    EFI_LBA StartingLBA;
    EFI_LBA EndingLBA;
    UINT64 Attributes;
    CHAR16 PartitionName[36];
};
static_assert(sizeof(EFI_PARTITION_ENTRY) == 128);
static_assert(offsetof(EFI_PARTITION_ENTRY, UniquePartitionGUID) == 16);
static_assert(offsetof(EFI_PARTITION_ENTRY, StartingLBA) == 32);
static_assert(offsetof(EFI_PARTITION_ENTRY, EndingLBA) == 40);
static_assert(offsetof(EFI_PARTITION_ENTRY, PartitionName) == 56);
