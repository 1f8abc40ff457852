// Serves the initrd to the kernel's EFI entry through LoadFile2 on the Linux initrd media
// device path. The initrd is referenced, not copied, until the kernel asks for it.
#pragma once

#include "efi/efi.h"
#include "util.h"

namespace korvane {

constexpr EFI_GUID LINUX_EFI_INITRD_MEDIA_GUID = {
    0x5568e427, 0x68fc, 0x4f3d, {0xac, 0x74, 0xca, 0x55, 0x52, 0x31, 0xcc, 0x68}};

// An empty initrd registers nothing. EFI_ALREADY_STARTED when someone else serves one.
EFI_STATUS register_initrd_loader(const iovec &initrd, EFI_HANDLE *ret_handle);
// Leaves *handle null.
void unregister_initrd_loader(EFI_HANDLE *handle);

} // namespace korvane
