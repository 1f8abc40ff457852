// The identifiers a kernel looks for, written down here from their public definitions (UEFI
// and Linux) rather than taken from the stub, so that a wrong value there cannot go unseen.
#pragma once

#include "boot/efi/types.h"

namespace korvane::vmtest {

// UEFI 2.10, section 13.2.
constexpr EFI_GUID LOAD_FILE2_PROTOCOL = {0x4006c0c1, 0xfcb3, 0x403e, {0x99, 0x6d, 0x4a, 0x6c, 0x87, 0x24, 0xe0, 0x6d}};

// Linux, include/linux/efi.h: the vendor media node of the device path the kernel's EFI entry
// asks LoadFile2 for its initrd.
constexpr EFI_GUID LINUX_INITRD_MEDIA = {0x5568e427, 0x68fc, 0x4f3d, {0xac, 0x74, 0xca, 0x55, 0x52, 0x31, 0xcc, 0x68}};

// UEFI 2.10, section 9.2: the whole device path an image was loaded from.
constexpr EFI_GUID LOADED_IMAGE_DEVICE_PATH_PROTOCOL = {
    0xbc62157e, 0x3e33, 0x4fec, {0x99, 0x20, 0x2d, 0x3b, 0x36, 0xd7, 0x50, 0xdf}};

// Linux, include/linux/efi.h: the random seed table the kernel reads at its start.
constexpr EFI_GUID LINUX_EFI_RANDOM_SEED_TABLE = {
    0x1ce1e5bc, 0x7ceb, 0x42f2, {0x81, 0xe5, 0x8a, 0xad, 0xf1, 0x80, 0xf5, 0x7b}};

// The Boot Loader Interface: the vendor of the "Loader" and "Stub" variables.
constexpr EFI_GUID LOADER_VENDOR = {0x4a67b082, 0x0a4c, 0x41cf, {0xb6, 0xc7, 0x44, 0x0b, 0x29, 0xbb, 0x8c, 0x4f}};

// UEFI 2.10, section 4.6.1.3: the devicetree the OS takes from the configuration table.
constexpr EFI_GUID DTB_TABLE = {0xb1b621d5, 0xf19c, 0x41a5, {0x83, 0x0b, 0xd9, 0x15, 0x2c, 0x69, 0xaa, 0xe0}};

} // namespace korvane::vmtest
