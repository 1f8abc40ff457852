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

} // namespace korvane::vmtest
