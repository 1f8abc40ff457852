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

constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
constexpr UINT8 MEDIA_HARDDRIVE_DP = 0x01;
constexpr UINT8 MEDIA_VENDOR_DP = 0x03;
constexpr UINT8 MEDIA_FILEPATH_DP = 0x04;

// UEFI 2.10, section 10.3.5.1: a partition of a hard drive. Packed: nodes need not be aligned,
// and the node is 42 bytes long.
struct [[gnu::packed]] HARDDRIVE_DEVICE_PATH {
    EFI_DEVICE_PATH_PROTOCOL Header;
    UINT32 PartitionNumber;
    UINT64 PartitionStart;
    UINT64 PartitionSize;
    UINT8 Signature[16];
    UINT8 MBRType;
    UINT8 SignatureType;
};
static_assert(sizeof(HARDDRIVE_DEVICE_PATH) == 42);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, PartitionNumber) == 4);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, PartitionStart) == 8);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, PartitionSize) == 16);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, Signature) == 24);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, MBRType) == 40);
static_assert(offsetof(HARDDRIVE_DEVICE_PATH, SignatureType) == 41);

constexpr UINT8 MBR_TYPE_PCAT = 0x01;
constexpr UINT8 MBR_TYPE_EFI_PARTITION_TABLE_HEADER = 0x02;
constexpr UINT8 NO_DISK_SIGNATURE = 0x00;
constexpr UINT8 SIGNATURE_TYPE_MBR = 0x01;
constexpr UINT8 SIGNATURE_TYPE_GUID = 0x02;

// UEFI 2.10, section 10.3.5.4: a file path, the NUL-terminated UTF-16 name filling the rest of
// the node. The name may sit at an odd address: copy it out rather than point into it.
struct [[gnu::packed]] FILEPATH_DEVICE_PATH {
    EFI_DEVICE_PATH_PROTOCOL Header;
    CHAR16 PathName[];
};
static_assert(sizeof(FILEPATH_DEVICE_PATH) == 4);
static_assert(offsetof(FILEPATH_DEVICE_PATH, PathName) == 4);

// UEFI 2.10, section 10.3.5.3: a vendor-defined media node.
struct VENDOR_DEVICE_PATH {
    EFI_DEVICE_PATH_PROTOCOL Header;
    EFI_GUID Guid;
};
static_assert(sizeof(VENDOR_DEVICE_PATH) == 20);

// A whole device path made of one vendor media node and the end node.
struct VENDOR_MEDIA_DEVICE_PATH {
    VENDOR_DEVICE_PATH Vendor;
    EFI_DEVICE_PATH_PROTOCOL End;
};
static_assert(sizeof(VENDOR_MEDIA_DEVICE_PATH) == 24);
static_assert(offsetof(VENDOR_MEDIA_DEVICE_PATH, End) == 20);

constexpr VENDOR_MEDIA_DEVICE_PATH vendor_media_device_path(const EFI_GUID &guid) {
    return {
        .Vendor = {.Header = {MEDIA_DEVICE_PATH, MEDIA_VENDOR_DP, {sizeof(VENDOR_DEVICE_PATH), 0}}, .Guid = guid},
        .End = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}},
    };
}
