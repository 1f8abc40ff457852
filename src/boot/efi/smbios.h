// SMBIOS entry points as the firmware publishes them in its configuration table
// (UEFI 2.10, section 4.6; DMTF SMBIOS 3.7, section 5.2).
#pragma once

#include "types.h"

constexpr EFI_GUID SMBIOS_TABLE_GUID = {0xeb9d2d31, 0x2d88, 0x11d3, {0x9a, 0x16, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0x4d}};
constexpr EFI_GUID SMBIOS3_TABLE_GUID = {0xf2fd1544, 0x9794, 0x4a2c, {0x99, 0x2e, 0xe5, 0xbb, 0xcf, 0x20, 0xe3, 0x94}};

// The 32-bit entry point of SMBIOS 2.x ("_SM_").
struct [[gnu::packed]] SMBIOS_TABLE_ENTRY_POINT {
    UINT8 AnchorString[4];
    UINT8 EntryPointStructureChecksum;
    UINT8 EntryPointLength;
    UINT8 MajorVersion;
    UINT8 MinorVersion;
    UINT16 MaxStructureSize;
    UINT8 EntryPointRevision;
    UINT8 FormattedArea[5];
    UINT8 IntermediateAnchorString[5];
    UINT8 IntermediateChecksum;
    UINT16 TableLength;
    UINT32 TableAddress;
    UINT16 NumberOfSmbiosStructures;
    UINT8 SmbiosBcdRevision;
};
static_assert(sizeof(SMBIOS_TABLE_ENTRY_POINT) == 31);
static_assert(offsetof(SMBIOS_TABLE_ENTRY_POINT, EntryPointLength) == 5);
static_assert(offsetof(SMBIOS_TABLE_ENTRY_POINT, TableLength) == 22);
static_assert(offsetof(SMBIOS_TABLE_ENTRY_POINT, TableAddress) == 24);

// The 64-bit entry point of SMBIOS 3.x ("_SM3_").
struct [[gnu::packed]] SMBIOS_TABLE_3_0_ENTRY_POINT {
    UINT8 AnchorString[5];
    UINT8 EntryPointStructureChecksum;
    UINT8 EntryPointLength;
    UINT8 MajorVersion;
    UINT8 MinorVersion;
    UINT8 DocRev;
    UINT8 EntryPointRevision;
    UINT8 Reserved;
    UINT32 TableMaximumSize;
    UINT64 TableAddress;
};
static_assert(sizeof(SMBIOS_TABLE_3_0_ENTRY_POINT) == 24);
static_assert(offsetof(SMBIOS_TABLE_3_0_ENTRY_POINT, EntryPointLength) == 6);
static_assert(offsetof(SMBIOS_TABLE_3_0_ENTRY_POINT, TableMaximumSize) == 12);
static_assert(offsetof(SMBIOS_TABLE_3_0_ENTRY_POINT, TableAddress) == 16);
